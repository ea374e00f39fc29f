// The wizard with the mouse: the image page and its file dialog, the page sequence with Back restoring
// each page as it was left, the modes offered, the results page's tree, list and Save, Exit and Help.
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>

#include "fs/registry.h"
#include "disk/vhdx_reader.h"
#include "support/fixtures.h"
#include "support/gui_driver.h"
#include "support/made_up_file_system.h"
#include "support/memory_parser.h"
#include "ui/check_tree_model.h"
#include "ui/check_tree_view.h"
#include "ui/image_page.h"
#include "ui/raw_recovery_page.h"
#include "ui/raw_setting_dialog.h"
#include "ui/recovery_mode_page.h"
#include "ui/results_page.h"
#include "ui/scan_mode_page.h"
#include "ui/volume_list_page.h"
#include "ui/wizard.h"

using namespace tessary;
using namespace tessary::test::gui;

namespace {

// The field a label names (its buddy); a missing one fails the test instead of crashing it.
QLineEdit& fieldAfter(QWidget& page, const QString& labelText) {
  for (QLabel* label : page.findChildren<QLabel*>())
    if (auto* field = label->text() == labelText ? qobject_cast<QLineEdit*>(label->buddy()) : nullptr) return *field;
  QTest::qFail(qPrintable(QStringLiteral("no field labelled %1").arg(labelText)), __FILE__, __LINE__);
  static QLineEdit none;
  return none;
}

QString fileText(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("<missing %1>").arg(path);
  return QString::fromUtf8(file.readAll());
}

QModelIndex childNamed(ui::CheckTreeModel& model, const QModelIndex& parent, const QString& name) {
  for (int row = 0; row < model.rowCount(parent); ++row)
    if (model.index(row, 0, parent).data().toString() == name) return model.index(row, 0, parent);
  return {};
}

// The results page over an in-memory volume:
//   ROOT / docs (a.txt, b.txt, deep (c.txt)), gone.txt (deleted)
struct MemoryVolume {
  MemoryVolume() {
    docs = parser.add(1, "docs", true);
    parser.add(docs, "a.txt", false, "alpha");
    parser.add(docs, "b.txt", false, "bravo");
    const auto deep = parser.add(docs, "deep", true);
    parser.add(deep, "c.txt", false, "charlie");
    parser.add(1, "gone.txt", false, "lost", true);
  }
  test::MemoryParser parser;
  std::int64_t docs = 0;
};

}  // namespace

class WizardTest : public QObject {
  Q_OBJECT

 private:
  bool haveSample() const { return test::haveFixture("sample.vhdx"); }

  void prepareMemoryVolume(ui::Wizard& wizard) {
    wizard.state().selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    wizard.state().diskReader = std::make_unique<FileReadSeekVHDX>(wizard.state().disk);
  }

 private slots:
  void imagePageOffersTheVhdxFilterAndShowsTheImagesValues() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    QStringList filters;
    dialogs.then([&](QWidget& dialog) {
      auto* files = qobject_cast<QFileDialog*>(&dialog);
      QVERIFY(files);
      filters = files->nameFilters();
      files->selectFile(sampleImage());
      static_cast<QDialog*>(files)->accept();
    });
    wizard.start();
    auto* page = currentPage<ui::ImagePage>(wizard);
    QVERIFY(page);
    QCOMPARE(page->windowTitle(), QString::fromUtf8(kApplicationTitle));
    QVERIFY(!page->nextButton().isEnabled());
    QVERIFY(page->findChild<QGroupBox*>()->isHidden());
    click(*button(*page, QStringLiteral("...")));
    QCOMPARE(filters.size(), 4);
    QVERIFY(filters.at(0).startsWith(QStringLiteral("Disk images (*.vhdx ")));
    QCOMPARE(filters.at(1), QStringLiteral(".VHDX Files (*.vhdx)"));
    QCOMPARE(filters.at(2), QStringLiteral("VHD, VDI and VMDK Files (*.vhd *.vdi *.vmdk)"));
    QCOMPARE(filters.at(3), QStringLiteral("All files (*)"));
    QCOMPARE(dialogs.met().at(0).title, QString::fromUtf8(kApplicationTitle));
    QVERIFY(page->nextButton().isEnabled());
    QVERIFY(!page->findChild<QGroupBox*>()->isHidden());
    QCOMPARE(fieldAfter(*page, QStringLiteral("Size of HDD:")).text(), QStringLiteral("64"));
    QCOMPARE(fieldAfter(*page, QStringLiteral("Sector Per Track:")).text(), QStringLiteral("8388608"));
    QCOMPARE(fieldAfter(*page, QStringLiteral("Head:")).text(), QStringLiteral("512"));
    QVERIFY(fieldAfter(*page, QStringLiteral("Size of HDD:")).isEnabled());
  }

  void imagePageRefusesAFileThatIsNotVhdx() {
    // Named as a VHDX, holding no header of any format: refused, with the way to read it as a flat image.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("disk.vhdx"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not an image");
    file.close();
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    ui::ImagePage* page = walk.imagePage(path);
    QVERIFY(page);
    QVERIFY(dialogs.saw(QStringLiteral("The file holds no VHDX, VHD, VDI, VMDK or qcow2 header. If it is a flat disk "
                                       "image, give it another name (such as one ending in .img) to read it as one.")));
    QVERIFY(!page->nextButton().isEnabled());
  }

  void imagePageNextWithTheSizeClearedSaysSoAndStays() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    ui::ImagePage* page = walk.imagePage(sampleImage());
    QVERIFY(page);
    typeInto(fieldAfter(*page, QStringLiteral("Size of HDD:")), QString());
    click(page->nextButton());
    QVERIFY(dialogs.saw(QStringLiteral("Please enter Hard disk Size to process the recovery.")));
    QCOMPARE(wizard.pageCount(), std::size_t{1});
    QVERIFY(page->isVisible());
  }

  void typedSizeBecomesTheReadersOverrideOnTheScanModePage() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    ui::ImagePage* image = walk.imagePage(sampleImage());
    QVERIFY(image);
    typeInto(fieldAfter(*image, QStringLiteral("Size of HDD:")), QStringLiteral("2048"));
    ui::ScanModePage* scan = walk.scanModePage();
    QVERIFY(scan);
    QCOMPARE(wizard.state().disk.userDiskSize, std::uint64_t{2147483648});
    QVERIFY(image->isHidden());
    QVERIFY(scan->isVisible());
  }

  void backAtEachStepShowsThePageAsItWasLeft() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()));
    ui::ScanModePage* scan = walk.scanModePage();
    QVERIFY(scan);
    // "Do not Skip ..." ticked while the advanced scan was chosen, then back to the standard scan.
    click(*button(*scan, QStringLiteral("Advance Scan")));
    QAbstractButton* doNotSkip = button(*scan, QString::fromUtf8(DriveParsingModes::kDoNotSkip));
    QVERIFY(doNotSkip->isEnabled());
    click(*doNotSkip);
    click(*button(*scan, QStringLiteral("Standard Scan")));
    QVERIFY(!doNotSkip->isEnabled());
    QVERIFY(doNotSkip->isChecked());
    // "Save Image" is usable only while "Save Disk Image" is ticked.
    QAbstractButton* saveDiskImage = button(*scan, QStringLiteral("Save Disk Image"));
    QVERIFY(saveDiskImage && !saveDiskImage->isChecked());
    QVERIFY(!button(*scan, QStringLiteral("Save Image"))->isEnabled());
    QVERIFY(button(*scan, QStringLiteral("Stop"))->isHidden());
    click(*saveDiskImage);
    QVERIFY(button(*scan, QStringLiteral("Save Image"))->isEnabled());
    click(*saveDiskImage);
    QVERIFY(!button(*scan, QStringLiteral("Save Image"))->isEnabled());

    QPointer<ui::VolumeListPage> list = walk.volumeListPage();
    QVERIFY(list);
    QCOMPARE(list->table().model()->rowCount(), 2);
    QCOMPARE(list->table().model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("FILE_SYSTEM"));
    QCOMPARE(list->table().model()->index(0, 1).data().toString(), QStringLiteral("NTFS"));
    QVERIFY(button(*list, QStringLiteral("Stop"))->isHidden());
    QVERIFY(button(*list, QStringLiteral("Add Custom Volume"))->isHidden());
    click(list->backButton());
    QVERIFY(waitUntil([&] { return list.isNull(); }));
    QCOMPARE(currentPage<ui::ScanModePage>(wizard), scan);
    QVERIFY(scan->isVisible());
    QVERIFY(button(*scan, QStringLiteral("Standard Scan"))->isChecked());
    QVERIFY(doNotSkip->isChecked());

    // Forward again: a fresh page and a fresh scan.
    list = walk.volumeListPage();
    QVERIFY(list);
    ui::RecoveryModePage* modes = walk.recoveryModePage(QStringLiteral("0"));
    QVERIFY(modes);
    QVERIFY(list->isHidden());
    QCOMPARE(wizard.state().selectedVolume->startSector, std::int64_t{2048});
    QPointer<ui::RecoveryModePage> leaving = modes;
    click(modes->backButton());
    QVERIFY(waitUntil([&] { return leaving.isNull(); }));
    QCOMPARE(currentPage<ui::VolumeListPage>(wizard), list.data());
    QCOMPARE(list->table().currentIndex().row(), 0);
    QCOMPARE(fieldAfter(*list, QStringLiteral("Start Sector:")).text(), QStringLiteral("2048"));
    QCOMPARE(list->view().text(PopulateDriveDlg::kSelectedVolume), std::string("0"));
  }

  void advancedScanReportsFromItsWorkerWhileThePageStaysUsable() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()));
    ui::ScanModePage* scan = walk.scanModePage();
    QVERIFY(scan);
    click(*button(*scan, QStringLiteral("Advance Scan")));
    ui::VolumeListPage* list = walk.volumeListPage();
    QVERIFY(list);
    QVERIFY(waitUntil([&] { return dialogs.saw(QStringLiteral("populated partitions....")); }));
    settle();
    QVERIFY(list->table().model()->rowCount() >= 2);
    QCOMPARE(list->table().model()->index(0, 3).data().toString(), QStringLiteral("2048"));
    QVERIFY(button(*list, QStringLiteral("Stop"))->isHidden());
    QVERIFY(list->backButton().isEnabled());
    QAbstractButton* addCustom = button(*list, QStringLiteral("Add Custom Volume"));
    QVERIFY(!addCustom->isHidden());

    // A custom volume, its start stepped with the arrows.
    click(*addCustom);
    QVERIFY(button(*list, QString::fromUtf8(PopulateDriveDlg::kCustomSettings))->isChecked());
    QLineEdit& start = fieldAfter(*list, QStringLiteral("Start Sector:"));
    QVERIFY(start.isEnabled());
    QCOMPARE(start.text(), QStringLiteral("0"));
    const auto arrows = list->findChildren<QToolButton*>();
    QAbstractButton* up = nullptr;
    QAbstractButton* down = nullptr;
    for (QToolButton* arrow : arrows) {
      if (arrow->arrowType() == Qt::UpArrow && !up) up = arrow;
      if (arrow->arrowType() == Qt::DownArrow && !down) down = arrow;
    }
    QVERIFY(up && down);
    click(*down);
    QCOMPARE(start.text(), QStringLiteral("0"));  // never below 0
    click(*up);
    click(*up);
    click(*down);
    QCOMPARE(start.text(), QStringLiteral("1"));
    QCOMPARE(list->table().model()->index(0, 1).data().toString(), QStringLiteral("CUSTOM "));
  }

  void rawOnTheVolumeListLeadsToTheRawPageWhichCarvesTheVolume() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    const QString signatures = QStringLiteral(TESSARY_BINARY_DIR "/FileSetting.txt");
    if (!QFile::exists(signatures)) QSKIP("FileSetting.txt not built");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()) && walk.scanModePage());
    QPointer<ui::VolumeListPage> list = walk.volumeListPage();
    QVERIFY(list);
    const auto items = list->view().items(PopulateDriveDlg::kTreatAs);
    QVERIFY(std::find(items.begin(), items.end(), std::string("RAW")) != items.end());
    QCOMPARE(items.size(), std::size_t{7});
    // The first row, its custom settings ticked and treated as RAW.
    QTableView& table = list->table();
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, table.visualRect(table.model()->index(0, 1)).center());
    settle();
    click(*button(*list, QString::fromUtf8(PopulateDriveDlg::kCustomSettings)));
    auto* combo = list->findChild<QComboBox*>();
    QVERIFY(combo);
    const int rawEntry = combo->findText(QStringLiteral("RAW"));
    combo->setCurrentIndex(rawEntry);
    emit combo->activated(rawEntry);
    click(list->nextButton());
    auto* raw = currentPage<ui::RawRecoveryPage>(wizard);
    QVERIFY(raw);
    QCOMPARE(wizard.state().selectedVolume->fileSystem, std::string("RAW"));
    QVERIFY(button(*raw, QString::fromUtf8(RawRecoveryDialog::kLoadDefault))->isChecked());
    QVERIFY(button(*raw, QStringLiteral("Stop"))->isHidden());

    // The built default file, named in the path box; the default box unticked.
    click(*button(*raw, QString::fromUtf8(RawRecoveryDialog::kLoadDefault)));
    typeInto(*raw->findChild<QLineEdit*>(), signatures);
    click(raw->parseButton());
    QVERIFY(waitUntil([&] { return dialogs.saw(QStringLiteral("done..")); }));
    QVERIFY(waitUntil([&] { return !raw->controller().busy(); }));
    settle();
    QVERIFY(!raw->parseButton().isEnabled());
    QVERIFY(raw->settingButton().isEnabled());
    const QModelIndex root = raw->treeModel().index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("RAW RECOVERY "));
    QVERIFY(raw->treeModel().rowCount(root) >= 5);  // one node per category of the default file

    // Back shows the volume list again.
    QPointer<ui::RawRecoveryPage> leaving = raw;
    click(raw->backButton());
    QVERIFY(waitUntil([&] { return leaving.isNull(); }));
    QCOMPARE(currentPage<ui::VolumeListPage>(wizard), list.data());
  }

  void aDiskWithoutVolumesReachesTheRawPageThroughACustomVolume() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()));
    ui::ScanModePage* scan = walk.scanModePage();
    QVERIFY(scan);
    // An advanced scan of sectors that hold no boot record finds no volume at all.
    click(*button(*scan, QStringLiteral("Advance Scan")));
    click(*button(*scan, QString::fromUtf8(DriveParsingModes::kCustomSetting)));
    typeInto(fieldAfter(*scan, QString::fromUtf8(DriveParsingModes::kStartingSector)), QStringLiteral("20000"));
    typeInto(fieldAfter(*scan, QString::fromUtf8(DriveParsingModes::kEndingSector)), QStringLiteral("20100"));
    ui::VolumeListPage* list = walk.volumeListPage();
    QVERIFY(list);
    QVERIFY(waitUntil([&] { return dialogs.saw(QStringLiteral("populated partitions....")); }));
    settle();
    QCOMPARE(list->table().model()->rowCount(), 0);
    QVERIFY(!list->nextButton().isEnabled());

    click(*button(*list, QStringLiteral("Add Custom Volume")));
    settle();
    QVERIFY(list->nextButton().isEnabled());
    typeInto(fieldAfter(*list, QStringLiteral("Start Sector:")), QStringLiteral("2048"));
    typeInto(fieldAfter(*list, QStringLiteral("End Sector :")), QStringLiteral("6143"));
    auto* combo = list->findChild<QComboBox*>();
    QVERIFY(combo);
    const int rawEntry = combo->findText(QStringLiteral("RAW"));
    combo->setCurrentIndex(rawEntry);
    emit combo->activated(rawEntry);
    // Clicking the row, as users do before Next, keeps what was typed.
    QTableView& table = list->table();
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, table.visualRect(table.model()->index(0, 1)).center());
    settle();
    QCOMPARE(fieldAfter(*list, QStringLiteral("End Sector :")).text(), QStringLiteral("6143"));
    click(list->nextButton());
    auto* raw = currentPage<ui::RawRecoveryPage>(wizard);
    QVERIFY(raw);
    QCOMPARE(wizard.state().selectedVolume->fileSystem, std::string("RAW"));
    QCOMPARE(wizard.state().selectedVolume->startSector, std::int64_t{2048});
    QCOMPARE(wizard.state().selectedVolume->volumeSizeText, std::string("2"));
  }

  void filterEntriesCanBeUndone() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()) && walk.scanModePage());
    ui::VolumeListPage* list = walk.volumeListPage();
    QVERIFY(list);
    QCOMPARE(list->table().model()->rowCount(), 2);
    QAbstractButton* showAll = button(*list, QString::fromUtf8(PopulateDriveDlg::kShowAllEntries));
    QVERIFY(showAll && !showAll->isEnabled());
    click(*button(*list, QStringLiteral("Filter Entries")));
    settle();
    QCOMPARE(list->table().model()->rowCount(), 0);
    QVERIFY(showAll->isEnabled());
    click(*showAll);
    settle();
    QCOMPARE(list->table().model()->rowCount(), 2);
    QCOMPARE(list->table().model()->index(0, 1).data().toString(), QStringLiteral("NTFS"));
  }

  void signatureEditorHelpAndSaveWithoutAFile() {
    ui::RawSettingDialog dialog(nullptr);
    DialogAnswerer dialogs;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Setting"));
    QCOMPARE(dialog.findChildren<QToolButton*>().size(), qsizetype{11});
    QVERIFY(button(dialog, QStringLiteral("Size includes header size")));
    click(*dialog.findChildren<QToolButton*>().at(2));
    QVERIFY(waitUntil([&] { return dialogs.saw(QString::fromUtf8(RawSettingDlg::kFields[2].help)); }));
    click(dialog.saveButton());
    QVERIFY(waitUntil([&] { return dialogs.saw(QStringLiteral("Select valid file to save the entries.")); }));
  }

  void recoveryModePageOffersOnlyTheModesThisBuildRuns() {
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    wizard.state().selectedVolume = VolumeEntry{"ntfs", "", "0", "23   MB", 2048};
    wizard.openPage(std::make_unique<ui::RecoveryModePage>(wizard));
    auto* page = currentPage<ui::RecoveryModePage>(wizard);
    QVERIFY(page);
    QVERIFY(button(*page, QStringLiteral("Standard"))->isChecked());
    QCOMPARE(!button(*page, QStringLiteral("Advanced"))->isHidden(), modeBuilt("ntfs", 2));
    QCOMPARE(!button(*page, QStringLiteral("Deep"))->isHidden(), modeBuilt("ntfs", 3));
    QVERIFY(button(*page, QString::fromUtf8(ParceModeNtfsDlg::kFormatted))->isHidden());

    wizard.state().selectedVolume = VolumeEntry{"extX", "", "1", "10   MB", 4096};
    wizard.openPage(std::make_unique<ui::RecoveryModePage>(wizard));
    page = currentPage<ui::RecoveryModePage>(wizard);
    QVERIFY(button(*page, QStringLiteral("Deep"))->isHidden());
    QVERIFY(button(*page, QStringLiteral("Advanced"))->isHidden());
  }

  // A file system made up in the tests joins with its registry row alone: the volume list names it and
  // offers it to treat a volume as, the recovery-mode page offers its one mode, and its parser fills the tree.
  void aMadeUpFileSystemIsListedOfferedAndParsed() {
    const AddedFileSystem added(test::madeUpFileSystemRow());
    QTemporaryDir dir;
    const QString image = dir.path() + QStringLiteral("/disk.vhdx");
    test::writeMadeUpDisk(image.toStdString());
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(image) && walk.scanModePage());
    ui::VolumeListPage* list = walk.volumeListPage();
    QVERIFY(list);
    QCOMPARE(list->table().model()->index(0, 1).data().toString(), QStringLiteral("TESTFS"));
    auto* treatAs = list->findChild<QComboBox*>();
    QVERIFY(treatAs);
    QVERIFY(treatAs->findText(QStringLiteral("TESTFS")) >= 0);

    ui::RecoveryModePage* modes = walk.recoveryModePage(QStringLiteral("0"));
    QVERIFY(modes);
    QVERIFY(button(*modes, QStringLiteral("Standard"))->isChecked());
    QVERIFY(button(*modes, QStringLiteral("Advanced"))->isHidden());
    QVERIFY(button(*modes, QStringLiteral("Deep"))->isHidden());
    ui::ResultsPage* page = walk.resultsPage();
    QVERIFY(page);
    ui::CheckTreeModel& model = page->treeModel();
    QVERIFY(childNamed(model, model.index(0, 0), QStringLiteral("hello.txt")).isValid());
  }

  void resultsPageOpensTicksAndSavesAFolderWithTheMouse() {
    MemoryVolume volume;
    QTemporaryDir out;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    prepareMemoryVolume(wizard);
    wizard.openPage(std::make_unique<ui::ResultsPage>(wizard, 1, &volume.parser));
    auto* page = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(page);
    // Checked on every change from here on, the parse worker's included.
    QAbstractItemModelTester tester(&page->treeModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    QVERIFY(dialogs.saw(QStringLiteral("Scanning process completed.")));
    for (const char* caption : {"pause", "Resume", "Stop"}) QVERIFY(button(*page, QString::fromUtf8(caption))->isHidden());
    QVERIFY(page->backButton().isEnabled());
    QVERIFY(button(*page, QStringLiteral("Search")) != nullptr);

    ui::CheckTreeModel& model = page->treeModel();
    const QModelIndex root = model.index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("ROOT"));
    QVERIFY(page->treeView().isExpanded(root));
    const QModelIndex gone = childNamed(model, root, QStringLiteral("gone.txt"));
    QCOMPARE(gone.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));

    // Nothing ticked: Save says so and never shows the folder browser.
    clickTreeCheckBox(page->treeView(), root);
    QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    dialogs.clear();
    click(*button(*page, QStringLiteral("Save")));
    QCOMPARE(dialogs.texts(), std::vector<QString>{QStringLiteral("Please select File or Folder to save")});

    // Open docs, list it, tick it.
    QModelIndex docs = childNamed(model, root, QStringLiteral("docs"));
    QVERIFY(model.hasChildren(docs));
    page->treeView().expand(docs);
    settle();
    docs = childNamed(model, root, QStringLiteral("docs"));
    QCOMPARE(model.rowCount(docs), 3);
    clickTreeLabel(page->treeView(), docs);
    QCOMPARE(page->listModel().rowCount(), 2);
    QCOMPARE(page->listModel().headerData(0, Qt::Horizontal).toString(), QStringLiteral("FILES LIST "));
    QCOMPARE(page->listModel().headerData(3, Qt::Horizontal).toString(), QStringLiteral("MODIFICATION TIME "));
    QCOMPARE(page->listModel().index(1, 0).data().toString(), QStringLiteral("b.txt"));
    clickTreeCheckBox(page->treeView(), docs);
    QCOMPARE(docs.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));

    dialogs.clear();
    dialogs.pickFile(out.path());
    click(*button(*page, QStringLiteral("Save")));
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    QVERIFY(dialogs.saw(QStringLiteral("Saving process completed done.....")));
    QCOMPARE(page->view().text(VolumeScanDlg::kOutputFolder), out.path().toStdString());
    QCOMPARE(fileText(out.filePath(QStringLiteral("docs/a.txt"))), QStringLiteral("alpha"));
    QCOMPARE(fileText(out.filePath(QStringLiteral("docs/b.txt"))), QStringLiteral("bravo"));
    QCOMPARE(fileText(out.filePath(QStringLiteral("docs/deep/c.txt"))), QStringLiteral("charlie"));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("gone.txt"))));
    QVERIFY(page->treeView().isEnabled());
  }

  void resultsPageShowsEveryColumnMarksDeletedEntriesAndDumpsOnDoubleClick() {
    MemoryVolume volume;
    QTemporaryDir out;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    prepareMemoryVolume(wizard);
    wizard.openPage(std::make_unique<ui::ResultsPage>(wizard, 1, &volume.parser));
    auto* page = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    ui::CheckTreeModel& model = page->treeModel();
    const QModelIndex root = model.index(0, 0);
    QModelIndex docs = childNamed(model, root, QStringLiteral("docs"));
    page->treeView().expand(docs);
    settle();
    docs = childNamed(model, root, QStringLiteral("docs"));
    clickTreeLabel(page->treeView(), docs);
    settle();
    QCOMPARE(page->listModel().rowCount(), 2);
    // At the size the page opens with, the last column ends inside the list.
    QHeaderView* header = page->listView().header();
    QCOMPARE(page->listModel().headerData(5, Qt::Horizontal).toString(), QStringLiteral("ATTRIB"));
    QVERIFY2(header->sectionViewportPosition(5) + header->sectionSize(5) <= page->listView().viewport()->width(),
             qPrintable(QStringLiteral("ATTRIB ends at %1 of %2")
                            .arg(header->sectionViewportPosition(5) + header->sectionSize(5))
                            .arg(page->listView().viewport()->width())));
    // The deleted file's icon differs from a live file's of the same kind, and the legend says why.
    const QModelIndex gone = childNamed(model, root, QStringLiteral("gone.txt"));
    const QModelIndex a = childNamed(model, docs, QStringLiteral("a.txt"));
    const QImage goneIcon = gone.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage();
    const QImage liveIcon = a.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage();
    QVERIFY(goneIcon != liveIcon);
    QVERIFY(page->legend().isVisible());
    QVERIFY(page->legend().text().contains(QStringLiteral("Deleted")));

    // A double click on a row dumps its file into the output folder.
    page->view().setText(VolumeScanDlg::kOutputFolder, out.path().toStdString());
    QTreeView& list = page->listView();
    const QRect row = list.visualRect(page->listModel().index(0, 1));
    // A double click is a press and release followed by the double-click event.
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, row.center());
    settle();
    QCOMPARE(fileText(out.filePath(QStringLiteral("a.txt"))), QStringLiteral("alpha"));
    QVERIFY(dialogs.saw(QStringLiteral("file is dumped in path  :  %1/a.txt   ").arg(out.path())));
  }

  void listRowTickTicksItsTreeItem() {
    MemoryVolume volume;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    prepareMemoryVolume(wizard);
    wizard.openPage(std::make_unique<ui::ResultsPage>(wizard, 1, &volume.parser));
    auto* page = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    ui::CheckTreeModel& model = page->treeModel();
    const QModelIndex root = model.index(0, 0);
    clickTreeCheckBox(page->treeView(), root);  // clear everything
    QModelIndex docs = childNamed(model, root, QStringLiteral("docs"));
    clickTreeLabel(page->treeView(), docs);
    QCOMPARE(page->listModel().rowCount(), 2);
    page->listModel().setData(page->listModel().index(0, 0), Qt::Checked, Qt::CheckStateRole);
    settle();
    docs = childNamed(model, root, QStringLiteral("docs"));
    const QModelIndex a = childNamed(model, docs, QStringLiteral("a.txt"));
    QCOMPARE(a.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(docs.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
  }

  void searchBoxListsTheHitsWithTheirPathsAndTheirTicksLeaveTheTree() {
    MemoryVolume volume;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    prepareMemoryVolume(wizard);
    wizard.openPage(std::make_unique<ui::ResultsPage>(wizard, 1, &volume.parser));
    auto* page = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    ui::CheckTreeModel& model = page->treeModel();
    const QModelIndex root = model.index(0, 0);
    clickTreeCheckBox(page->treeView(), root);  // clear everything
    dialogs.clear();
    typeInto(page->searchBox(), QStringLiteral("A.TXT|c\\.txt|gone"));
    click(page->searchButton());
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    QVERIFY(dialogs.saw(QStringLiteral("Searching Finished")));
    QCOMPARE(page->listModel().rowCount(), 3);
    QCOMPARE(page->listModel().index(0, 0).data().toString(), QStringLiteral("ROOT\\docs\\a.txt"));
    QCOMPARE(page->listModel().index(1, 0).data().toString(), QStringLiteral("ROOT\\docs\\deep\\c.txt"));
    // The deleted hit is drawn red, as in the tree.
    QCOMPARE(page->listModel().index(2, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    page->listModel().setData(page->listModel().index(0, 0), Qt::Checked, Qt::CheckStateRole);
    settle();
    QCOMPARE(page->listModel().index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

    dialogs.clear();
    typeInto(page->searchBox(), QStringLiteral("*.txt"));
    click(page->searchButton());
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    QVERIFY(dialogs.saw(QString::fromUtf8(kPatternRefusedMessage)));
    QCOMPARE(page->listModel().rowCount(), 0);
  }

  void exitAsksAndEndsTheProcessOnlyOnYes() {
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    int ended = 0;
    wizard.endProcess = [&] { ++ended; };
    wizard.start();
    ui::PageWindow* page = wizard.currentPage();
    dialogs.answerNo();
    page->close();
    settle();
    QCOMPARE(ended, 0);
    QVERIFY(page->isVisible());
    QCOMPARE(dialogs.met().at(0).text, QStringLiteral("Do you want to Close Application ?"));
    QVERIFY(dialogs.met().at(0).question);
    QCOMPARE(dialogs.met().at(0).title, QString::fromUtf8(kApplicationTitle));
    dialogs.answerYes();
    page->close();
    settle();
    QCOMPARE(ended, 1);
  }

  void exitFromTheResultsPageStopsTheParsersFirst() {
    MemoryVolume volume;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    int ended = 0;
    wizard.endProcess = [&] { ++ended; };
    prepareMemoryVolume(wizard);
    wizard.openPage(std::make_unique<ui::ResultsPage>(wizard, 1, &volume.parser));
    auto* page = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(waitUntil([&] { return !page->controller().running(); }));
    settle();
    dialogs.answerYes();
    page->close();
    settle();
    QCOMPARE(ended, 1);
    QVERIFY(page->controller().quitRequested());
    QCOMPARE(volume.parser.stopFlag().load(), std::uint8_t{1});
  }

  void helpMenuOpensTheProjectsOwnPagesAndTheAboutBox() {
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    std::vector<QUrl> opened;
    wizard.openUrl = [&](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    wizard.start();
    ui::PageWindow* page = wizard.currentPage();
    QMenu* menu = page->helpButton().menu();
    QVERIFY(menu);
    QStringList entries;
    for (QAction* action : menu->actions()) entries << action->text();
    QCOMPARE(entries, (QStringList{QStringLiteral("Help"), QStringLiteral("Software Homepage"), QStringLiteral("About")}));
    // Help shows the guide built into the program, with its pictures, and asks no outside viewer.
    menu->actions().at(0)->trigger();
    settle();
    QVERIFY(opened.empty());
    QDialog* help = wizard.helpDialog();
    QVERIFY(help && help->isVisible());
    auto* browser = help->findChild<QTextBrowser*>();
    QVERIFY(browser);
    QVERIFY(browser->toPlainText().contains(QStringLiteral("The desktop wizard")));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Volume list page")));
    QVERIFY(QFile::exists(QStringLiteral(":/guide/gui.md")));
    QVERIFY(!browser->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("screenshots/1-image-page.png"))).isNull());
    // A second Help raises the same window.
    menu->actions().at(0)->trigger();
    QCOMPARE(wizard.helpDialog(), help);
    menu->actions().at(1)->trigger();
    QCOMPARE(opened.size(), std::size_t{1});
    QVERIFY(opened[0].toLocalFile().endsWith(QStringLiteral("README.md")));
    menu->actions().at(2)->trigger();
    settle();
    QCOMPARE(dialogs.met().size(), std::size_t{1});
    QVERIFY(dialogs.met()[0].text.contains(QStringLiteral("Version 22.0")));
    QVERIFY(dialogs.met()[0].text.contains(QStringLiteral("All rights reserved.")));
  }

  void sampleImageFolderIsRecoveredWithTheMouseAlone() {
    if (!haveSample()) QSKIP("sample.vhdx not unpacked");
    if (!modeBuilt("ntfs", 1)) QSKIP("this build has no NTFS parser");
    QTemporaryDir out;
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    QVERIFY(walk.imagePage(sampleImage()) && walk.scanModePage() && walk.volumeListPage());
    QVERIFY(walk.recoveryModePage(QStringLiteral("0")));
    ui::ResultsPage* page = walk.resultsPage();
    QVERIFY(page);
    QAbstractItemModelTester tester(&page->treeModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(dialogs.saw(QStringLiteral("Scanning process completed.")));

    ui::CheckTreeModel& model = page->treeModel();
    const QModelIndex root = model.index(0, 0);
    clickTreeCheckBox(page->treeView(), root);  // clear the whole volume
    QModelIndex documents = childNamed(model, root, QStringLiteral("Documents"));
    QVERIFY(documents.isValid());
    page->treeView().expand(documents);
    settle();
    documents = childNamed(model, root, QStringLiteral("Documents"));
    clickTreeLabel(page->treeView(), documents);
    QVERIFY(page->listModel().rowCount() >= 2);
    clickTreeCheckBox(page->treeView(), documents);
    dialogs.pickFile(out.path());
    click(*button(*page, QStringLiteral("Save")));
    QVERIFY(waitUntil([&] { return !page->controller().running(); }, 120000));
    settle();
    QVERIFY(dialogs.saw(QStringLiteral("Saving process completed done.....")));

    // Every live file below Documents, with its bytes; nothing from elsewhere on the volume.
    QFile manifestFile(QString::fromStdString(test::fixturePath("sample.json")));
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonObject manifest = QJsonDocument::fromJson(manifestFile.readAll()).object();
    const QJsonArray entries = manifest[QStringLiteral("volumes")].toArray().at(0).toObject()[QStringLiteral("entries")].toArray();
    int compared = 0;
    for (const QJsonValue& value : entries) {
      const QJsonObject entry = value.toObject();
      const QString path = entry[QStringLiteral("path")].toString();
      if (entry[QStringLiteral("folder")].toBool() || entry[QStringLiteral("deleted")].toBool()) continue;
      const QString saved = out.filePath(path);
      if (!path.startsWith(QStringLiteral("Documents/"))) {
        QVERIFY2(!QFile::exists(saved), qPrintable(path));
        continue;
      }
      QFile file(saved);
      QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
      QCOMPARE(file.size(), entry[QStringLiteral("size")].toInteger());
      QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()),
               entry[QStringLiteral("sha256")].toString());
      ++compared;
    }
    QCOMPARE(compared, 10);

    // Back from the results page: the recovery-mode page as it was left, the results page gone.
    QPointer<ui::ResultsPage> leaving = page;
    click(page->backButton());
    QVERIFY(waitUntil([&] { return leaving.isNull(); }));
    auto* modes = currentPage<ui::RecoveryModePage>(wizard);
    QVERIFY(modes && modes->isVisible());
    QVERIFY(button(*modes, QStringLiteral("Standard"))->isChecked());
    QCOMPARE(wizard.state().selectedVolume->startSector, std::int64_t{2048});
  }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
