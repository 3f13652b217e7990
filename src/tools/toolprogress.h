#pragma once
// One run of the ffmpeg program from one input file into one output file, watched by a
// progress view: the duration query, the script, the console pipe, the progress values and the
// cancel sequence. Core code: the Qt tool progress window and the command-line front end are
// two views over the same run. Runs on a thread with a Qt event loop (the window's, or the
// main thread of a QCoreApplication) and keeps handling its events while the tool runs.

#include <atomic>
#include <string>
#include <string_view>

#include "tools/toolrun.h"

namespace qv {

class ConsolePipeOwner;

// The window (or console line) that shows one tool run.
class ToolProgressView {
 public:
  virtual ~ToolProgressView() = default;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetSubject(const std::string& subject) = 0;
  // 0 to kToolProgressRange.
  virtual void SetProgress(int position) = 0;
  // "%2.1f of %2.1f Seconds".
  virtual void SetProgressText(const std::string& text) = 0;
  // Called once the texts are set, before the tool starts.
  virtual void ShowView() {}
  // Handles every pending event and returns without waiting. By default: the thread's Qt
  // events.
  virtual void PumpMessages();
  // The view's Cancel: raises the cancel flag of the run it shows (nothing when none runs).
  void RequestCancel() {
    if (m_cancel) m_cancel->store(1);
  }
  // The run's cancel flag, while it runs (RunToolWithProgress sets and clears it).
  void SetCancelFlag(std::atomic<int>* cancel) { m_cancel = cancel; }

 private:
  std::atomic<int>* m_cancel = nullptr;
};

inline constexpr int kToolProgressRange = 10000;

// The run, with the command in a script of its own (see ToolRunRequest::scriptName). Returns
// a ToolRunResult: kToolEnded when the tool ended with status 0, kToolFailed when it ended
// with another status or could not be run (the tool output text says why), kToolCancelled
// when the user cancelled (the output file is then removed). Whether the output is usable is
// still for the caller to check.
int RunToolWithProgress(const ToolRunRequest& request, ToolProgressView& view);

// The seconds of the first " time=" in a progress chunk (seconds, or hours:minutes:seconds);
// 0 when the chunk holds none, when the value is negative or unreadable, or when the chunk
// ends inside it.
double ParseToolTime(std::string_view chunk);

// The length of the input from the tool's "Duration: HH:MM:SS.ss" header line. False when
// there is none or it is 0 ("Duration: N/A").
bool ParseToolDuration(std::string_view output, double& seconds);

// The base name of the duration query's script in the working folder.
inline constexpr const char* kDurationScriptName = "qvVideoCmdTmp";

// Asks the tool (Settings().FfmpegPath) for the duration of `inputPath` through a script of
// this instance in the working folder ("qvVideoCmdTmp-<id>-XXXXXX.sh", removed afterwards);
// its output goes to `owner` (may be null). True with `seconds` set when the tool printed a
// non-zero duration. `cancel` set to 1 ends the query.
bool QueryMediaDuration(ConsolePipeOwner* owner, const std::string& inputPath, double& seconds,
                        const std::atomic<int>& cancel);

// Handles this thread's Qt events, waiting up to `maxWaitMs` for the first one when none is
// pending (a pipe's hand-over, the end of its reader and a watched child's exit all count).
// Without a Qt event loop on this thread it only sleeps.
void WaitForEvents(int maxWaitMs);

// A file path as the tool must get it: a relative path that the tool could take for a
// protocol ("concat:x", "http:y") or an option ("-x.wav") is made to start with "./".
std::string ToolFileArgument(const std::string& path);

}  // namespace qv
