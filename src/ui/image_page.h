// The image page: "..." picks a VHDX file, the "File Information:" group shows its values in three
// editable fields, Next checks them and opens the scan-mode page.
#pragma once

#include <optional>
#include <string>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include "app/vhd_input_dialog.h"
#include "platform/page_view.h"
#include "ui/gui_sink.h"
#include "ui/page_window.h"
#include "ui/view_binding.h"

namespace tessary::ui {

// The page's file filter ("text|pattern|...||") as Qt's name filters.
QStringList nameFiltersOf(const std::string& windowsFilter);

class ImagePage : public PageWindow {
  Q_OBJECT

 public:
  explicit ImagePage(Wizard& wizard);
  ~ImagePage() override;

  VhdInputDialog& controller() { return m_controller; }
  // The scan-mode page reads the three fields from here.
  const PageView& view() const { return m_view; }

 private:
  void browse();
  void next();

  PageView m_view;
  GuiSink m_sink;
  VhdInputDialog m_controller;
  ViewBinding m_binding;

  QLabel m_pathLabel;
  QLineEdit m_path;
  QPushButton m_browse;
  QGroupBox m_info;
  QLabel m_versionLabel;
  QLabel m_version;
  QLabel m_sizeLabel;
  QLineEdit m_size;
  QLabel m_sizeUnit;
  QLabel m_blockSizeLabel;
  QLineEdit m_blockSize;
  QLabel m_sectorSizeLabel;
  QLineEdit m_sectorSize;
};

}  // namespace tessary::ui
