// Quorvin: start-up checks, then the main window runs modally (adding the files named on the
// command line); when it closes the program ends.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/showmessage.h"
#include "app/startup.h"
#include "ui/mainwindowrunner.h"
#include "ui/qthost.h"
#include "ui/windowtrace.h"

int main(int argc, char** argv) {
  // Answered before the window system is reached, so they work without a display.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("Usage: quorvin [FILE|FOLDER]...\n"
                "Opens the Quorvin window and adds the files and folders given.\n"
                "quorvin-cli converts without a window; see quorvin(1) and quorvin-cli(1).\n");
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("quorvin %s\n", QV_VERSION_STRING);
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvin"));
  QApplication::setApplicationVersion(QStringLiteral(QV_VERSION_STRING));

  qv::InstallWindowTrace();
  qv::QtMessageHost ownerless;
  qv::SetOwnerlessHost(&ownerless);
  // Files and folders to add: every argument after the program's name that is not one of Qt's
  // own options (which QApplication took out already), e.g. from a desktop entry's %F.
  QStringList files = QApplication::arguments();
  files.removeFirst();
  if (!files.isEmpty() && files.first() == QStringLiteral("--")) files.removeFirst();
  if (qv::RunStartupChecks()) qv::RunMainWindow(files);
  qv::SetOwnerlessHost(nullptr);
  return 0;
}
