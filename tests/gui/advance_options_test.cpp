// The advanced-input page in the wizard: reached through Advanced on a FAT32 volume, its lists filled by
// the entry worker, Next enabled only once that worker has ended, and the results page run in mode 2 on
// the page's own parser.
#include <QComboBox>
#include <QTest>

#include "support/gui_driver.h"
#include "ui/advance_options_page.h"
#include "ui/recovery_mode_page.h"
#include "ui/results_page.h"
#include "ui/wizard.h"

using namespace tessary;
using namespace tessary::test::gui;

class AdvanceOptionsTest : public QObject {
  Q_OBJECT

  // Walks the sample image to the advanced-input page of volume `volume` through Advanced, and waits for
  // the page's entry worker; none when a step fails.
  static ui::AdvanceOptionsPage* advancedInputPage(ui::Wizard& wizard, WizardWalk& walk, const QString& volume) {
    if (!walk.imagePage(sampleImage()) || !walk.scanModePage() || !walk.volumeListPage()) return nullptr;
    ui::RecoveryModePage* modes = walk.recoveryModePage(volume);
    QAbstractButton* advanced = modes ? button(*modes, QStringLiteral("Advanced")) : nullptr;
    if (!advanced || advanced->isHidden()) return nullptr;
    click(*advanced);
    click(modes->nextButton());
    auto* page = currentPage<ui::AdvanceOptionsPage>(wizard);
    if (!page || !waitUntil([&] { return !page->controller().workerRunning(); }, 120000)) return nullptr;
    settle();
    return page;
  }

 private slots:
  void fat32VolumeIsParsedThroughTheAdvancedInputPage() {
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    auto* page = advancedInputPage(wizard, walk, QStringLiteral("1"));
    QVERIFY(page);
    QVERIFY(page->nextButton().isEnabled());
    QVERIFY(dialogs.saw(QStringLiteral("Number of FAT32-ENTRY found = 2 . Please select the choice from combo box and "
                                       "click Parse button to proceed.")));
    auto* candidates = page->findChildren<QComboBox*>().value(0);
    QVERIFY(candidates);
    QCOMPARE(candidates->itemText(0), QStringLiteral("FAT32_ENTRY:0"));
    click(page->nextButton());
    auto* results = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(results);
    QVERIFY(waitUntil([&] { return !results->controller().running(); }, 120000));
    settle();
    QVERIFY(dialogs.saw(QStringLiteral("Scanning process completed...")));
    QCOMPARE(results->controller().parser(), page->controller().parser());
    // Parse belongs to NTFS: FAT32's results page does not offer it.
    QAbstractButton* parse = button(*results, QStringLiteral("Parse"));
    QVERIFY(parse && !parse->isVisible());
    // Back leaves the advanced-input page as it was, its parser still its own.
    click(results->backButton());
    settle();
    QCOMPARE(currentPage<ui::AdvanceOptionsPage>(wizard), page);
  }

  void ntfsResultsPageParsesAgainFromAnotherChoice() {
    ui::Wizard wizard;
    DialogAnswerer dialogs;
    WizardWalk walk(wizard, dialogs);
    auto* page = advancedInputPage(wizard, walk, QStringLiteral("0"));
    QVERIFY(page);
    click(page->nextButton());
    auto* results = currentPage<ui::ResultsPage>(wizard);
    QVERIFY(results);
    QVERIFY(waitUntil([&] { return !results->controller().running(); }, 120000));
    settle();
    QAbstractButton* parse = button(*results, QStringLiteral("Parse"));
    QVERIFY(parse && parse->isVisible());
    auto combos = results->findChildren<QComboBox*>();
    QVERIFY(combos.size() >= 2);
    QCOMPARE(combos[0]->itemText(0), QStringLiteral("MFT_ENTRY:0"));
    QCOMPARE(combos[1]->count(), 6);
    const int before = results->treeModel().rowCount(results->treeModel().index(0, 0));
    QVERIFY(before > 0);
    combos[1]->setCurrentIndex(1);  // "4"
    click(*parse);
    QVERIFY(waitUntil([&] { return !results->controller().running(); }, 120000));
    settle();
    QVERIFY(results->controller().tree().childItem(kTreeRoot) != kNoItem);
    combos[1]->setCurrentIndex(0);
    click(*parse);
    QVERIFY(waitUntil([&] { return !results->controller().running(); }, 120000));
    settle();
    QCOMPARE(results->treeModel().rowCount(results->treeModel().index(0, 0)), before);
    QCOMPARE(results->treeModel().rowCount(), 1);
  }
};

QTEST_MAIN(AdvanceOptionsTest)
#include "advance_options_test.moc"
