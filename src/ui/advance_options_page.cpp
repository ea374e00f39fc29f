// The advanced-input page's window.
#include "ui/advance_options_page.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/results_page.h"
#include "ui/wizard.h"

namespace tessary::ui {

namespace {
QString text(const char* id) { return QString::fromUtf8(id); }
}  // namespace

AdvanceOptionsPage::AdvanceOptionsPage(Wizard& wizard)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink),
      m_binding(m_view),
      m_heading(text(advanceOptions::kTitle)),
      m_group(text(advanceOptions::kGroup)),
      m_candidatesLabel(text(advanceOptions::kCandidates)),
      m_clusterSizesLabel(text(advanceOptions::kClusterSizes)),
      m_heapOffsetsLabel(text(advanceOptions::kHeapOffsets)),
      m_pause(text(advanceOptions::kPause)),
      m_resume(text(advanceOptions::kResume)),
      m_stop(text(advanceOptions::kStop)) {
  QFont headingFont = m_heading.font();
  headingFont.setBold(true);
  m_heading.setFont(headingFont);
  auto layout = std::make_unique<QVBoxLayout>();
  layout->addWidget(&m_heading);
  layout->addWidget(&m_counter);
  auto form = std::make_unique<QFormLayout>();
  form->addRow(&m_candidatesLabel, &m_candidates);
  form->addRow(&m_clusterSizesLabel, &m_clusterSizes);
  form->addRow(&m_heapOffsetsLabel, &m_heapOffsets);
  m_group.setLayout(form.release());
  layout->addWidget(&m_group);
  layout->addWidget(&m_progress);
  layout->addWidget(&m_progressText);
  layout->addWidget(&m_status);
  auto controls = std::make_unique<QHBoxLayout>();
  controls->addWidget(&m_pause);
  controls->addWidget(&m_resume);
  controls->addWidget(&m_stop);
  controls->addStretch(1);
  layout->addLayout(controls.release());
  layout->addStretch(1);
  addButtonRow(*layout, true, true);
  setLayout(layout.release());

  m_sink.setStatusLabel(&m_status);
  m_sink.setProgressBar(&m_progress);
  m_sink.setProgressText(&m_progressText);
  m_binding.bindLabel(advanceOptions::kCounterCaption, m_counter);
  m_binding.bindCombo(advanceOptions::kCandidates, m_candidates);
  m_binding.bindCombo(advanceOptions::kClusterSizes, m_clusterSizes);
  m_binding.bindCombo(advanceOptions::kHeapOffsets, m_heapOffsets);
  m_binding.bindButton(advanceOptions::kNext, nextButton());
  connect(&m_pause, &QPushButton::clicked, this, [this] { m_controller.onPause(); });
  connect(&m_resume, &QPushButton::clicked, this, [this] { m_controller.onResume(); });
  connect(&m_stop, &QPushButton::clicked, this, [this] { m_controller.onStop(); });
  connect(&nextButton(), &QPushButton::clicked, this, &AdvanceOptionsPage::next);
  m_controller.onOpen();
  m_binding.applyAll();
}

AdvanceOptionsPage::~AdvanceOptionsPage() { leave(); }

void AdvanceOptionsPage::leave() {
  m_sink.detach();
  m_controller.onBack();
}

void AdvanceOptionsPage::next() {
  if (m_controller.onNext() != advanceOptions::NextPage::Results) return;
  m_wizard.openPage(std::make_unique<ResultsPage>(m_wizard, 2, m_controller.parser(), m_controller.handOver()));
}

}  // namespace tessary::ui
