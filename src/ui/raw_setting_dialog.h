// The signature editor's dialog ("Setting"): the eleven fields with their help buttons, the signature file's
// path with "..." and Save, and OK and Cancel, bound to RawSettingDlg.
#pragma once

#include <memory>
#include <vector>

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "platform/page_view.h"
#include "raw/raw_setting_dlg.h"
#include "ui/gui_sink.h"
#include "ui/view_binding.h"

namespace tessary::ui {

class RawSettingDialog : public QDialog {
  Q_OBJECT

 public:
  explicit RawSettingDialog(QWidget* parent);
  ~RawSettingDialog() override;

  RawSettingDlg& controller() { return m_controller; }
  PageView& view() { return m_view; }
  QPushButton& chooseButton() { return m_choose; }
  QPushButton& saveButton() { return m_save; }

 private:
  void chooseFile();

  PageView m_view;
  GuiSink m_sink;
  RawSettingDlg m_controller;
  ViewBinding m_binding;
  std::vector<std::unique_ptr<QLineEdit>> m_fields;
  QCheckBox m_includesHeader;
  QLineEdit m_path;
  QPushButton m_choose;
  QPushButton m_save;
  QPushButton m_ok;
  QPushButton m_cancel;
};

}  // namespace tessary::ui
