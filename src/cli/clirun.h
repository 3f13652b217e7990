#pragma once

#include "cli/cliarguments.h"

namespace qv::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

// Everything after the arguments were read: the start-up checks, adding the paths, the loudness
// batch, then the list, the dry run's plan or the conversion batch with its closing summary,
// each through the same core as the window.
// Messages and progress go to standard error (`terminal`: standard error is a terminal), the
// list to standard output. Returns the exit status.
int RunCommandLine(const CliArguments& arguments, bool terminal);

}  // namespace qv::cli
