// The wizard of pages: one page shown at a time, each opened over its parent, which is hidden; Back shows
// the parent as it was left and destroys the page; Exit ends the process; the Help menu of every page.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QUrl>

#include "app/wizard_state.h"

class QDialog;
class QMenu;
class QWidget;

namespace tessary::ui {

class PageWindow;

class Wizard : public QObject {
  Q_OBJECT

 public:
  Wizard();
  // Pages go from the newest to the oldest, each stopping its workers first.
  ~Wizard() override;
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  WizardState& state() { return m_state; }

  // Shows the image page, the first page of the run.
  void start();
  // Shows `page` where the current page is and hides the current page; the wizard owns it from now on.
  void openPage(std::unique_ptr<PageWindow> page);
  // Destroys the current page (after it stopped its workers) and shows its parent again.
  void back();
  // The close command of `page`: asks, and on Yes ends the process whatever runs.
  void requestExit(PageWindow& page);

  PageWindow* currentPage() const;
  std::size_t pageCount() const { return m_pages.size(); }
  PageWindow& page(std::size_t index) const { return *m_pages.at(index); }

  // "Help", "Software Homepage" and "About".
  void addHelpEntries(QMenu& menu, QWidget& page);
  void openHelp();
  void openHomepage();
  void showAbout(QWidget& page);

  // The README of the installation or else of the source tree; none when neither is there.
  static std::optional<QString> homepagePath();
  // The guide built into the program, shown by Help.
  static constexpr const char* kGuideUrl = "qrc:/guide/gui.md";
  // Help's window while it is open (one for the whole run), null before Help was chosen.
  QDialog* helpDialog() const { return m_help.get(); }

  // Ends the process at once (std::_Exit); tests put a recorder here.
  std::function<void()> endProcess;
  // Opens a page in the desktop's browser or viewer (QDesktopServices); tests put a recorder here.
  std::function<bool(const QUrl&)> openUrl;

 private:
  void openProjectFile(const std::optional<QString>& path, const char* name);

  WizardState m_state;
  std::vector<std::unique_ptr<PageWindow>> m_pages;
  // Pages left through Back, destroyed once control is back in the event loop (Back is pressed on them).
  std::vector<std::unique_ptr<PageWindow>> m_leaving;
  std::unique_ptr<QDialog> m_help;
};

}  // namespace tessary::ui
