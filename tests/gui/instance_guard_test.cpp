// The single-instance guard: a second instance is refused with the message, the lock of an instance
// that dies is free again, and programs started from the GUI never inherit the lock.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "support/gui_driver.h"
#include "ui/instance_guard.h"

using tessary::ui::InstanceGuard;

class InstanceGuardTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_runtime;

  std::string lockPath() const { return m_runtime.filePath(QStringLiteral("guard.lock")).toStdString(); }

  // The GUI itself, offscreen, with its lock in our private runtime folder.
  void startGui(QProcess& gui) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    gui.setProcessEnvironment(env);
    gui.start(QStringLiteral(TESSARY_GUI_BINARY), {});
    QVERIFY(gui.waitForStarted());
  }

  static bool locked(const std::string& path) { return InstanceGuard(path).otherInstanceRunning(); }

 private slots:
  void initTestCase() {
    QVERIFY(m_runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
  }

  void secondGuardIsRefusedUntilTheFirstEnds() {
    {
      InstanceGuard first(lockPath());
      QVERIFY(!first.otherInstanceRunning());
      InstanceGuard second(lockPath());
      QVERIFY(second.otherInstanceRunning());
    }
    InstanceGuard again(lockPath());
    QVERIFY(!again.otherInstanceRunning());
  }

  void lockSitsInTheUsersRuntimeFolderUnderTheMutexsName() {
    const std::string path = InstanceGuard::defaultLockPath();
    QCOMPARE(QString::fromStdString(path),
             m_runtime.filePath(QStringLiteral("BRELLOWTESSARY.0_EXE_RUNNING1.lock")));
  }

  void lockFileThatCannotBeMadeGuardsNothing() {
    InstanceGuard guard(m_runtime.filePath(QStringLiteral("missing/folder/guard.lock")).toStdString());
    QVERIFY(!guard.otherInstanceRunning());
  }

  void programStartedWhileTheLockIsHeldDoesNotKeepIt() {
    QProcess child;
    {
      InstanceGuard guard(lockPath());
      QVERIFY(!guard.otherInstanceRunning());
      child.start(QStringLiteral("sleep"), {QStringLiteral("5")});
      QVERIFY(child.waitForStarted());
    }
    // The child still runs; had it inherited the descriptor, the lock would still be held.
    QVERIFY(!locked(lockPath()));
    child.kill();
    child.waitForFinished();
  }

  void secondGuiInstanceSaysSoAndTheFirstKeepsRunning() {
    QProcess first;
    startGui(first);
    const std::string path = InstanceGuard::defaultLockPath();
    QVERIFY(tessary::test::gui::waitUntil([&] { return locked(path); }));
    QProcess second;
    startGui(second);
    QByteArray said;
    QVERIFY(tessary::test::gui::waitUntil([&] {
      second.waitForReadyRead(50);
      said += second.readAllStandardError();
      return said.contains(InstanceGuard::kMessage);
    }));
    QCOMPARE(first.state(), QProcess::Running);
    second.kill();
    second.waitForFinished();
    first.kill();
    first.waitForFinished();
  }

  void killedInstanceLeavesTheLockFree() {
    QProcess gui;
    startGui(gui);
    const std::string path = InstanceGuard::defaultLockPath();
    QVERIFY(tessary::test::gui::waitUntil([&] { return locked(path); }));
    // SIGKILL: nothing of the GUI's own runs on the way out.
    gui.kill();
    QVERIFY(gui.waitForFinished());
    QVERIFY(!locked(path));
  }
};

QTEST_GUILESS_MAIN(InstanceGuardTest)
#include "instance_guard_test.moc"
