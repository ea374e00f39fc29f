// The GUI's page sink and view binding: what workers report reaches the widgets on the UI thread, a
// worker gets the user's answer to its question, and a page that goes away never leaves a worker stuck.
#include <atomic>
#include <thread>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QWidget>

#include "platform/page_sink.h"
#include "support/gui_driver.h"
#include "ui/gui_sink.h"
#include "ui/view_binding.h"

using namespace tessary;
using tessary::test::gui::DialogAnswerer;
using tessary::test::gui::waitUntil;

class SinkTest : public QObject {
  Q_OBJECT

 private slots:
  void workerGetsTheAnswerTheUserGave() {
    QWidget page;
    ui::GuiSink sink(page);
    DialogAnswerer dialogs;
    dialogs.answerYes();
    dialogs.answerNo();
    std::atomic<int> answers{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      if (sink.askYesNo("first?")) answers += 1;
      if (sink.askYesNo("second?")) answers += 10;
      done = true;
    });
    QVERIFY(waitUntil([&] { return done.load(); }));
    worker.join();
    QCOMPARE(answers.load(), 1);
    QCOMPARE(dialogs.met().size(), std::size_t{2});
    QCOMPARE(dialogs.met()[0].title, QString::fromUtf8(kApplicationTitle));
    QCOMPARE(dialogs.met()[0].text, QStringLiteral("first?"));
    QVERIFY(dialogs.met()[0].question);
  }

  void workerMessageIsShownWithTheApplicationTitleBeforeTheWorkerGoesOn() {
    QWidget page;
    ui::GuiSink sink(page);
    DialogAnswerer dialogs;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      sink.showMessage("Scanning process completed.");
      returned = true;
    });
    QVERIFY(waitUntil([&] { return returned.load(); }));
    worker.join();
    QCOMPARE(dialogs.met().size(), std::size_t{1});
    QCOMPARE(dialogs.met()[0].title, QString::fromUtf8(kApplicationTitle));
    QCOMPARE(dialogs.met()[0].text, QStringLiteral("Scanning process completed."));
    QVERIFY(!dialogs.met()[0].question);
  }

  void statusSizeLineAndProgressFromAWorkerReachTheirWidgets() {
    QWidget page;
    QLabel status;
    QLabel size;
    QProgressBar bar;
    ui::GuiSink sink(page);
    sink.setStatusLabel(&status);
    sink.setSizeLabel(&size);
    sink.setProgressBar(&bar);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      sink.setStatus("saving File  /out/a.txt");
      sink.setSizeLine("File size: 5 Bytes");
      sink.progressRange(0, 40);
      sink.progressPosition(25);
      done = true;
    });
    QVERIFY(waitUntil([&] { return done.load(); }));
    worker.join();
    QCOMPARE(status.text(), QStringLiteral("saving File  /out/a.txt"));
    QCOMPARE(size.text(), QStringLiteral("File size: 5 Bytes"));
    QCOMPARE(bar.maximum(), 40);
    QCOMPARE(bar.value(), 25);
  }

  void progressBeyondTheBarsRangeIsClampedNotWrapped() {
    QWidget page;
    QProgressBar bar;
    ui::GuiSink sink(page);
    sink.setProgressBar(&bar);
    sink.progressRange(0, std::int64_t{1} << 40);
    QCOMPARE(bar.minimum(), 0);
    QCOMPARE(bar.maximum(), std::numeric_limits<int>::max());
    sink.progressRange(-(std::int64_t{1} << 40), 10);
    QCOMPARE(bar.minimum(), std::numeric_limits<int>::min());
  }

  void detachReleasesAWorkerWaitingForAnAnswerAndCountsItAsNo() {
    QWidget page;
    ui::GuiSink sink(page);
    std::atomic<int> answer{-1};
    // Nobody answers: the UI thread does not run its event loop while the worker waits.
    std::thread worker([&] { answer = sink.askYesNo("Are you sure to stop the running process?") ? 1 : 0; });
    QTest::qSleep(50);
    sink.detach();
    worker.join();
    QCOMPARE(answer.load(), 0);
    // The question that was queued for the UI thread is dropped, not shown to the user afterwards.
    DialogAnswerer dialogs;
    test::gui::settle();
    QCOMPARE(dialogs.met().size(), std::size_t{0});
  }

  void callsAfterDetachAreDroppedWithoutWaiting() {
    QWidget page;
    QLabel status;
    ui::GuiSink sink(page);
    sink.setStatusLabel(&status);
    sink.detach();
    std::thread worker([&] {
      sink.setStatus("late");
      sink.showMessage("late");
    });
    worker.join();
    test::gui::settle();
    QCOMPARE(status.text(), QString());
  }

  void bindingMirrorsWorkerChangesOnTheUiThreadAndUserInputIntoTheView() {
    PageView view;
    ui::ViewBinding binding(view);
    QLineEdit field;
    QCheckBox box(QStringLiteral("box"));
    box.setCheckable(true);
    QComboBox combo;
    QLabel label;
    binding.bindField("field", field);
    binding.bindButton("box", box);
    binding.bindCombo("combo", combo);
    binding.bindLabel("label", label);

    std::thread worker([&] {
      view.setText("field", "2048");
      view.setEnabled("field", false);
      view.setChecked("box", true);
      view.setItems("combo", {"EXTX", "NTFS"});
      view.setSelection("combo", 1);
      view.setShown("label", false);
      view.setText("label", "Finished Scanning.");
    });
    worker.join();
    QVERIFY(waitUntil([&] { return label.text() == QStringLiteral("Finished Scanning."); }));
    QCOMPARE(field.text(), QStringLiteral("2048"));
    QVERIFY(!field.isEnabled());
    QVERIFY(box.isChecked());
    QCOMPARE(combo.count(), 2);
    QCOMPARE(combo.currentText(), QStringLiteral("NTFS"));
    QVERIFY(label.isHidden());

    // What the user types or ticks is what the controller reads next.
    field.setEnabled(true);
    field.show();
    QVERIFY(QTest::qWaitForWindowExposed(&field));
    QTest::keyClicks(&field, QStringLiteral("1"));
    QCOMPARE(view.text("field"), std::string("20481"));
    box.show();
    QTest::mouseClick(&box, Qt::LeftButton);
    QVERIFY(!view.checked("box"));
  }

  void readOnlyFieldStaysReadableWhenTheControllerDisablesIt() {
    PageView view;
    ui::ViewBinding binding(view);
    QLineEdit path;
    binding.bindField("path", path, true);
    view.setEnabled("path", false);
    QVERIFY(path.isEnabled());
    QVERIFY(path.isReadOnly());
  }
};

QTEST_MAIN(SinkTest)
#include "sink_test.moc"
