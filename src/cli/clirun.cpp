#include "cli/clirun.h"

#include <cstdio>

#include "app/settings.h"
#include "app/showmessage.h"
#include "app/startup.h"
#include "cli/consolehost.h"
#include "model/batchstate.h"

namespace qv::cli {

int RunCommandLine(const CliArguments& arguments, bool terminal) {
  (void)arguments;
  BatchState batch;
  ConsoleHost host(batch, terminal);
  SetOwnerlessHost(&host);
  if (!RunStartupChecks()) return kExitUsage;
  std::fprintf(stderr, "quorvin-cli: converting arrives with the conversion core.\n");
  return kExitUsage;
}

}  // namespace qv::cli
