#include "tools/childprocess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/liveregistry.h"

extern char** environ;

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Moves a fresh descriptor above the standard three (so a dup2 onto 0, 1 or 2 in the child
// always happens and clears close-on-exec), keeping it close-on-exec.
int AboveStandard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

bool MakePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  fds[0] = AboveStandard(fds[0]);
  fds[1] = AboveStandard(fds[1]);
  if (fds[0] < 0 || fds[1] < 0) {
    CloseFd(fds[0]);
    CloseFd(fds[1]);
    return false;
  }
  return true;
}

// A posix_spawn object, set up by `Init` and released by `Destroy` when it goes.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
struct SpawnObject {
  T value;
  SpawnObject() { Init(&value); }
  ~SpawnObject() { Destroy(&value); }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
};

using SpawnActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                 posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The process group and state of process `pid` from /proc; false when it is gone.
bool ReadGroupAndState(const char* pid, pid_t& group, char& state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  // "pid (name) state ppid pgrp ...": the name may hold blanks and parentheses.
  const char* close = nullptr;
  for (const char* p = text; *p; ++p) {
    if (*p == ')') close = p;
  }
  if (!close) return false;
  int parent = 0, pgrp = 0;
  if (std::sscanf(close + 1, " %c %d %d", &state, &parent, &pgrp) != 3) return false;
  group = pgrp;
  return true;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Terminate();
  CloseFd(m_inputFd);
  CloseFd(m_outputFd);
  CloseFd(m_pidfd);
}

ChildProcess::StartResult ChildProcess::Start(const std::string& commandLine, bool captureOutput,
                                              int errorFd) {
  if (m_pid > 0) return StartResult::NoProcess;
  int input[2] = {-1, -1}, output[2] = {-1, -1};
  if (!MakePipe(input)) return StartResult::NoPipe;
  if (captureOutput && !MakePipe(output)) {
    CloseFd(input[0]);
    CloseFd(input[1]);
    return StartResult::NoPipe;
  }
  // Our write end never blocks: a child that stops reading is found by poll's timeout.
  ::fcntl(input[1], F_SETFL, ::fcntl(input[1], F_GETFL) | O_NONBLOCK);

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(&actions.value, input[0], STDIN_FILENO);
  if (captureOutput) {
    posix_spawn_file_actions_adddup2(&actions.value, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions.value, output[1], STDERR_FILENO);
  } else if (errorFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions.value, errorFd, STDERR_FILENO);
  }
  // Descriptors that another part of the process opened without close-on-exec stay ours too.
  posix_spawn_file_actions_addclosefrom_np(&actions.value, 3);

  // Own process group (a cancel ends the whole tree and nothing else), default handling of
  // every signal and none blocked: the parent's choices are not the child's.
  SpawnAttributes attributes;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes.value, &none);
  posix_spawnattr_setsigdefault(&attributes.value, &all);
  posix_spawnattr_setpgroup(&attributes.value, 0);
  posix_spawnattr_setflags(&attributes.value,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string shell = "/bin/sh", dashC = "-c", line = commandLine;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions.value, &attributes.value, argv,
                                    environ);
  CloseFd(input[0]);
  CloseFd(output[1]);
  if (spawned != 0) {
    CloseFd(input[1]);
    CloseFd(output[0]);
    return StartResult::NoProcess;
  }
  m_pid = pid;
  // A program that must end at once (a second Ctrl-C) ends this group first.
  RegisterChildGroup(pid);
  m_inputFd = input[1];
  m_outputFd = output[0];
  m_exited = m_reaped = false;
  m_exitCode = -1;
  // Nobody else reaps our child, so the pid still names it here. Without pidfds (kernels
  // before 5.3) the exit is found by short sleeps instead.
  m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by itself
  return StartResult::Started;
}

ChildProcess::WriteResult ChildProcess::WriteInput(const void* data, std::size_t size,
                                                   int stallTimeoutMs) {
  if (m_inputFd < 0) return WriteResult::Closed;
  // SIGPIPE is blocked on this thread for the write; one raised by it is taken back so it
  // never reaches the process.
  sigset_t pipeOnly, previous, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

  WriteResult result = WriteResult::Written;
  bool brokenPipe = false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(m_inputFd, bytes, size);
    if (written >= 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      brokenPipe = errno == EPIPE;
      result = WriteResult::Closed;
      break;
    }
    pollfd pfd{m_inputFd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&pfd, 1, stallTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      result = WriteResult::Stalled;  // the child takes nothing
      break;
    }
    if (ready < 0) {
      result = WriteResult::Closed;
      break;
    }
    // POLLERR/POLLHUP: the next write reports EPIPE.
  }
  if (brokenPipe && !alreadyPending) {
    const timespec zero{};
    while (::sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

void ChildProcess::CloseInput() { CloseFd(m_inputFd); }

long ChildProcess::ReadOutput(char* buffer, std::size_t size, int stopFd) const {
  if (m_outputFd < 0) return 0;
  while (true) {
    pollfd fds[2] = {{m_outputFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (stopFd >= 0 && fds[1].revents != 0) return 0;
    if (fds[0].revents == 0) continue;
    const ssize_t got = ::read(m_outputFd, buffer, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return static_cast<long>(got);
  }
}

void ChildProcess::NoteExit(int code) {
  m_exited = true;
  m_exitCode = code;
}

bool ChildProcess::HasExited() {
  if (m_pid <= 0 || m_exited) return m_pid > 0;
  siginfo_t info{};
  // WNOWAIT: the shell stays a zombie, so its pid (our process group id) cannot be reused
  // by another process while we may still signal the group.
  if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno == EINTR) return false;
    NoteExit(-1);  // not our child (any more): nothing to wait for
    UnregisterChildGroup(m_pid);
    m_reaped = true;
    return true;
  }
  if (info.si_pid == 0) return false;
  NoteExit(info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status);
  return true;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  if (m_pid <= 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  int sleepMs = 1;
  while (!HasExited()) {
    const int left = timeoutMs < 0 ? -1 : RemainingMs(deadline);
    if (left == 0) return false;
    if (m_pidfd >= 0) {
      pollfd pfd{m_pidfd, POLLIN, 0};
      ::poll(&pfd, 1, left);
    } else {
      const int slice = left < 0 ? sleepMs : std::min(left, sleepMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(slice));
      sleepMs = std::min(sleepMs * 2, 50);
    }
  }
  return true;
}

bool ChildProcess::GroupAlive() {
  if (m_pid <= 0 || m_reaped) return false;
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return !HasExited();
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    pid_t group = 0;
    char state = 0;
    if (!ReadGroupAndState(entry->d_name, group, state)) continue;
    if (group == m_pid && state != 'Z' && state != 'X') return true;
  }
  return false;
}

void ChildProcess::Reap() {
  if (m_pid <= 0 || m_reaped) return;
  // Before the reap: once reaped, the group id may be given to a stranger.
  UnregisterChildGroup(m_pid);
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(m_pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done == m_pid && !m_exited) {
    NoteExit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  m_exited = true;
  m_reaped = true;
  CloseFd(m_pidfd);
}

void ChildProcess::Terminate(int graceMs, const std::function<void(int)>& waitSome) {
  if (m_pid <= 0 || m_reaped) return;
  if (HasExited() && !GroupAlive()) {
    Reap();
    return;
  }
  // The shell is not reaped yet, so -m_pid names our group and nobody else's.
  ::kill(-m_pid, SIGTERM);
  ::kill(-m_pid, SIGCONT);  // a stopped member must run to act on SIGTERM
  const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
  bool ended = false;
  while (true) {
    const bool shellGone = HasExited();
    if (shellGone && !GroupAlive()) {
      ended = true;
      break;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) break;
    // The shell's exit wakes the pidfd; other members of the group are looked for in /proc.
    const int slice = std::min(left, shellGone ? 10 : 50);
    if (waitSome) {
      waitSome(slice);
    } else if (!shellGone) {
      WaitForExit(slice);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
  }
  if (!ended) ::kill(-m_pid, SIGKILL);
  Reap();
}

}  // namespace qv
