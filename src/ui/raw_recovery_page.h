// The raw page: the signature file box with "...", "Load Default Items ", Setting and Parse; the check-box
// tree of results by category with the "File(s) List" beside it; Save, Pause, Resume, Stop, the progress
// bar and the status line; Back. Bound to RawRecoveryDialog.
#pragma once

#include <optional>
#include <string>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>

#include "platform/page_view.h"
#include "raw/raw_recovery_dialog.h"
#include "ui/check_list_model.h"
#include "ui/check_tree_model.h"
#include "ui/check_tree_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/theme_icons.h"
#include "ui/view_binding.h"

namespace tessary::ui {

class RawRecoveryPage : public PageWindow {
  Q_OBJECT

 public:
  explicit RawRecoveryPage(Wizard& wizard);
  ~RawRecoveryPage() override;

  void leave() override;

  RawRecoveryDialog& controller() { return m_controller; }
  PageView& view() { return m_view; }
  CheckTreeModel& treeModel() { return m_treeModel; }
  QPushButton& parseButton() { return m_parse; }
  QPushButton& settingButton() { return m_setting; }

 private:
  std::optional<std::string> chooseFolder();
  void chooseSignatureFile();
  void openSetting();

  PageView m_view;
  GuiSink m_sink;
  RawRecoveryDialog m_controller;
  ViewBinding m_binding;
  ThemeIcons m_icons;
  CheckTreeModel m_treeModel;
  CheckListModel m_listModel;

  QLineEdit m_path;
  QPushButton m_choose;
  QCheckBox m_loadDefault;
  QPushButton m_setting;
  QPushButton m_parse;
  QSplitter m_split;
  CheckTreeView m_treeView;
  QTreeView m_listView;
  QPushButton m_save;
  QProgressBar m_progress;
  QLabel m_progressText;
  QPushButton m_pause;
  QPushButton m_resume;
  QPushButton m_stop;
  QLabel m_status;
};

}  // namespace tessary::ui
