// The volume list page's window.
#include "ui/volume_list_page.h"

#include <algorithm>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "ui/raw_recovery_page.h"
#include "ui/recovery_mode_page.h"
#include "ui/wizard.h"

namespace tessary::ui {

namespace {

QString text(const char* id) { return QString::fromUtf8(id); }

void setUpArrows(QToolButton& up, QToolButton& down) {
  up.setArrowType(Qt::UpArrow);
  down.setArrowType(Qt::DownArrow);
  up.setAutoRepeat(true);
  down.setAutoRepeat(true);
}

}  // namespace

VolumeListPage::VolumeListPage(Wizard& wizard)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink),
      m_binding(m_view),
      m_model(m_controller),
      m_filter(text(PopulateDriveDlg::kFilterEntries)),
      m_showAll(text(PopulateDriveDlg::kShowAllEntries)),
      m_addCustom(text(PopulateDriveDlg::kAddCustomVolume)),
      m_custom(text(PopulateDriveDlg::kCustomSettings)),
      m_selectedLabel(text(PopulateDriveDlg::kSelectedVolume)),
      m_startLabel(text(PopulateDriveDlg::kStartSector)),
      m_endLabel(text(PopulateDriveDlg::kEndSector)),
      m_treatAsLabel(text(PopulateDriveDlg::kTreatAs)),
      m_stop(text(PopulateDriveDlg::kStop)) {
  m_table.setModel(&m_model);
  m_table.setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table.setSelectionMode(QAbstractItemView::SingleSelection);
  m_table.setShowGrid(true);
  m_table.verticalHeader()->hide();
  m_table.horizontalHeader()->setStretchLastSection(false);
  // 80 pixels each, widened where the caption would not fit.
  for (int column = 0; column < m_model.columnCount(); ++column)
    m_table.setColumnWidth(column, std::max(PopulateDriveDlg::kColumnWidth,
                                            m_table.horizontalHeader()->sectionSizeHint(column)));
  m_selected.setReadOnly(true);
  m_selectedLabel.setBuddy(&m_selected);
  m_startLabel.setBuddy(&m_start);
  m_endLabel.setBuddy(&m_end);
  m_treatAsLabel.setBuddy(&m_treatAs);
  setUpArrows(m_startUp, m_startDown);
  setUpArrows(m_endUp, m_endDown);

  auto layout = std::make_unique<QVBoxLayout>();
  auto top = std::make_unique<QHBoxLayout>();
  top->addWidget(&m_table, 1);
  auto side = std::make_unique<QVBoxLayout>();
  side->addWidget(&m_filter);
  side->addWidget(&m_showAll);
  side->addWidget(&m_addCustom);
  side->addStretch(1);
  top->addLayout(side.release());
  layout->addLayout(top.release(), 1);

  auto custom = std::make_unique<QGridLayout>();
  custom->addWidget(&m_custom, 0, 0, 1, 4);
  custom->addWidget(&m_selectedLabel, 1, 0);
  custom->addWidget(&m_selected, 1, 1);
  custom->addWidget(&m_startLabel, 2, 0);
  custom->addWidget(&m_start, 2, 1);
  custom->addWidget(&m_startUp, 2, 2);
  custom->addWidget(&m_startDown, 2, 3);
  custom->addWidget(&m_endLabel, 3, 0);
  custom->addWidget(&m_end, 3, 1);
  custom->addWidget(&m_endUp, 3, 2);
  custom->addWidget(&m_endDown, 3, 3);
  custom->addWidget(&m_treatAsLabel, 4, 0);
  custom->addWidget(&m_treatAs, 4, 1, 1, 3);
  m_customGroup.setLayout(custom.release());
  layout->addWidget(&m_customGroup);

  auto progress = std::make_unique<QHBoxLayout>();
  progress->addWidget(&m_progress, 1);
  progress->addWidget(&m_progressText);
  progress->addWidget(&m_stop);
  layout->addLayout(progress.release());
  layout->addWidget(&m_status);
  addButtonRow(*layout, true, true);
  setLayout(layout.release());
  resize(640, 520);

  m_sink.setStatusLabel(&m_status);
  m_sink.setProgressBar(&m_progress);
  m_sink.setProgressText(&m_progressText);
  m_binding.bindWidget(PopulateDriveDlg::kFilterEntries, m_filter);
  m_binding.bindWidget(PopulateDriveDlg::kShowAllEntries, m_showAll);
  m_binding.bindWidget(PopulateDriveDlg::kAddCustomVolume, m_addCustom);
  m_binding.bindButton(PopulateDriveDlg::kCustomSettings, m_custom);
  m_binding.bindField(PopulateDriveDlg::kSelectedVolume, m_selected);
  m_binding.bindWidget(PopulateDriveDlg::kSelectedVolume, m_selectedLabel);
  m_binding.bindField(PopulateDriveDlg::kStartSector, m_start);
  m_binding.bindWidget(PopulateDriveDlg::kStartSector, m_startLabel);
  m_binding.bindWidget(PopulateDriveDlg::kStartArrows, m_startUp);
  m_binding.bindWidget(PopulateDriveDlg::kStartArrows, m_startDown);
  m_binding.bindField(PopulateDriveDlg::kEndSector, m_end);
  m_binding.bindWidget(PopulateDriveDlg::kEndSector, m_endLabel);
  m_binding.bindWidget(PopulateDriveDlg::kEndArrows, m_endUp);
  m_binding.bindWidget(PopulateDriveDlg::kEndArrows, m_endDown);
  m_binding.bindCombo(PopulateDriveDlg::kTreatAs, m_treatAs);
  m_binding.bindWidget(PopulateDriveDlg::kTreatAs, m_treatAsLabel);
  m_binding.bindButton(PopulateDriveDlg::kStop, m_stop);
  m_binding.bindButton(PopulateDriveDlg::kBack, backButton());
  m_binding.bindButton(PopulateDriveDlg::kNext, nextButton());
  m_binding.bindButton(PopulateDriveDlg::kHelp, helpButton());

  connect(&m_filter, &QPushButton::clicked, this, [this] { m_controller.onFilterEntries(); });
  connect(&m_showAll, &QPushButton::clicked, this, [this] { m_controller.onShowAllEntries(); });
  connect(&m_addCustom, &QPushButton::clicked, this, [this] { m_controller.onAddCustomVolume(); });
  connect(&m_custom, &QCheckBox::clicked, this, [this](bool checked) { m_controller.onCustomSettingsToggled(checked); });
  connect(&m_startUp, &QToolButton::clicked, this, [this] { m_controller.onStartUp(); });
  connect(&m_startDown, &QToolButton::clicked, this, [this] { m_controller.onStartDown(); });
  connect(&m_endUp, &QToolButton::clicked, this, [this] { m_controller.onEndUp(); });
  connect(&m_endDown, &QToolButton::clicked, this, [this] { m_controller.onEndDown(); });
  connect(&m_stop, &QPushButton::clicked, this, [this] { m_controller.onStop(); });
  connect(&nextButton(), &QPushButton::clicked, this, &VolumeListPage::next);
  connect(&m_table, &QTableView::clicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) m_controller.onRowClicked(index.row());
  });
  connect(m_table.selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
    if (!m_following && current.isValid()) m_controller.onRowSelected(current.row());
  });
  connect(&m_model, &VolumeListModel::refreshed, this, &VolumeListPage::followSelection);

  // The scan may report rows from its worker; the model copies them on the UI thread.
  m_controller.setRowsObserver([this] { m_model.scheduleRefresh(); });
  m_controller.onOpen();
  m_model.refresh();
}

VolumeListPage::~VolumeListPage() { leave(); }

void VolumeListPage::leave() {
  m_sink.detach();
  // Stops the advanced scan and waits for it, then lets the rows' own records go.
  m_controller.onBack();
  m_controller.setRowsObserver({});
}

void VolumeListPage::followSelection() {
  m_following = true;
  const int row = m_controller.selectedRow();
  if (row >= 0 && row < m_model.rowCount()) m_table.selectRow(row);
  m_following = false;
}

void VolumeListPage::next() {
  switch (m_controller.onNext()) {
    case PopulateDriveDlg::NextPage::RecoveryMode:
      m_wizard.openPage(std::make_unique<RecoveryModePage>(m_wizard));
      break;
    case PopulateDriveDlg::NextPage::Raw:
      m_wizard.openPage(std::make_unique<RawRecoveryPage>(m_wizard));
      break;
    case PopulateDriveDlg::NextPage::None:
      break;
  }
}

}  // namespace tessary::ui
