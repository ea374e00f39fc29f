// Driving the wizard in-process as a user would: clicking buttons, answering the modal dialogs that open
// (message boxes, file dialogs) and waiting for workers, under QT_QPA_PLATFORM=offscreen.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QAbstractButton;
class QFileDialog;
class QLineEdit;
class QModelIndex;

namespace tessary::ui {
class Wizard;
class PageWindow;
class CheckTreeView;
}  // namespace tessary::ui

namespace tessary::test::gui {

// One modal dialog as it was met.
struct MetDialog {
  QString title;
  QString text;  // a message box's text
  bool question = false;
};

// Watches for modal dialogs and hands each to the next queued handler; a dialog with no handler waiting
// is a message box answered with its Ok (or No) button, so an unexpected question never says Yes.
class DialogAnswerer : public QObject {
  Q_OBJECT

 public:
  DialogAnswerer();
  void then(std::function<void(QWidget&)> handler);
  // Queued answers for the common cases.
  void answerYes();
  void answerNo();
  void pickFile(const QString& path);
  void cancelFileDialog();

  const std::vector<MetDialog>& met() const { return m_met; }
  std::vector<QString> texts() const;
  bool saw(const QString& text) const;
  bool pending() const { return !m_handlers.empty(); }
  void clear() { m_met.clear(); }

 private:
  void poll();

  QTimer m_timer;
  QPointer<QWidget> m_current;
  std::deque<std::function<void(QWidget&)>> m_handlers;
  std::vector<MetDialog> m_met;
};

// Clicks a button and lets the event loop run what the click queued.
void click(QAbstractButton& button);
// Runs the event loop until `done` holds or `timeoutMs` passes; true when it holds.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000);
// Lets queued work run (refreshes of the adapters, queued view changes).
void settle();

template <typename Page>
Page* currentPage(ui::Wizard& wizard);

// The page's button (push button, check box or radio button) with this caption, or null.
QAbstractButton* button(QWidget& page, const QString& caption);
// Replaces a field's text by typing, as the user would.
void typeInto(QLineEdit& field, const QString& text);
// The tree view's check box and label of an item, clicked with the mouse.
void clickTreeCheckBox(ui::CheckTreeView& view, const QModelIndex& index);
void clickTreeLabel(ui::CheckTreeView& view, const QModelIndex& index);

// The sample image unpacked by the test build, and whether it is there.
QString sampleImage();

}  // namespace tessary::test::gui

#include "ui/wizard.h"

template <typename Page>
Page* tessary::test::gui::currentPage(ui::Wizard& wizard) {
  return dynamic_cast<Page*>(wizard.currentPage());
}

namespace tessary::ui {
class ImagePage;
class ScanModePage;
class VolumeListPage;
class RecoveryModePage;
class ResultsPage;
}  // namespace tessary::ui

namespace tessary::test::gui {

// The main road on an image, one page at a time, with the mouse: each step presses what a user presses
// and returns the page it reached (null when the wizard did not get there).
class WizardWalk {
 public:
  WizardWalk(ui::Wizard& wizard, DialogAnswerer& dialogs) : m_wizard(wizard), m_dialogs(dialogs) {}

  // Starts the wizard and picks `image` with "...".
  ui::ImagePage* imagePage(const QString& image);
  ui::ScanModePage* scanModePage();
  ui::VolumeListPage* volumeListPage();
  // Clicks the row whose "VOLUME" text is `volume` and presses Next.
  ui::RecoveryModePage* recoveryModePage(const QString& volume);
  // Presses Next (Standard) and waits until the parse worker has ended.
  ui::ResultsPage* resultsPage();

 private:
  ui::Wizard& m_wizard;
  DialogAnswerer& m_dialogs;
};

}  // namespace tessary::test::gui
