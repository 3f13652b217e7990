// quorvin-cli: the command-line front end. Reads its arguments, makes the window's start-up
// checks, then drives the same core as the window through a console host.
#include <unistd.h>

#include <cstdio>

#include <QCoreApplication>

#include "app/showmessage.h"
#include "app/startup.h"
#include "cli/cliarguments.h"
#include "cli/clirun.h"
#include "cli/consolehost.h"

int main(int argc, char** argv) {
  qv::cli::CliArguments arguments;
  std::string error;
  switch (qv::cli::ParseArguments(argc, argv, arguments, error)) {
    case qv::cli::ParseResult::Help:
      std::fputs(qv::cli::UsageText().c_str(), stdout);
      return 0;
    case qv::cli::ParseResult::Version:
      std::printf("quorvin-cli %s\n", QV_VERSION_STRING);
      return 0;
    case qv::cli::ParseResult::UsageError:
      std::fprintf(stderr, "quorvin-cli: %s\nTry 'quorvin-cli --help'.\n", error.c_str());
      return qv::cli::kExitUsage;
    case qv::cli::ParseResult::Run:
      break;
  }

  // The console pipe hands the tool's output over through the event loop: a core application
  // is needed, but no display.
  QCoreApplication app(argc, argv);
  qv::cli::InstallCancelSignals();
  return qv::cli::RunCommandLine(arguments, ::isatty(STDERR_FILENO) == 1);
}
