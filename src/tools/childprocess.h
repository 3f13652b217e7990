#pragma once
// ChildProcess: the one owner of a child process in this program. Runs a command line with
// /bin/sh -c in a new process group, with a pipe for its standard input and (optionally) one
// pipe for its standard output and error together. Every descriptor of ours is close-on-exec
// and the child starts with all descriptors above 2 closed, so nothing of ours leaks into it.
// Only the process group of the child started here is ever signalled; the shell is always
// reaped, at the latest when the owner is destroyed (which ends the group if it still runs).
// From its start until its reap the group is registered with app/liveregistry, so a program
// that must end at once can end it too.
//
// Threads: one owning thread calls everything except ReadOutput, which one other thread (a
// reader) may call at the same time.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace qv {

class ChildProcess {
 public:
  // How long the group may take to end after SIGTERM before it is killed.
  static constexpr int kTerminateGraceMs = 5000;

  enum class StartResult { Started, NoPipe, NoProcess };
  enum class WriteResult { Written, Stalled, Closed };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts "/bin/sh -c commandLine". With `captureOutput` the child's standard output and error
  // go into one pipe read by ReadOutput; otherwise they are this process's own, except that
  // `errorFd` (when not -1) becomes the child's standard error. Its standard input is always a
  // pipe fed by WriteInput. Starting twice is refused (NoProcess).
  StartResult Start(const std::string& commandLine, bool captureOutput, int errorFd = -1);
  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }

  // Writes all of `data` to the child's input. Waits at most `stallTimeoutMs` each time the
  // child takes nothing; never raises SIGPIPE. Closed: the child no longer reads its input.
  WriteResult WriteInput(const void* data, std::size_t size, int stallTimeoutMs);
  void CloseInput();

  // Reads up to `size` bytes of the child's output, waiting for them. Returns the count, 0 at
  // the end of the output or when `stopFd` (if not -1) becomes readable, -1 on a read error.
  // May run on another thread than the owner's.
  long ReadOutput(char* buffer, std::size_t size, int stopFd) const;

  // True once the shell itself has exited (it is not reaped by this: its process group id
  // stays ours until Reap or Terminate).
  bool HasExited();
  // Waits up to `timeoutMs` (-1: no limit) for the shell to exit, without spinning.
  bool WaitForExit(int timeoutMs);
  // A descriptor that becomes readable when the shell exits (a pidfd), or -1 on kernels
  // without pidfds; for event loops that wait for the exit among other things.
  int ExitFd() const { return m_pidfd; }
  // The shell's exit code once it has exited: its status, or 128 + the signal that ended it.
  int ExitCode() const { return m_exitCode; }

  // Ends the child's process group: SIGTERM to the group, up to `graceMs` for every process
  // of the group to end, then SIGKILL to the group; then reaps the shell. A group whose shell
  // has exited and which has no other live process gets no signal. `waitSome` (if given) is
  // called to pass the waiting time in slices of at most the given milliseconds, so a caller
  // can keep handling events meanwhile. Nothing happens when the child was never started or
  // is already reaped.
  void Terminate(int graceMs = kTerminateGraceMs,
                 const std::function<void(int maxWaitMs)>& waitSome = {});

  // True while any process of the child's group other than a dead shell still runs.
  bool GroupAlive();

 private:
  void NoteExit(int code);
  void Reap();

  pid_t m_pid = -1;
  int m_pidfd = -1;
  int m_inputFd = -1;   // our write end of the child's standard input (non-blocking)
  int m_outputFd = -1;  // our read end of the child's standard output and error
  bool m_exited = false;
  bool m_reaped = false;
  int m_exitCode = -1;
};

}  // namespace qv
