// Walks the wizard on the sample image and writes a PNG of every page and dialog into the folder given
// (for scripts/screenshots.sh, which runs it under Xvfb): the main road from the image to a search on the
// results page, the export, Help, the advanced-input page, and the raw road of a custom volume with the
// raw page and the signature editor.
#include <cstdio>
#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QStyleOptionTitleBar>
#include <QTableView>
#include <QTest>

#include "support/gui_driver.h"
#include "ui/advance_options_page.h"
#include "ui/check_tree_model.h"
#include "ui/image_page.h"
#include "ui/raw_recovery_page.h"
#include "ui/raw_setting_dialog.h"
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


using namespace tessary;
using test::gui::button;
using test::gui::click;
using test::gui::settle;
using test::gui::waitUntil;

// The field a label names (its buddy), or null.
QLineEdit* fieldAfter(QWidget& page, const QString& labelText) {
  for (QLabel* label : page.findChildren<QLabel*>())
    if (label->text() == labelText) return qobject_cast<QLineEdit*>(label->buddy());
  return nullptr;
}

void typeInto(QWidget& page, const QString& label, const QString& text) {
  if (QLineEdit* field = fieldAfter(page, label)) test::gui::typeInto(*field, text);
}

void clickIf(QAbstractButton* b) {
  if (b) click(*b);
}

// Opens the first folder of the results tree (the sample's "Documents" when there) and lists it.
void openAFolder(ui::ResultsPage& results) {
  ui::CheckTreeModel& model = results.treeModel();
  const QModelIndex top = model.index(0, 0);
  int pick = -1;
  for (int row = 0; row < model.rowCount(top); ++row) {
    if (!model.hasChildren(model.index(row, 0, top))) continue;
    if (pick < 0 || model.index(row, 0, top).data().toString() == QStringLiteral("Documents")) pick = row;
  }
  if (pick < 0) return;
  results.treeView().expand(model.index(pick, 0, top));
  settle();
  test::gui::clickTreeLabel(results.treeView(), model.index(pick, 0, top));
}

// The main road, the export on the scan-mode page, a search and Help.
bool mainRoad(const QString& image, const QDir& folder) {
  ui::Wizard wizard;
  test::gui::DialogAnswerer dialogs;
  test::gui::WizardWalk walk(wizard, dialogs);
  bool ok = shoot(walk.imagePage(image), folder, QStringLiteral("1-image-page"));
  ui::ScanModePage* scan = ok ? walk.scanModePage() : nullptr;
  ok = ok && shoot(scan, folder, QStringLiteral("2-scan-mode-page"));
  if (!ok) return false;

  // The whole disk exported to a flat image in a scratch folder.
  QTemporaryDir exportDir;
  clickIf(button(*scan, QString::fromUtf8(DriveParsingModes::kSaveDiskImage)));
  dialogs.then([](QWidget& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) box->button(QMessageBox::Ok)->click();
  });
  dialogs.pickFile(exportDir.path());
  clickIf(button(*scan, QString::fromUtf8(DriveParsingModes::kSaveImage)));
  waitUntil([&] { return !scan->controller().exportRunning() && !dialogs.pending(); }, 120000);
  settle();
  ok = shoot(scan, folder, QStringLiteral("3-export"));
  clickIf(button(*scan, QString::fromUtf8(DriveParsingModes::kSaveDiskImage)));

  ui::VolumeListPage* volumes = ok ? walk.volumeListPage() : nullptr;
  if (volumes) {
    // The first volume clicked, as the user would before Next.
    QTableView& table = volumes->table();
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, table.visualRect(table.model()->index(0, 1)).center());
    settle();
  }
  ok = ok && shoot(volumes, folder, QStringLiteral("4-volume-list-page"));
  ok = ok && shoot(walk.recoveryModePage(QStringLiteral("0")), folder, QStringLiteral("5-recovery-mode-page"));
  ui::ResultsPage* results = ok ? walk.resultsPage() : nullptr;
  if (results) openAFolder(*results);
  ok = ok && shoot(results, folder, QStringLiteral("6-results-page"));
  if (!ok) return false;

  test::gui::typeInto(results->searchBox(), QStringLiteral("txt|jpg"));
  click(results->searchButton());
  waitUntil([&] { return !results->controller().running(); }, 120000);
  settle();
  ok = shoot(results, folder, QStringLiteral("7-search"));

  wizard.openHelp();
  settle();
  ok = ok && shoot(wizard.helpDialog(), folder, QStringLiteral("8-help"));
  if (wizard.helpDialog()) wizard.helpDialog()->hide();
  return ok;
}

// Recovery mode Advanced on the NTFS volume: the advanced-input page once its scan has listed the candidates.
bool advancedInput(const QString& image, const QDir& folder) {
  ui::Wizard wizard;
  test::gui::DialogAnswerer dialogs;
  test::gui::WizardWalk walk(wizard, dialogs);
  if (!walk.imagePage(image) || !walk.scanModePage() || !walk.volumeListPage()) return shoot(nullptr, folder, QStringLiteral("9-advanced-input-page"));
  ui::RecoveryModePage* modes = walk.recoveryModePage(QStringLiteral("0"));
  QAbstractButton* advanced = modes ? button(*modes, QStringLiteral("Advanced")) : nullptr;
  if (!advanced || advanced->isHidden()) {
    std::fprintf(stderr, "screenshots: this build has no advanced mode for NTFS\n");
    return true;
  }
  click(*advanced);
  click(modes->nextButton());
  auto* page = test::gui::currentPage<ui::AdvanceOptionsPage>(wizard);
  if (page) waitUntil([&] { return !page->controller().workerRunning(); }, 120000);
  return shoot(page, folder, QStringLiteral("9-advanced-input-page"));
}

// The raw road: an advanced scan of a range without volumes, a custom volume treated as RAW, the raw
// page after carving with the default signatures, and the signature editor.
bool rawRoad(const QString& image, const QDir& folder) {
  ui::Wizard wizard;
  test::gui::DialogAnswerer dialogs;
  test::gui::WizardWalk walk(wizard, dialogs);
  ui::ScanModePage* scan = walk.imagePage(image) ? walk.scanModePage() : nullptr;
  if (!scan) return shoot(nullptr, folder, QStringLiteral("10-advance-scan"));
  clickIf(button(*scan, QStringLiteral("Advance Scan")));
  clickIf(button(*scan, QString::fromUtf8(DriveParsingModes::kCustomSetting)));
  typeInto(*scan, QString::fromUtf8(DriveParsingModes::kStartingSector), QStringLiteral("20000"));
  typeInto(*scan, QString::fromUtf8(DriveParsingModes::kEndingSector), QStringLiteral("20100"));
  bool ok = shoot(scan, folder, QStringLiteral("10-advance-scan"));
  ui::VolumeListPage* volumes = ok ? walk.volumeListPage() : nullptr;
  if (volumes) {
    waitUntil([&] { return dialogs.saw(QStringLiteral("populated partitions....")); });
    settle();
    clickIf(button(*volumes, QString::fromUtf8(PopulateDriveDlg::kAddCustomVolume)));
    typeInto(*volumes, QString::fromUtf8(PopulateDriveDlg::kStartSector), QStringLiteral("2048"));
    typeInto(*volumes, QString::fromUtf8(PopulateDriveDlg::kEndSector), QStringLiteral("51199"));
    if (auto* combo = volumes->findChild<QComboBox*>()) {
      const int raw = combo->findText(QStringLiteral("RAW"));
      combo->setCurrentIndex(raw);
      emit combo->activated(raw);
    }
  }
  ok = ok && shoot(volumes, folder, QStringLiteral("11-custom-raw-volume"));
  if (!ok) return false;
  click(volumes->nextButton());
  auto* raw = test::gui::currentPage<ui::RawRecoveryPage>(wizard);
  if (raw) {
    const QString signatures = QStringLiteral(TESSARY_BINARY_DIR "/FileSetting.txt");
    clickIf(button(*raw, QString::fromUtf8(RawRecoveryDialog::kLoadDefault)));  // the built file, named below
    if (auto* path = raw->findChild<QLineEdit*>()) test::gui::typeInto(*path, signatures);
    click(raw->parseButton());
    waitUntil([&] { return dialogs.saw(QStringLiteral("done..")) && !raw->controller().busy(); }, 120000);
    settle();
  }
  ok = shoot(raw, folder, QStringLiteral("12-raw-page"));
  if (!ok) return false;

  // The signature editor with one signature typed, its file chosen in a scratch folder.
  QTemporaryDir scratch;
  bool shotEditor = false;
  dialogs.then([&](QWidget& dialog) {
    if (auto* editor = qobject_cast<ui::RawSettingDialog*>(&dialog)) {
      PageView& view = editor->view();
      view.setText(RawSettingDlg::kExtension, "png");
      view.setText(RawSettingDlg::kStartSignature, "0x89,0x50,0x4E,0x47");
      view.setText(RawSettingDlg::kEndSignature, "0x49,0x45,0x4E,0x44");
      view.setText(RawSettingDlg::kApproximateSize, "2000000");
      view.setText(RawSettingDlg::kCategory, "Images");
      editor->controller().onChooseFile(scratch.filePath(QStringLiteral("signatures.txt")).toStdString());
      settle();
      shotEditor = shoot(editor, folder, QStringLiteral("13-signature-editor"));
    }
    if (auto* plain = qobject_cast<QDialog*>(&dialog)) plain->reject();
  });
  click(raw->settingButton());
  waitUntil([&] { return !dialogs.pending(); });
  settle();
  return shotEditor;
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
  bool ok = mainRoad(image, folder);
  ok = advancedInput(image, folder) && ok;
  ok = rawRoad(image, folder) && ok;
  return ok ? 0 : 1;
}
