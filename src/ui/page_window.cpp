// The frame every page shares.
#include "ui/page_window.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QMessageBox>

#include "platform/page_sink.h"
#include "ui/wizard.h"

namespace tessary::ui {

PageWindow::PageWindow(Wizard& wizard)
    : m_wizard(wizard), m_help(QStringLiteral("Help")), m_back(QStringLiteral("Back")), m_next(QStringLiteral("Next")) {
  setWindowTitle(QString::fromUtf8(kApplicationTitle));
  m_wizard.addHelpEntries(m_helpMenu, *this);
  m_help.setMenu(&m_helpMenu);
  m_back.setAutoDefault(false);
  m_next.setDefault(true);
  connect(&m_back, &QPushButton::clicked, this, [this] { m_wizard.back(); });
}

PageWindow::~PageWindow() = default;

bool PageWindow::confirmExit() {
  QMessageBox box(QMessageBox::Question, QString::fromUtf8(kApplicationTitle),
                  QStringLiteral("Do you want to Close Application ?"), QMessageBox::Yes | QMessageBox::No, this);
  return box.exec() == QMessageBox::Yes;
}

void PageWindow::closeEvent(QCloseEvent* event) {
  // The page stays unless the user confirms; then the whole process ends.
  event->ignore();
  m_wizard.requestExit(*this);
}

void PageWindow::addButtonRow(QBoxLayout& layout, bool withBack, bool withNext) {
  auto row = std::make_unique<QHBoxLayout>();
  row->addWidget(&m_help);
  row->addStretch(1);
  row->addWidget(&m_back);
  row->addWidget(&m_next);
  m_back.setHidden(!withBack);
  m_next.setHidden(!withNext);
  // The page's layout owns the row from here on.
  layout.addLayout(row.release());
}

}  // namespace tessary::ui
