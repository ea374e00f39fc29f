// The signature editor's dialog.
#include "ui/raw_setting_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace tessary::ui {

namespace {
QString text(const char* id) { return QString::fromUtf8(id); }
}  // namespace

RawSettingDialog::RawSettingDialog(QWidget* parent)
    : QDialog(parent),
      m_sink(*this),
      m_controller(m_view, m_sink),
      m_binding(m_view),
      m_includesHeader(text(RawSettingDlg::kSizeIncludesHeader)),
      m_choose(text(RawSettingDlg::kChoose)),
      m_save(text(RawSettingDlg::kSave)),
      m_ok(text(RawSettingDlg::kOk)),
      m_cancel(text(RawSettingDlg::kCancel)) {
  setWindowTitle(text(RawSettingDlg::kTitle));
  setModal(true);
  auto layout = std::make_unique<QVBoxLayout>();
  auto grid = std::make_unique<QGridLayout>();
  int row = 0;
  for (const RawSettingDlg::Field& field : RawSettingDlg::kFields) {
    auto help = std::make_unique<QToolButton>();
    help->setText(QStringLiteral("?"));
    const std::string label = field.label;
    connect(help.get(), &QToolButton::clicked, this, [this, label] { m_controller.onHelp(label); });
    if (field.checkBox) {
      grid->addWidget(&m_includesHeader, row, 0, 1, 2);
      m_binding.bindButton(field.label, m_includesHeader);
    } else {
      auto caption = std::make_unique<QLabel>(text(field.label));
      auto edit = std::make_unique<QLineEdit>();
      caption->setBuddy(edit.get());
      m_binding.bindField(field.label, *edit);
      grid->addWidget(caption.release(), row, 0);
      grid->addWidget(edit.get(), row, 1);
      m_fields.push_back(std::move(edit));
    }
    grid->addWidget(help.release(), row, 2);
    ++row;
  }
  layout->addLayout(grid.release());
  auto group = std::make_unique<QGroupBox>(text(RawSettingDlg::kPathGroup));
  auto path = std::make_unique<QHBoxLayout>();
  m_path.setReadOnly(true);
  path->addWidget(&m_path, 1);
  path->addWidget(&m_choose);
  path->addWidget(&m_save);
  group->setLayout(path.release());
  layout->addWidget(group.release());
  auto buttons = std::make_unique<QHBoxLayout>();
  buttons->addStretch(1);
  buttons->addWidget(&m_ok);
  buttons->addWidget(&m_cancel);
  layout->addLayout(buttons.release());
  setLayout(layout.release());

  m_binding.bindField(RawSettingDlg::kPath, m_path);
  connect(&m_choose, &QPushButton::clicked, this, &RawSettingDialog::chooseFile);
  connect(&m_save, &QPushButton::clicked, this, [this] { m_controller.onSave(); });
  connect(&m_ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(&m_cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(this, &QDialog::finished, this, [this] { m_controller.onClose(); });
  m_controller.onOpen();
  m_binding.applyAll();
}

RawSettingDialog::~RawSettingDialog() { m_sink.detach(); }

void RawSettingDialog::chooseFile() {
  // The save-as dialog asks before it replaces a file.
  const QString chosen = QFileDialog::getSaveFileName(this, text(kApplicationTitle), QString(),
                                                      QStringLiteral("Text Files (*.txt)"));
  m_controller.onChooseFile(chosen.isEmpty() ? std::nullopt : std::optional<std::string>(chosen.toStdString()));
}

}  // namespace tessary::ui
