// The results page ("VOLUME-SCAN"): the check-box tree of the volume on the left, the detail list of the
// clicked folder on the right, the output folder with Browse, Save and Save selected folder, and Pause,
// Resume and Stop for the running worker with its progress bar, status line and size line, and the search
// box whose hits replace the detail list; in advanced mode on NTFS, the candidate and cluster-size lists
// with Parse, which parses the volume again from another candidate.
#pragma once

#include <optional>
#include <string>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>

#include "platform/page_view.h"
#include "results/volume_scan_dlg.h"
#include "ui/check_list_model.h"
#include "ui/check_tree_model.h"
#include "ui/check_tree_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/theme_icons.h"
#include "ui/view_binding.h"

namespace tessary::ui {

class ResultsPage : public PageWindow {
  Q_OBJECT

 public:
  // Opens the page in recovery mode `mode` (1 standard, 2 advanced, 3 deep) and starts the parser's worker;
  // a parser built by an earlier page is borrowed instead of creating one, and in mode 2 that page's
  // lists and choices come along for the Parse command.
  ResultsPage(Wizard& wizard, int mode, ParserSlot* borrowed = nullptr, const AdvancedInput& advanced = {});
  ~ResultsPage() override;

  void leave() override;
  // The close command is the page's Cancel: it asks, and stops the parsers on Yes.
  bool confirmExit() override;

  VolumeScanDlg& controller() { return m_controller; }
  PageView& view() { return m_view; }
  CheckTreeModel& treeModel() { return m_treeModel; }
  CheckListModel& listModel() { return m_listModel; }
  CheckTreeView& treeView() { return m_treeView; }
  QTreeView& listView() { return m_listView; }
  QLabel& legend() { return m_legend; }
  QLineEdit& searchBox() { return m_searchBox; }
  QPushButton& searchButton() { return m_search; }

 private:
  // The folder browser; none when cancelled.
  std::optional<std::string> chooseFolder();
  void stopWorkers();

  PageView m_view;
  GuiSink m_sink;
  VolumeScanDlg m_controller;
  ViewBinding m_binding;
  ThemeIcons m_icons;
  CheckTreeModel m_treeModel;
  CheckListModel m_listModel;

  QLabel m_heading;
  QGroupBox m_volumeBox;
  QLabel m_volumeData;
  QLabel m_counter;
  QLineEdit m_searchBox;
  QPushButton m_search;
  QLabel m_searchHint;
  QGroupBox m_advancedBox;
  QLabel m_candidatesLabel;
  QComboBox m_candidates;
  QLabel m_clusterSizesLabel;
  QComboBox m_clusterSizes;
  QLabel m_heapOffsetsLabel;
  QComboBox m_heapOffsets;
  QPushButton m_parse;
  QSplitter m_split;
  QLabel m_legendIcon;
  QLabel m_legend;
  CheckTreeView m_treeView;
  QTreeView m_listView;
  QLabel m_outputLabel;
  QLineEdit m_output;
  QPushButton m_browse;
  QPushButton m_save;
  QPushButton m_saveFolder;
  QProgressBar m_progress;
  QLabel m_progressText;
  QPushButton m_pause;
  QPushButton m_resume;
  QPushButton m_stop;
  QLabel m_status;
  QLabel m_sizeLine;
};

}  // namespace tessary::ui
