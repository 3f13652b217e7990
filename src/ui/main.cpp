// Quorvin: start-up checks, then the main window runs modally; when it closes the program ends.
#include <QApplication>

#include "app/showmessage.h"
#include "app/startup.h"
#include "ui/mainwindowrunner.h"
#include "ui/qthost.h"
#include "ui/windowtrace.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvin"));
  QApplication::setApplicationVersion(QStringLiteral(QV_VERSION_STRING));

  qv::InstallWindowTrace();
  qv::QtMessageHost ownerless;
  qv::SetOwnerlessHost(&ownerless);
  if (qv::RunStartupChecks()) qv::RunMainWindow();
  qv::SetOwnerlessHost(nullptr);
  return 0;
}
