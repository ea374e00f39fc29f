// The results page's window.
#include "ui/results_page.h"

#include <algorithm>

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "ui/wizard.h"

namespace tessary::ui {

namespace {

QString text(const char* id) { return QString::fromUtf8(id); }

// The style's own check box, drawn into an icon for the detail list's header.
QIcon checkBoxIcon(QWidget& widget, bool checked) {
  QStyleOptionButton option;
  option.initFrom(&widget);
  option.state = QStyle::State_Enabled | (checked ? QStyle::State_On : QStyle::State_Off);
  const int width = widget.style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, &widget);
  const int height = widget.style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, &widget);
  option.rect = QRect(0, 0, width, height);
  QPixmap pixmap(width, height);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  widget.style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter, &widget);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace

ResultsPage::ResultsPage(Wizard& wizard, int mode, ParserSlot* borrowed, const AdvancedInput& advanced)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink),
      m_binding(m_view),
      m_treeModel(m_controller.tree(), m_icons),
      m_listModel(m_controller.list(), m_icons),
      m_heading(text(VolumeScanDlg::kTitle)),
      m_volumeBox(text(VolumeScanDlg::kVolumeData)),
      m_search(text(VolumeScanDlg::kSearch)),
      m_searchHint(text(VolumeScanDlg::kSearchHint)),
      m_advancedBox(QStringLiteral("Advanced Input:")),
      m_candidatesLabel(text(VolumeScanDlg::kCandidates)),
      m_clusterSizesLabel(text(VolumeScanDlg::kClusterSizes)),
      m_heapOffsetsLabel(text(VolumeScanDlg::kHeapOffsets)),
      m_parse(text(VolumeScanDlg::kParse)),
      m_treeView(m_treeModel, m_controller.tree()),
      m_outputLabel(QStringLiteral("Output folder:")),
      m_browse(text(VolumeScanDlg::kBrowse)),
      m_save(text(VolumeScanDlg::kSave)),
      m_saveFolder(text(VolumeScanDlg::kSaveSelectedFolder)),
      m_pause(text(VolumeScanDlg::kPause)),
      m_resume(text(VolumeScanDlg::kResume)),
      m_stop(text(VolumeScanDlg::kStop)) {
  QFont headingFont = m_heading.font();
  headingFont.setBold(true);
  m_heading.setFont(headingFont);
  m_volumeData.setTextInteractionFlags(Qt::TextSelectableByMouse);

  m_listView.setModel(&m_listModel);
  m_listView.setRootIsDecorated(false);
  m_listView.setItemsExpandable(false);
  m_listView.setUniformRowHeights(true);
  m_listView.setAllColumnsShowFocus(true);
  m_listView.header()->setSectionsClickable(true);
  m_listView.header()->setStretchLastSection(false);
  m_listModel.setHeaderIcons(checkBoxIcon(m_listView, false), checkBoxIcon(m_listView, true));
  m_listModel.setDeletedTest([this](std::int64_t item) { return m_controller.listRowDeleted(item); });
  m_split.addWidget(&m_treeView);
  m_split.addWidget(&m_listView);
  m_split.setStretchFactor(0, 2);
  m_split.setStretchFactor(1, 3);

  auto layout = std::make_unique<QVBoxLayout>();
  layout->addWidget(&m_heading);
  auto volume = std::make_unique<QVBoxLayout>();
  volume->addWidget(&m_volumeData);
  volume->addWidget(&m_counter);
  m_volumeBox.setLayout(volume.release());
  layout->addWidget(&m_volumeBox);
  auto search = std::make_unique<QHBoxLayout>();
  search->addWidget(&m_searchBox, 1);
  search->addWidget(&m_search);
  search->addWidget(&m_searchHint);
  layout->addLayout(search.release());
  auto advancedRow = std::make_unique<QHBoxLayout>();
  for (auto [label, combo] : {std::pair{&m_candidatesLabel, &m_candidates}, std::pair{&m_clusterSizesLabel, &m_clusterSizes},
                              std::pair{&m_heapOffsetsLabel, &m_heapOffsets}}) {
    advancedRow->addWidget(label);
    advancedRow->addWidget(combo, 1);
  }
  advancedRow->addWidget(&m_parse);
  m_advancedBox.setLayout(advancedRow.release());
  layout->addWidget(&m_advancedBox);
  layout->addWidget(&m_split, 1);
  // What the red names and the crossed icons mean.
  m_legendIcon.setPixmap(m_icons.deletedFile().pixmap(16, 16));
  m_legend.setText(QStringLiteral("Deleted entries: red names, crossed icons"));
  m_legend.setStyleSheet(QStringLiteral("color: rgb(255, 0, 0)"));
  auto legend = std::make_unique<QHBoxLayout>();
  legend->addWidget(&m_legendIcon);
  legend->addWidget(&m_legend, 1);
  layout->addLayout(legend.release());
  auto output = std::make_unique<QHBoxLayout>();
  output->addWidget(&m_outputLabel);
  output->addWidget(&m_output, 1);
  output->addWidget(&m_browse);
  output->addWidget(&m_save);
  output->addWidget(&m_saveFolder);
  layout->addLayout(output.release());
  auto worker = std::make_unique<QHBoxLayout>();
  worker->addWidget(&m_progress, 1);
  worker->addWidget(&m_progressText);
  worker->addWidget(&m_pause);
  worker->addWidget(&m_resume);
  worker->addWidget(&m_stop);
  layout->addLayout(worker.release());
  layout->addWidget(&m_status);
  layout->addWidget(&m_sizeLine);
  addButtonRow(*layout, true, false);
  setLayout(layout.release());
  // Wide enough for every column of the detail list beside the tree at the start.
  resize(1240, 700);
  m_split.setSizes({330, 910});

  m_sink.setStatusLabel(&m_status);
  m_sink.setSizeLabel(&m_sizeLine);
  m_sink.setProgressBar(&m_progress);
  m_sink.setProgressText(&m_progressText);
  m_binding.bindLabel(VolumeScanDlg::kVolumeData, m_volumeData);
  m_binding.bindLabel(VolumeScanDlg::kCounterCaption, m_counter);
  m_binding.bindField(VolumeScanDlg::kOutputFolder, m_output);
  m_binding.bindButton(VolumeScanDlg::kBrowse, m_browse);
  m_binding.bindField(VolumeScanDlg::kSearchBox, m_searchBox);
  m_binding.bindButton(VolumeScanDlg::kSearch, m_search);
  m_binding.bindButton(VolumeScanDlg::kSave, m_save);
  m_binding.bindButton(VolumeScanDlg::kSaveSelectedFolder, m_saveFolder);
  m_binding.bindWidget(VolumeScanDlg::kProgress, m_progress);
  m_binding.bindButton(VolumeScanDlg::kPause, m_pause);
  m_binding.bindButton(VolumeScanDlg::kResume, m_resume);
  m_binding.bindButton(VolumeScanDlg::kStop, m_stop);
  m_binding.bindButton(VolumeScanDlg::kBack, backButton());
  m_binding.bindWidget(VolumeScanDlg::kAdvancedInput, m_advancedBox);
  m_binding.bindCombo(VolumeScanDlg::kCandidates, m_candidates);
  m_binding.bindCombo(VolumeScanDlg::kClusterSizes, m_clusterSizes);
  m_binding.bindCombo(VolumeScanDlg::kHeapOffsets, m_heapOffsets);
  m_binding.bindButton(VolumeScanDlg::kParse, m_parse);

  connect(&m_browse, &QPushButton::clicked, this, [this] { m_controller.onBrowse(chooseFolder()); });
  connect(&m_save, &QPushButton::clicked, this, [this] { m_controller.onSave([this] { return chooseFolder(); }); });
  connect(&m_saveFolder, &QPushButton::clicked, this, [this] { m_controller.onSaveSelectedFolder(); });
  connect(&m_search, &QPushButton::clicked, this, [this] { m_controller.onSearch(); });
  connect(&m_searchBox, &QLineEdit::returnPressed, this, [this] { m_controller.onSearch(); });
  connect(&m_pause, &QPushButton::clicked, this, [this] { m_controller.onPause(); });
  connect(&m_resume, &QPushButton::clicked, this, [this] { m_controller.onResume(); });
  connect(&m_stop, &QPushButton::clicked, this, [this] { m_controller.onStop(); });
  connect(&m_parse, &QPushButton::clicked, this, [this] { m_controller.onParse(); });
  connect(&m_listView, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) m_controller.onListDoubleClick(static_cast<std::size_t>(index.row()));
  });
  connect(m_listView.header(), &QHeaderView::sectionClicked, this, [this](int section) {
    if (section == 0) m_controller.list().clickHeaderCheckBox();
  });
  connect(&m_treeModel, &CheckTreeModel::refreshed, this,
          [this] { m_treeView.setEnabled(m_controller.tree().treeEnabled()); });
  connect(&m_listModel, &CheckListModel::enabledChanged, &m_listView, &QWidget::setEnabled);
  connect(&m_listModel, &QAbstractItemModel::modelReset, this, [this] {
    // The columns' widths in dialog units, widened where their texts would be cut; a long name (a search
    // hit's path) is cut rather than pushing SIZE and ATTRIB out of sight.
    static constexpr int kWidths[] = {80, 90, 90, 90, 80, 70};
    const int unit = m_listView.fontMetrics().averageCharWidth();
    const int columns = std::min(m_listModel.columnCount(), 6);
    int others = 0;
    for (int column = 1; column < columns; ++column) {
      const int wanted = std::max({kWidths[column] * unit / 4, static_cast<QAbstractItemView&>(m_listView).sizeHintForColumn(column),
                                   m_listView.header()->sectionSizeHint(column)});
      if (m_listView.columnWidth(column) < wanted) m_listView.setColumnWidth(column, wanted);
      others += m_listView.columnWidth(column);
    }
    if (columns > 0) {
      const int least = kWidths[0] * unit / 4;
      const int wanted = std::max({least, static_cast<QAbstractItemView&>(m_listView).sizeHintForColumn(0),
                                   m_listView.header()->sectionSizeHint(0)});
      m_listView.setColumnWidth(0, std::max(least, std::min(wanted, m_listView.viewport()->width() - others)));
    }
  });

  // The parse worker fills the tree from its own thread; the adapters copy it on the UI thread.
  m_controller.tree().onChanged = [this] { m_treeModel.scheduleRefresh(); };
  m_controller.tree().onCheckboxClicked = [this](TreeItem, bool) { m_treeModel.scheduleRefresh(); };
  m_controller.list().onChanged = [this] { m_listModel.scheduleRefresh(); };
  m_controller.onOpen(mode, borrowed, mode == 2 ? &advanced : nullptr);
  // The heap-offset list belongs to exFAT; it is shown only when it holds something.
  const bool heap = !m_view.items(VolumeScanDlg::kHeapOffsets).empty();
  m_heapOffsetsLabel.setVisible(heap);
  m_heapOffsets.setVisible(heap);
}

ResultsPage::~ResultsPage() {
  stopWorkers();
  m_controller.tree().onChanged = nullptr;
  m_controller.tree().onCheckboxClicked = nullptr;
  m_controller.list().onChanged = nullptr;
}

void ResultsPage::stopWorkers() {
  m_sink.detach();
  // Stops the parsers and waits for the running worker.
  m_controller.onBack();
}

void ResultsPage::leave() { stopWorkers(); }

bool ResultsPage::confirmExit() { return m_controller.onCancel(); }

std::optional<std::string> ResultsPage::chooseFolder() {
  QFileDialog dialog(this, QString::fromUtf8(kApplicationTitle));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Please choose a folder."));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst().toStdString();
}

}  // namespace tessary::ui
