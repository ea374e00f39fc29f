// The in-process GUI driver.
#include "gui_driver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QRadioButton>
#include <QLineEdit>
#include <QTest>

#include "ui/check_tree_view.h"

#include "support/fixtures.h"

namespace tessary::test::gui {

DialogAnswerer::DialogAnswerer() {
  m_timer.setInterval(15);
  connect(&m_timer, &QTimer::timeout, this, &DialogAnswerer::poll);
  m_timer.start();
}

void DialogAnswerer::then(std::function<void(QWidget&)> handler) { m_handlers.push_back(std::move(handler)); }

void DialogAnswerer::answerYes() {
  then([](QWidget& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) box->button(QMessageBox::Yes)->click();
  });
}

void DialogAnswerer::answerNo() {
  then([](QWidget& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) box->button(QMessageBox::No)->click();
  });
}

void DialogAnswerer::pickFile(const QString& path) {
  then([path](QWidget& dialog) {
    if (auto* files = qobject_cast<QFileDialog*>(&dialog)) {
      files->selectFile(path);
      static_cast<QDialog*>(files)->accept();  // QFileDialog::accept, reached as the dialog's slot
    }
  });
}

void DialogAnswerer::cancelFileDialog() {
  then([](QWidget& dialog) {
    if (auto* files = qobject_cast<QFileDialog*>(&dialog)) files->reject();
  });
}

std::vector<QString> DialogAnswerer::texts() const {
  std::vector<QString> out;
  for (const MetDialog& d : m_met) out.push_back(d.text);
  return out;
}

bool DialogAnswerer::saw(const QString& text) const {
  for (const MetDialog& d : m_met)
    if (d.text == text) return true;
  return false;
}

void DialogAnswerer::poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || modal == m_current.data()) return;
  m_current = modal;
  MetDialog met;
  met.title = modal->windowTitle();
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    met.text = box->text();
    met.question = box->button(QMessageBox::Yes) != nullptr;
  }
  m_met.push_back(met);
  if (!m_handlers.empty()) {
    auto handler = std::move(m_handlers.front());
    m_handlers.pop_front();
    handler(*modal);
    return;
  }
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
    else if (QAbstractButton* no = box->button(QMessageBox::No)) no->click();
  } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
    dialog->reject();
  }
}

void click(QAbstractButton& button) {
  // Check boxes and radio buttons take clicks on their box and caption only, which start at the left.
  const bool boxed = qobject_cast<QCheckBox*>(&button) || qobject_cast<QRadioButton*>(&button);
  QTest::mouseClick(&button, Qt::LeftButton, {}, boxed ? QPoint(8, button.height() / 2) : button.rect().center());
  settle();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) { return QTest::qWaitFor(done, timeoutMs); }

void settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

QAbstractButton* button(QWidget& page, const QString& caption) {
  for (QAbstractButton* b : page.findChildren<QAbstractButton*>())
    if (b->text() == caption) return b;
  return nullptr;
}

void typeInto(QLineEdit& field, const QString& text) {
  field.setFocus();
  QTest::keyClick(&field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&field, Qt::Key_Delete);
  QTest::keyClicks(&field, text);
  settle();
}

void clickTreeCheckBox(ui::CheckTreeView& view, const QModelIndex& index) {
  view.scrollTo(index);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.checkRect(index).center());
  settle();
}

void clickTreeLabel(ui::CheckTreeView& view, const QModelIndex& index) {
  view.scrollTo(index);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.labelRect(index).center());
  settle();
}

QString sampleImage() { return QString::fromStdString(fixturePath("sample.vhdx")); }

}  // namespace tessary::test::gui

#include <QTableView>

#include "ui/image_page.h"
#include "ui/recovery_mode_page.h"
#include "ui/results_page.h"
#include "ui/scan_mode_page.h"
#include "ui/volume_list_page.h"

namespace tessary::test::gui {

ui::ImagePage* WizardWalk::imagePage(const QString& image) {
  m_wizard.start();
  auto* page = currentPage<ui::ImagePage>(m_wizard);
  if (!page) return nullptr;
  QAbstractButton* browse = button(*page, QStringLiteral("..."));
  if (!browse) return nullptr;
  m_dialogs.pickFile(image);
  click(*browse);
  return page;
}

ui::ScanModePage* WizardWalk::scanModePage() {
  auto* image = currentPage<ui::ImagePage>(m_wizard);
  if (!image) return nullptr;
  click(image->nextButton());
  return currentPage<ui::ScanModePage>(m_wizard);
}

ui::VolumeListPage* WizardWalk::volumeListPage() {
  auto* scan = currentPage<ui::ScanModePage>(m_wizard);
  if (!scan) return nullptr;
  click(scan->nextButton());
  auto* page = currentPage<ui::VolumeListPage>(m_wizard);
  if (!page) return nullptr;
  waitUntil([page] { return !page->controller().scanRunning(); });
  settle();
  return page;
}

ui::RecoveryModePage* WizardWalk::recoveryModePage(const QString& volume) {
  auto* list = currentPage<ui::VolumeListPage>(m_wizard);
  if (!list) return nullptr;
  QTableView& table = list->table();
  for (int row = 0; row < table.model()->rowCount(); ++row) {
    const QModelIndex index = table.model()->index(row, 0);
    if (index.data().toString() != volume) continue;
    const QRect cell = table.visualRect(table.model()->index(row, 1));
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, cell.center());
    settle();
    click(list->nextButton());
    return currentPage<ui::RecoveryModePage>(m_wizard);
  }
  return nullptr;
}

ui::ResultsPage* WizardWalk::resultsPage() {
  auto* modes = currentPage<ui::RecoveryModePage>(m_wizard);
  if (!modes) return nullptr;
  click(modes->nextButton());
  auto* page = currentPage<ui::ResultsPage>(m_wizard);
  if (!page) return nullptr;
  waitUntil([page] { return !page->controller().workerRunning() && !page->controller().running(); });
  settle();
  return page;
}

}  // namespace tessary::test::gui
