#pragma once
// The command line's host: messages become their text on standard error, questions take the
// answer No, the status line becomes a progress line on standard error when it is a terminal
// (one line redrawn in place; a log or a pipe gets none), and pumping events also notices Ctrl-C
// and SIGTERM. Main thread only (the signal handler only counts, raises the running batch
// state's cancel flag, and ends the program at the second signal).

#include <string>

#include "app/host.h"
#include "model/batchstate.h"

namespace qv::cli {

// Installs the SIGINT/SIGTERM handler: the first signal asks for a cancel (of the add, the
// tool run or the batch), the second ends the program at once with status 130, after ending
// the tools it started and removing its temporary files (EndChildrenAndRemoveTemporaries).
void InstallCancelSignals();
// How many cancel signals arrived so far.
int CancelSignals();

class ConsoleHost final : public BatchHost {
 public:
  // `batch` is the state the running batch reads its cancel request from.
  // A cancel signal raises `batch`'s cancel flag at once while this host lives.
  ConsoleHost(BatchState& batch, bool terminal);
  ~ConsoleHost() override;
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;

  int ShowMessageBox(const std::string& text, unsigned type) override;
  // One line, "quorvin-cli: <file>: <cause>", whether the message was logged or not; the
  // answer as for a message box.
  int ShowFileProblem(const FileProblem& problem, const std::string& text, unsigned type,
                      bool logged, int loggedAnswer) override;
  void SetStatusText(const std::string& text) override;
  void ShowProgress(const BatchProgress& progress) override;
  void PumpMessages() override;
  void SetBatchControls(bool idle) override;

  // While set (the adding of files under --json), each file's problem is also a JSON line on
  // standard output: {"source":...,"status":"refused","cause":...}.
  void SetJsonRefusals(bool on) { m_jsonRefusals = on; }

  // -q: only errors, warnings and questions are written (no progress, no status, no plain
  // notices such as the adding's summary).
  void SetQuiet(bool quiet) { m_quiet = quiet; }

  // True once a cancel signal has been seen (a batch, a tool run or the adding of files stops).
  bool CancelSeen() const { return m_cancelSeen; }
  int MessagesShown() const { return m_messages; }
  // Ends a progress line drawn in place, so that the next output starts on its own line.
  void EndProgressLine();

  // The progress line on a terminal `width` columns wide: the operation, a bar, the overall
  // percentage (the only "%" on the line), the files done, the time left (from `elapsed`
  // seconds so far) and the running files' names, cut to fit:
  // "Converting 27% [#####---------------] 3/12 done, 1:05 left: a.flac, b.flac".
  static std::string TerminalLine(const BatchProgress& progress, double elapsed, int width);

 private:
  void CheckCancel();
  // Draws the terminal's progress line in place of the last one.
  void WriteLine(const std::string& line);

  BatchState& m_batch;
  const bool m_terminal;
  bool m_quiet = false;
  bool m_jsonRefusals = false;
  std::string m_operation;           // the batch the progress belongs to
  long long m_operationStartMs = 0;  // when its first progress came
  long long m_lastDrawMs = -1;       // the terminal line's last redraw
  bool m_lineOpen = false;
  bool m_cancelSeen = false;
  int m_messages = 0;
};

}  // namespace qv::cli
