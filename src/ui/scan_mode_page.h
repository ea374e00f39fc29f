// The scan-mode page: the standard or the advanced volume scan with its options, and the disk image export
// ("Save Disk Image", "Save Image", its progress, status line and Stop); Next opens the volume list page.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
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

  // Stops a running export and waits for it.
  void leave() override;

  DriveParsingModes& controller() { return m_controller; }
  PageView& view() { return m_view; }

 private:
  void next();
  void saveImage();

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
  QCheckBox m_saveDiskImage;
  QPushButton m_saveImage;
  QLineEdit m_imagePath;
  QProgressBar m_progress;
  QLabel m_progressText;
  QLabel m_status;
  QPushButton m_stop;
};

}  // namespace tessary::ui
