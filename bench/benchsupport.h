#pragma once
// What the benchmark programs share: running a command, and a host nobody watches.

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/host.h"

namespace qv::bench {

// Runs a shell command; true when it exited with status 0.
inline bool RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A host nobody watches: no boxes (each message goes to standard error with `verbose`), no
// status line; every question takes its default answer.
class QuietHost final : public BatchHost {
 public:
  explicit QuietHost(bool verbose = false) : m_verbose(verbose) {}
  int ShowMessageBox(const std::string& text, unsigned type) override {
    if (m_verbose) std::fprintf(stderr, "message: %s\n", text.c_str());
    ++messages;
    return DefaultAnswer(type);
  }
  void SetStatusText(const std::string&) override {}
  void PumpMessages() override {}
  void SetBatchControls(bool) override {}

  int messages = 0;  // the boxes it was asked to show

 private:
  bool m_verbose;
};

}  // namespace qv::bench
