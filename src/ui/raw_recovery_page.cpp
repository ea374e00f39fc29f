// The raw page's window.
#include "ui/raw_recovery_page.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/raw_setting_dialog.h"
#include "ui/wizard.h"

namespace tessary::ui {

namespace {
QString text(const char* id) { return QString::fromUtf8(id); }
}  // namespace

RawRecoveryPage::RawRecoveryPage(Wizard& wizard)
    : PageWindow(wizard),
      m_sink(*this),
      m_controller(wizard.state(), m_view, m_sink),
      m_binding(m_view),
      m_treeModel(m_controller.tree(), m_icons),
      m_listModel(m_controller.list(), m_icons),
      m_choose(text(RawRecoveryDialog::kChoose)),
      m_loadDefault(text(RawRecoveryDialog::kLoadDefault)),
      m_setting(text(RawRecoveryDialog::kSetting)),
      m_parse(text(RawRecoveryDialog::kParse)),
      m_treeView(m_treeModel, m_controller.tree()),
      m_save(text(RawRecoveryDialog::kSave)),
      m_pause(text(RawRecoveryDialog::kPause)),
      m_resume(text(RawRecoveryDialog::kResume)),
      m_stop(text(RawRecoveryDialog::kStop)) {
  m_listView.setModel(&m_listModel);
  m_listView.setRootIsDecorated(false);
  m_listView.setItemsExpandable(false);
  m_listView.setAllColumnsShowFocus(true);
  m_listView.setColumnWidth(0, RawRecoveryDialog::kListColumnWidth);
  m_split.addWidget(&m_treeView);
  m_split.addWidget(&m_listView);

  auto layout = std::make_unique<QVBoxLayout>();
  auto file = std::make_unique<QHBoxLayout>();
  file->addWidget(&m_path, 1);
  file->addWidget(&m_choose);
  file->addWidget(&m_loadDefault);
  file->addWidget(&m_setting);
  file->addWidget(&m_parse);
  layout->addLayout(file.release());
  layout->addWidget(&m_split, 1);
  auto worker = std::make_unique<QHBoxLayout>();
  worker->addWidget(&m_progress, 1);
  worker->addWidget(&m_progressText);
  worker->addWidget(&m_pause);
  worker->addWidget(&m_resume);
  worker->addWidget(&m_stop);
  worker->addWidget(&m_save);
  layout->addLayout(worker.release());
  layout->addWidget(&m_status);
  addButtonRow(*layout, true, false);
  setLayout(layout.release());
  resize(800, 600);

  m_sink.setStatusLabel(&m_status);
  m_sink.setProgressBar(&m_progress);
  m_sink.setProgressText(&m_progressText);
  m_binding.bindField(RawRecoveryDialog::kPath, m_path);
  m_binding.bindButton(RawRecoveryDialog::kChoose, m_choose);
  m_binding.bindButton(RawRecoveryDialog::kLoadDefault, m_loadDefault);
  m_binding.bindButton(RawRecoveryDialog::kSetting, m_setting);
  m_binding.bindButton(RawRecoveryDialog::kParse, m_parse);
  m_binding.bindButton(RawRecoveryDialog::kSave, m_save);
  m_binding.bindWidget(RawRecoveryDialog::kProgress, m_progress);
  m_binding.bindButton(RawRecoveryDialog::kPause, m_pause);
  m_binding.bindButton(RawRecoveryDialog::kResume, m_resume);
  m_binding.bindButton(RawRecoveryDialog::kStop, m_stop);
  m_binding.bindButton(RawRecoveryDialog::kBack, backButton());

  connect(&m_choose, &QPushButton::clicked, this, &RawRecoveryPage::chooseSignatureFile);
  connect(&m_setting, &QPushButton::clicked, this, &RawRecoveryPage::openSetting);
  connect(&m_parse, &QPushButton::clicked, this, [this] { m_controller.onParse(); });
  connect(&m_save, &QPushButton::clicked, this, [this] { m_controller.onSave([this] { return chooseFolder(); }); });
  connect(&m_pause, &QPushButton::clicked, this, [this] { m_controller.onPause(); });
  connect(&m_resume, &QPushButton::clicked, this, [this] { m_controller.onResume(); });
  connect(&m_stop, &QPushButton::clicked, this, [this] { m_controller.onStop(); });
  connect(&m_treeModel, &CheckTreeModel::refreshed, this,
          [this] { m_treeView.setEnabled(m_controller.tree().treeEnabled()); });
  connect(&m_listModel, &CheckListModel::enabledChanged, &m_listView, &QWidget::setEnabled);

  // The workers fill the tree from their own thread; the adapters copy it on the UI thread.
  m_controller.tree().onChanged = [this] { m_treeModel.scheduleRefresh(); };
  m_controller.tree().onCheckboxClicked = [this](TreeItem, bool) { m_treeModel.scheduleRefresh(); };
  m_controller.list().onChanged = [this] { m_listModel.scheduleRefresh(); };
  // A finished save closes the page with the result OK and shows the wizard's page before it again.
  m_controller.onSaveFinished = [this] {
    QTimer::singleShot(0, &m_wizard, [wizard = &m_wizard] { wizard->back(); });
  };
  m_controller.onOpen();
  m_binding.applyAll();
}

RawRecoveryPage::~RawRecoveryPage() {
  leave();
  m_controller.tree().onChanged = nullptr;
  m_controller.tree().onCheckboxClicked = nullptr;
  m_controller.list().onChanged = nullptr;
}

void RawRecoveryPage::leave() {
  m_sink.detach();
  m_controller.onSaveFinished = nullptr;
  m_controller.onBack();
}

void RawRecoveryPage::chooseSignatureFile() {
  if (!m_controller.onSetting()) return;  // the same refusal while work runs
  const QString chosen = QFileDialog::getOpenFileName(this, text(kApplicationTitle), QString(),
                                                      QStringLiteral("Text Files (*.txt)"));
  m_controller.onChooseSignatureFile(chosen.isEmpty() ? std::nullopt : std::optional<std::string>(chosen.toStdString()));
}

void RawRecoveryPage::openSetting() {
  if (!m_controller.onSetting()) return;
  RawSettingDialog dialog(this);
  dialog.exec();
  m_controller.onSettingClosed(dialog.controller().savedFile());
}

std::optional<std::string> RawRecoveryPage::chooseFolder() {
  QFileDialog dialog(this, QString::fromUtf8(kApplicationTitle));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Please choose a folder."));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst().toStdString();
}

}  // namespace tessary::ui
