// Page stack, Back, Exit and Help.
#include "ui/wizard.h"

#include <cstdlib>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>

#include "platform/page_sink.h"
#include "ui/image_page.h"
#include "ui/page_window.h"

namespace tessary::ui {

namespace {

// Where the project's own files are: an installation's doc folder, beside the binary, the folder above
// the binary (a build folder inside the source tree), then the source tree it was built from.
std::optional<QString> findProjectFile(const QString& relative) {
  const QString bin = QCoreApplication::applicationDirPath();
  const QStringList roots = {bin + QStringLiteral("/../share/doc/tessary"), bin, bin + QStringLiteral("/.."),
                             QStringLiteral(TESSARY_SOURCE_TREE)};
  for (const QString& root : roots) {
    const QFileInfo candidate(QDir(root).filePath(relative));
    if (candidate.exists()) return candidate.canonicalFilePath();
  }
  return std::nullopt;
}

}  // namespace

Wizard::Wizard()
    : endProcess([] { std::_Exit(0); }), openUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {}

Wizard::~Wizard() {
  m_help.reset();
  m_leaving.clear();
  while (!m_pages.empty()) {
    m_pages.back()->leave();
    m_pages.pop_back();
  }
}

void Wizard::start() { openPage(std::make_unique<ImagePage>(*this)); }

PageWindow* Wizard::currentPage() const { return m_pages.empty() ? nullptr : m_pages.back().get(); }

void Wizard::openPage(std::unique_ptr<PageWindow> page) {
  PageWindow* parent = currentPage();
  if (parent) {
    // The new page takes its parent's place on the screen, at least at the size it asked for.
    page->resize(parent->size().expandedTo(page->size()).expandedTo(page->minimumSizeHint()));
    page->move(parent->pos());
  }
  page->show();
  if (parent) parent->hide();
  m_pages.push_back(std::move(page));
}

void Wizard::back() {
  if (m_pages.size() < 2) return;
  std::unique_ptr<PageWindow> page = std::move(m_pages.back());
  m_pages.pop_back();
  page->leave();
  PageWindow& parent = *m_pages.back();
  parent.move(page->pos());
  parent.show();
  page->hide();
  m_leaving.push_back(std::move(page));
  QMetaObject::invokeMethod(this, [this] { m_leaving.clear(); }, Qt::QueuedConnection);
}

void Wizard::requestExit(PageWindow& page) {
  if (page.confirmExit()) endProcess();
}

void Wizard::addHelpEntries(QMenu& menu, QWidget& page) {
  menu.addAction(QStringLiteral("Help"), this, [this] { openHelp(); });
  menu.addAction(QStringLiteral("Software Homepage"), this, [this] { openHomepage(); });
  menu.addAction(QStringLiteral("About"), this, [this, &page] { showAbout(page); });
}

std::optional<QString> Wizard::homepagePath() { return findProjectFile(QStringLiteral("README.md")); }

void Wizard::openProjectFile(const std::optional<QString>& path, const char* name) {
  if (path && openUrl(QUrl::fromLocalFile(*path))) return;
  QMessageBox box(QMessageBox::Information, QString::fromUtf8(kApplicationTitle),
                  path ? QStringLiteral("Could not open %1").arg(*path)
                       : QStringLiteral("%1 was not found beside the program or in its source tree.").arg(QLatin1String(name)),
                  QMessageBox::Ok, currentPage());
  box.exec();
}

void Wizard::openHelp() {
  // The guide travels inside the program, so Help works wherever no viewer for its format is installed.
  if (!m_help) {
    m_help = std::make_unique<QDialog>();
    m_help->setWindowTitle(QStringLiteral("%1 - Help").arg(QString::fromUtf8(kApplicationTitle)));
    auto layout = std::make_unique<QVBoxLayout>();
    auto browser = std::make_unique<QTextBrowser>();
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl(QString::fromUtf8(kGuideUrl)), QTextDocument::MarkdownResource);
    layout->addWidget(browser.release(), 1);
    auto buttons = std::make_unique<QDialogButtonBox>(QDialogButtonBox::Close);
    connect(buttons.get(), &QDialogButtonBox::rejected, m_help.get(), &QDialog::hide);
    layout->addWidget(buttons.release());
    m_help->setLayout(layout.release());
    m_help->resize(760, 640);
  }
  if (PageWindow* page = currentPage()) m_help->move(page->pos() + QPoint(40, 40));
  m_help->show();
  m_help->raise();
  m_help->activateWindow();
}

void Wizard::openHomepage() { openProjectFile(homepagePath(), "README.md"); }

void Wizard::showAbout(QWidget& page) {
  QMessageBox box(QMessageBox::Information, QString::fromUtf8(kApplicationTitle),
                  QStringLiteral("Brellow Tessary-x64(Full)\nVersion %1\n\n"
                                 "Recovers files and folders from VHDX virtual-disk images; the image is only read.\n\n"
                                 "Copyright (c) Tessary developers. All rights reserved.")
                      .arg(QStringLiteral(TESSARY_VERSION)),
                  QMessageBox::Ok, &page);
  box.exec();
}

}  // namespace tessary::ui
