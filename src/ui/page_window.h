// A wizard page's window: titled with the application title, with the Help button and its menu, Back and
// Next, and the Exit question on the window's close command.
#pragma once

#include <QMenu>
#include <QPushButton>
#include <QWidget>

class QBoxLayout;

namespace tessary::ui {

class Wizard;

class PageWindow : public QWidget {
  Q_OBJECT

 public:
  explicit PageWindow(Wizard& wizard);
  ~PageWindow() override;
  PageWindow(const PageWindow&) = delete;
  PageWindow& operator=(const PageWindow&) = delete;

  // Before Back destroys the page: stops its workers and waits for them, so none outlives its page.
  virtual void leave() {}
  // The window's close command: true when the user confirmed that the application is to end.
  virtual bool confirmExit();

  QPushButton& helpButton() { return m_help; }
  QPushButton& backButton() { return m_back; }
  QPushButton& nextButton() { return m_next; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Adds the bottom row to the page's layout: Help on the left, then Back (when the page has a parent
  // page) and Next (when the page leads on).
  void addButtonRow(QBoxLayout& layout, bool withBack, bool withNext);

  Wizard& m_wizard;

 private:
  QPushButton m_help;
  QMenu m_helpMenu;
  QPushButton m_back;
  QPushButton m_next;
};

}  // namespace tessary::ui
