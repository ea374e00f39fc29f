// The volume list page: runs the chosen volume scan, lists the volumes with their check boxes, filters
// them, adds a custom volume or overrides the selected one, and leads on to the recovery-mode page, or to
// the raw page for a volume treated as "RAW".
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include "platform/page_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/view_binding.h"
#include "ui/volume_list_model.h"
#include "volumes/populate_drive_dlg.h"

namespace tessary::ui {

class VolumeListPage : public PageWindow {
  Q_OBJECT

 public:
  explicit VolumeListPage(Wizard& wizard);
  ~VolumeListPage() override;

  void leave() override;

  PopulateDriveDlg& controller() { return m_controller; }
  PageView& view() { return m_view; }
  QTableView& table() { return m_table; }
  VolumeListModel& model() { return m_model; }

 private:
  void next();
  void followSelection();

  PageView m_view;
  GuiSink m_sink;
  PopulateDriveDlg m_controller;
  ViewBinding m_binding;
  VolumeListModel m_model;

  QTableView m_table;
  QPushButton m_filter;
  QPushButton m_showAll;
  QPushButton m_addCustom;
  QGroupBox m_customGroup;
  QCheckBox m_custom;
  QLabel m_selectedLabel;
  QLineEdit m_selected;
  QLabel m_startLabel;
  QLineEdit m_start;
  QToolButton m_startUp;
  QToolButton m_startDown;
  QLabel m_endLabel;
  QLineEdit m_end;
  QToolButton m_endUp;
  QToolButton m_endDown;
  QLabel m_treatAsLabel;
  QComboBox m_treatAs;
  QProgressBar m_progress;
  QLabel m_progressText;
  QLabel m_status;
  QPushButton m_stop;
  bool m_following = false;
};

}  // namespace tessary::ui
