// tessary-gui: the single-instance guard, then the wizard from the image page on.
#include <cstdio>

#include <QApplication>
#include <QMessageBox>

#include "platform/page_sink.h"
#include "ui/instance_guard.h"
#include "ui/wizard.h"

int main(int argc, char** argv) {
  // Taken before the application object exists, as the named mutex was.
  const tessary::ui::InstanceGuard guard(tessary::ui::InstanceGuard::defaultLockPath());

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tessary-gui"));
  QApplication::setApplicationVersion(QStringLiteral(TESSARY_VERSION));
  // Pages hide and show each other; only Exit ends the run.
  QApplication::setQuitOnLastWindowClosed(false);

  if (guard.otherInstanceRunning()) {
    std::fprintf(stderr, "%s\n", tessary::ui::InstanceGuard::kMessage);
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(tessary::kApplicationTitle),
                    QString::fromUtf8(tessary::ui::InstanceGuard::kMessage), QMessageBox::Ok);
    box.exec();
    return 1;
  }

  tessary::ui::Wizard wizard;
  wizard.start();
  return QApplication::exec();
}
