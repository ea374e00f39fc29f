// The scan-mode page: the standard or the advanced volume scan with its options; Next opens the volume
// list page. Disk image export is not part of this build, so "Save Disk Image" is not offered.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "app/drive_parsing_modes.h"
#include "platform/page_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/view_binding.h"

namespace tessary::ui {

class ScanModePage : public PageWindow {
  Q_OBJECT

 public:
  // `imageView` is the image page's view, whose three fields become the reader's overrides.
  ScanModePage(Wizard& wizard, const PageView& imageView);
  ~ScanModePage() override;

  DriveParsingModes& controller() { return m_controller; }
  PageView& view() { return m_view; }

 private:
  void next();

  PageView m_view;
  GuiSink m_sink;
  DriveParsingModes m_controller;
  ViewBinding m_binding;

  QLabel m_driveLabel;
  QLabel m_drive;
  QGroupBox m_scan;
  QRadioButton m_standard;
  QRadioButton m_advance;
  QCheckBox m_gpt;
  QCheckBox m_doNotSkip;
  QCheckBox m_custom;
  QLabel m_startLabel;
  QLineEdit m_start;
  QLabel m_endLabel;
  QLineEdit m_end;
};

}  // namespace tessary::ui
