#include "tools/toolprogress.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/filedescriptor.h"
#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "tools/childprocess.h"
#include "tools/consolepipe.h"

namespace qv {


namespace {

// The longest wait between two looks at the run's state when nothing else wakes the loop.
constexpr int kSafetyWaitMs = 500;
// After the tool's group has ended, how long its output may stay open (held by a process that
// left the group) before the reader is stopped.
constexpr int kOutputDrainMs = 5000;
// Progress values from 1e10 seconds on are the tool's placeholders for "unknown".
constexpr double kUnknownTime = 1e10;

void WaitSome(int maxWaitMs) { WaitForEvents(maxWaitMs); }

// Wakes the event loop when the pipe's shell exits, once.
class ExitWatch {
 public:
  explicit ExitWatch(const CConsolePipe& pipe) {
    const int fd = pipe.ProcessExitFd();
    if (fd < 0 || !QAbstractEventDispatcher::instance()) return;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QSocketNotifier* notifier = m_notifier.get();
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier] { notifier->setEnabled(false); });
  }

 private:
  std::unique_ptr<QSocketNotifier> m_notifier;
};

// Ends what is left of a tool whose shell has exited, then waits, handling events, until the
// reader has delivered everything; closes the pipe.
void FinishPipe(CConsolePipe& pipe) {
  pipe.Terminate(ChildProcess::kTerminateGraceMs, WaitSome);
  const auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOutputDrainMs);
  bool stopped = false;
  while (!pipe.Finished()) {
    if (!stopped && std::chrono::steady_clock::now() >= stopAt) {
      pipe.StopReading();
      stopped = true;
    }
    WaitForEvents(kSafetyWaitMs);
  }
  pipe.Close();
}

// Turns the tool's progress chunks into the view's bar and seconds text.
class ProgressOwner : public ConsolePipeOwner {
 public:
  explicit ProgressOwner(ToolProgressView& view) : m_view(view) {}

  void OnToolOutputChunk(const char* chunk) override {
    m_current = ParseToolTime(chunk);
    if (m_current >= kUnknownTime) m_current = 0;
    if (m_current <= 0) return;
    // A time beyond the measured length shows a full bar (and the larger time in the text).
    const double position = m_current / m_total * kToolProgressRange;
    m_view.SetProgress(position >= kToolProgressRange ? kToolProgressRange
                                                       : static_cast<int>(position));
    m_view.SetProgressText(FormatText("%2.1f of %2.1f Seconds", m_current, m_total));
  }

  void SetTotal(double seconds) { m_total = seconds; }

 private:
  ToolProgressView& m_view;
  double m_current = 0;
  double m_total = 1.0;
};

void PumpRepeatedly(ToolProgressView& view, int count) {
  for (int i = 0; i < count; ++i) view.PumpMessages();
}

// Writes all of `text` to `fd` and closes it; false when a write or the close failed.
bool WriteAndClose(int fd, const std::string& text) {
  const bool ok = WriteAll(fd, text.data(), text.size());
  return ::close(fd) == 0 && ok;
}

// A new script of this instance in the working folder, holding `command`, removed when the
// returned owner goes. Empty (with errno) when it cannot be made.
TemporaryFile WriteScript(const std::string& baseName, const std::string& command) {
  int fd = -1;
  TemporaryFile script(MakeWorkingFile(baseName, ".sh", &fd));
  if (script.Empty()) return script;
  if (!WriteAndClose(fd, command)) {
    const int saved = errno;
    script.Remove();
    errno = saved;
  }
  return script;
}

// The command line that runs a script with the shell (a script needs no execute permission).
std::string ScriptRunText(const std::string& scriptPath) {
  return "/bin/sh " + ShellQuote(scriptPath);
}

}  // namespace

void ToolProgressView::PumpMessages() { QCoreApplication::processEvents(); }

void WaitForEvents(int maxWaitMs) {
  if (maxWaitMs <= 0) {
    QCoreApplication::processEvents();
    return;
  }
  if (!QCoreApplication::instance() || !QAbstractEventDispatcher::instance()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(maxWaitMs, 10)));
    return;
  }
  QTimer timer;  // the upper bound of the wait
  timer.setSingleShot(true);
  timer.start(maxWaitMs);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

std::string ToolFileArgument(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  if (path.front() != '-' && path.find(':') == std::string::npos) return path;
  return "./" + path;
}

double ParseToolTime(std::string_view chunk) {
  const size_t at = chunk.find(" time=");
  if (at == std::string_view::npos) return 0;
  const std::string_view rest = chunk.substr(at + 6);
  const size_t end = rest.find_first_of(" \t\r\n");
  // A value cut by the end of the chunk may be missing digits: it is not used.
  if (end == std::string_view::npos) return 0;
  const std::string value(rest.substr(0, end));
  if (value.empty() || value.front() == '-') return 0;  // no time yet, or before the start
  double seconds = 0;
  if (value.find(':') == std::string::npos) {
    seconds = std::strtod(value.c_str(), nullptr);
  } else {
    int hours = 0, minutes = 0;
    double part = 0;
    std::sscanf(value.c_str(), "%d:%d:%lf", &hours, &minutes, &part);
    seconds = hours * 3600.0 + minutes * 60.0 + part;
  }
  return std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

bool ParseToolDuration(std::string_view output, double& seconds) {
  static constexpr std::string_view kKey = "Duration: ";
  for (size_t at = output.find(kKey); at != std::string_view::npos;
       at = output.find(kKey, at + 1)) {
    // Only the header line counts: a file name or a tag may hold the same words.
    size_t lineStart = at;
    while (lineStart > 0 && (output[lineStart - 1] == ' ' || output[lineStart - 1] == '\t')) {
      --lineStart;
    }
    if (lineStart > 0 && output[lineStart - 1] != '\n' && output[lineStart - 1] != '\r') continue;
    const std::string field(output.substr(at + kKey.size(), 32));
    int hours = 0, minutes = 0;
    double part = 0;
    if (std::sscanf(field.c_str(), "%d:%d:%lf", &hours, &minutes, &part) != 3) return false;
    const double total = hours * 3600.0 + minutes * 60.0 + part;
    if (!std::isfinite(total) || total <= 0) return false;
    seconds = total;
    return true;
  }
  return false;
}

bool QueryMediaDuration(ConsolePipeOwner* owner, const std::string& inputPath, double& seconds,
                        const std::atomic<int>& cancel) {
  // The header is all that is needed; the tool then exits with status 1 (no output named).
  const std::string command =
      ShellQuote(Settings().FfmpegPath) + " -i " + ShellQuote(ToolFileArgument(inputPath));
  const TemporaryFile script = WriteScript(kDurationScriptName, command);
  if (script.Empty()) return false;

  CMyConsolePipe pipe(true, owner, 0);
  if (pipe.Execute(ScriptRunText(script.Path())) == 0) {
    {
      ExitWatch watch(pipe);
      while (pipe.ProcessRunning() && cancel.load() != 1) WaitForEvents(kSafetyWaitMs);
    }
    // A tool stuck on its input (a pipe, a hung mount) must not outlast a cancel.
    FinishPipe(pipe);
  }
  return ParseToolDuration(ToolOutputText(), seconds);
}

int RunToolWithProgress(const ToolRunRequest& request, ToolProgressView& view) {
  std::atomic<int> own{0};
  std::atomic<int>& cancel = request.cancel ? *request.cancel : own;
  // The view's Cancel reaches this run only while it runs.
  struct CancelFlagOfView {
    ToolProgressView& view;
    ~CancelFlagOfView() { view.SetCancelFlag(nullptr); }
  } attached{view};
  view.SetCancelFlag(&cancel);
  ProgressOwner owner(view);
  double seconds = 0;
  if (QueryMediaDuration(&owner, request.inputPath, seconds, cancel)) owner.SetTotal(seconds);

  view.SetTitle(request.title);
  // Every path is quoted for the shell; the options are shell text by design.
  std::string command = ShellQuote(Settings().FfmpegPath) + " -y -i " +
                        ShellQuote(ToolFileArgument(request.inputPath)) + " " +
                        request.toolOptions + " " +
                        ShellQuote(ToolFileArgument(request.outputPath)) + "\n";
  const TemporaryFile script = WriteScript(request.scriptName, command);
  if (script.Empty()) {
    ToolOutputText() = FormatText("Can't write the command into the working folder: %s\n",
                                  std::strerror(errno));
    return kToolFailed;
  }

  view.SetCaption(request.caption);
  view.SetSubject(request.subject);
  view.SetProgress(0);
  view.ShowView();

  // A tool that did not start has no process and counts as ended (and failed) at once. The
  // output file stays as the caller made it (a temporary WAV is created, and so claimed, when
  // its name is chosen); the tool writes over it.
  CMyConsolePipe pipe(true, &owner, 0);
  pipe.Execute(ScriptRunText(script.Path()));
  bool cancelled = false;
  {
    ExitWatch watch(pipe);
    while (true) {
      if (cancel.load() == 1) {
        cancelled = true;
        break;
      }
      if (!pipe.ProcessRunning()) break;
      WaitForEvents(kSafetyWaitMs);
    }
  }
  if (!cancelled) {
    FinishPipe(pipe);
    return pipe.ExitCode() == 0 ? kToolEnded : kToolFailed;
  }
  // Only the process group of the tool started here is ended, never a process by its name.
  PumpRepeatedly(view, 100);
  pipe.Terminate(ChildProcess::kTerminateGraceMs, WaitSome);
  PumpRepeatedly(view, 100);
  RemoveTemporary(request.outputPath);
  PumpRepeatedly(view, 100);
  FinishPipe(pipe);
  return kToolCancelled;
}

}  // namespace qv
