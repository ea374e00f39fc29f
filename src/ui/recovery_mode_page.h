// The recovery-mode page: Standard, Advanced or Deep as the volume's file system and this build allow;
// Next opens the results page, or for Advanced the advanced-input page.
#pragma once

#include <string>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "app/parce_mode_ntfs_dlg.h"
#include "platform/page_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/view_binding.h"

namespace tessary::ui {


class RecoveryModePage : public PageWindow {
  Q_OBJECT

 public:
  explicit RecoveryModePage(Wizard& wizard);
  ~RecoveryModePage() override;

  ParceModeNtfsDlg& controller() { return m_controller; }
  PageView& view() { return m_view; }

 private:
  void next();

  PageView m_view;
  GuiSink m_sink;
  ParceModeNtfsDlg m_controller;
  ViewBinding m_binding;

  QLabel m_volume;
  QGroupBox m_modes;
  QRadioButton m_standard;
  QRadioButton m_advanced;
  QRadioButton m_deep;
  QLabel m_maxLabel;
  QLineEdit m_max;
  QLabel m_maxNote;
  QCheckBox m_formatted;
};

}  // namespace tessary::ui
