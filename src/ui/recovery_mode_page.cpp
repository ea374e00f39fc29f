// The recovery-mode page's window.
#include "ui/recovery_mode_page.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "fs/registry.h"
#include "ui/advance_options_page.h"
#include "ui/results_page.h"
#include "ui/wizard.h"

namespace tessary::ui {

namespace {
QString text(const char* id) { return QString::fromUtf8(id); }
}  // namespace

RecoveryModePage::RecoveryModePage(Wizard& wizard)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink, modeBuilt),
      m_binding(m_view),
      m_standard(text(ParceModeNtfsDlg::kStandard)),
      m_advanced(text(ParceModeNtfsDlg::kAdvanced)),
      m_deep(text(ParceModeNtfsDlg::kDeep)),
      m_maxLabel(text(ParceModeNtfsDlg::kMaxLabel)),
      m_maxNote(text(ParceModeNtfsDlg::kMaxNote)),
      m_formatted(text(ParceModeNtfsDlg::kFormatted)) {
  auto layout = std::make_unique<QVBoxLayout>();
  layout->addWidget(&m_volume);
  auto modes = std::make_unique<QVBoxLayout>();
  for (QRadioButton* mode : {&m_standard, &m_advanced, &m_deep}) {
    // The controller decides which mode is ticked.
    mode->setAutoExclusive(false);
    modes->addWidget(mode);
  }
  auto max = std::make_unique<QHBoxLayout>();
  max->addWidget(&m_maxLabel);
  m_maxLabel.setBuddy(&m_max);
  max->addWidget(&m_max);
  max->addWidget(&m_maxNote);
  modes->addLayout(max.release());
  modes->addWidget(&m_formatted);
  m_modes.setLayout(modes.release());
  layout->addWidget(&m_modes);
  layout->addStretch(1);
  addButtonRow(*layout, true, true);
  setLayout(layout.release());

  m_controller.onOpen();
  const VolumeEntry& volume = m_controller.volume();
  m_volume.setText(QStringLiteral("VOLUME %1   %2   %3   %4")
                       .arg(QString::fromStdString(volume.volumeName), QString::fromStdString(volume.fileSystem),
                            QString::fromStdString(volume.volumeSizeText), QString::number(volume.startSector)));
  m_binding.bindButton(ParceModeNtfsDlg::kStandard, m_standard);
  m_binding.bindButton(ParceModeNtfsDlg::kAdvanced, m_advanced);
  m_binding.bindButton(ParceModeNtfsDlg::kDeep, m_deep);
  m_binding.bindWidget(ParceModeNtfsDlg::kMaxLabel, m_maxLabel);
  m_binding.bindField(ParceModeNtfsDlg::kMaxField, m_max);
  m_binding.bindWidget(ParceModeNtfsDlg::kMaxNote, m_maxNote);
  m_binding.bindButton(ParceModeNtfsDlg::kFormatted, m_formatted);
  m_binding.bindButton(ParceModeNtfsDlg::kNext, nextButton());

  connect(&m_standard, &QRadioButton::clicked, this, [this] { m_controller.onStandard(); });
  connect(&m_advanced, &QRadioButton::clicked, this, [this] { m_controller.onAdvanced(); });
  connect(&m_deep, &QRadioButton::clicked, this, [this] { m_controller.onDeep(); });
  connect(&m_formatted, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onFormatted(checked); });
  connect(&nextButton(), &QPushButton::clicked, this, &RecoveryModePage::next);
}

RecoveryModePage::~RecoveryModePage() { m_sink.detach(); }

void RecoveryModePage::next() {
  switch (m_controller.onNext()) {
    case ParceModeNtfsDlg::NextPage::Results:
      m_wizard.openPage(std::make_unique<ResultsPage>(m_wizard, m_wizard.state().recoveryMode));
      break;
    case ParceModeNtfsDlg::NextPage::AdvancedInput:
      m_wizard.openPage(std::make_unique<AdvanceOptionsPage>(m_wizard));
      break;
    case ParceModeNtfsDlg::NextPage::None:
      break;
  }
}

}  // namespace tessary::ui
