// Walks the wizard on the sample image and writes a PNG of every page into the folder given (for
// scripts/screenshots.sh, which runs it under Xvfb).
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QStyleOptionTitleBar>
#include <QTableView>
#include <QTest>

#include "support/gui_driver.h"
#include "ui/check_tree_model.h"
#include "ui/image_page.h"
#include "ui/recovery_mode_page.h"
#include "ui/results_page.h"
#include "ui/scan_mode_page.h"
#include "ui/volume_list_page.h"
#include "ui/wizard.h"

namespace {

// Xvfb has no window manager to draw frames: the page gets the style's own title bar with its title.
QImage withTitleBar(QWidget& page) {
  const QPixmap content = page.grab();
  QStyleOptionTitleBar bar;
  bar.initFrom(&page);
  bar.text = page.windowTitle();
  bar.titleBarFlags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  bar.titleBarState = Qt::WindowActive;
  bar.state |= QStyle::State_Active;
  bar.subControls = QStyle::SC_TitleBarLabel | QStyle::SC_TitleBarCloseButton;
  const int height = page.style()->pixelMetric(QStyle::PM_TitleBarHeight, &bar, &page);
  bar.rect = QRect(0, 0, content.width(), height);
  QImage image(content.width(), content.height() + height, QImage::Format_ARGB32);
  image.fill(page.palette().window().color());
  QPainter painter(&image);
  page.style()->drawComplexControl(QStyle::CC_TitleBar, &bar, &painter, &page);
  painter.drawPixmap(0, height, content);
  painter.end();
  return image;
}

bool shoot(QWidget* page, const QDir& folder, const QString& name) {
  if (!page) {
    std::fprintf(stderr, "screenshots: the wizard did not reach %s\n", qPrintable(name));
    return false;
  }
  tessary::test::gui::settle();
  QTest::qWait(200);
  const QString path = folder.filePath(name + QStringLiteral(".png"));
  if (!withTitleBar(*page).save(path)) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: tessary_gui_screenshots OUTPUT_FOLDER [IMAGE]\n");
    return 2;
  }
  const QString image = argc > 2 ? QString::fromLocal8Bit(argv[2]) : tessary::test::gui::sampleImage();
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.exists() && !QDir().mkpath(folder.path())) return 1;

  using namespace tessary;
  ui::Wizard wizard;
  test::gui::DialogAnswerer dialogs;
  test::gui::WizardWalk walk(wizard, dialogs);

  bool ok = shoot(walk.imagePage(image), folder, QStringLiteral("1-image-page"));
  ok = ok && shoot(walk.scanModePage(), folder, QStringLiteral("2-scan-mode-page"));
  ui::VolumeListPage* volumes = ok ? walk.volumeListPage() : nullptr;
  if (volumes) {
    // The first volume clicked, as the user would before Next.
    QTableView& table = volumes->table();
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, table.visualRect(table.model()->index(0, 1)).center());
    test::gui::settle();
  }
  ok = ok && shoot(volumes, folder, QStringLiteral("3-volume-list-page"));
  ok = ok && shoot(walk.recoveryModePage(QStringLiteral("0")), folder, QStringLiteral("4-recovery-mode-page"));
  ui::ResultsPage* results = ok ? walk.resultsPage() : nullptr;
  if (results) {
    // A folder opened and clicked, so the detail list shows its files.
    ui::CheckTreeModel& model = results->treeModel();
    const QModelIndex top = model.index(0, 0);
    // The sample's "Documents", else the first folder with something in it.
    int pick = -1;
    for (int row = 0; row < model.rowCount(top); ++row) {
      if (!model.hasChildren(model.index(row, 0, top))) continue;
      if (pick < 0 || model.index(row, 0, top).data().toString() == QStringLiteral("Documents")) pick = row;
    }
    if (pick >= 0) {
      const QModelIndex folderIndex = model.index(pick, 0, top);
      results->treeView().expand(folderIndex);
      test::gui::settle();
      test::gui::clickTreeLabel(results->treeView(), model.index(pick, 0, top));
    }
  }
  ok = ok && shoot(results, folder, QStringLiteral("5-results-page"));
  return ok ? 0 : 1;
}
