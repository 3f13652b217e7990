#include "audio/pipeencoder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace qv::audio {
namespace {

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Waits up to `timeoutMs` for the child; returns true with its status when it has exited.
bool WaitForExit(pid_t pid, int timeoutMs, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) {
      status = -1;
      return true;  // not our child any more; nothing left to reap
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string FloatWavHeader(int rate, int channels) {
  std::string header = "RIFF";
  PutLe(header, 0xFFFFFFFFu, 4);  // unknown length: the data run to the end of the stream
  header += "WAVEfmt ";
  PutLe(header, 18, 4);
  PutLe(header, 3, 2);  // IEEE float
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 4), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 4), 2);
  PutLe(header, 32, 2);
  PutLe(header, 0, 2);  // no extra format bytes
  header += "data";
  PutLe(header, 0xFFFFFFFFu, 4);
  return header;
}

int PipeEncoder::Create(DWORD channel, DWORD flags, int rate, int channels,
                        const std::string& command, std::shared_ptr<Encoder>& encoder) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return BASS_ERROR_CREATE;
  auto pipeEncoder = std::make_shared<PipeEncoder>(channel, flags, rate, channels);
  pipeEncoder->m_fd = fds[1];

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
  // Own process group (so a cancel can end the whole tree), default signal handling, no
  // blocked signals: the parent's choices are not the child's.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  std::string shell = "/bin/sh", dashC = "-c", line = command;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[0]);
  if (spawned != 0) return BASS_ERROR_CREATE;  // the destructor closes the write end
  pipeEncoder->m_pid = pid;

  if (!(flags & BASS_ENCODE_NOHEAD)) {
    const std::string header = FloatWavHeader(rate, channels);
    if (pipeEncoder->WriteAll(header.data(), header.size()) != BASS_OK) return BASS_ERROR_CREATE;
  }
  encoder = std::move(pipeEncoder);
  return BASS_OK;
}

int PipeEncoder::WriteAll(const void* data, size_t size) {
  // SIGPIPE is blocked on this thread for the write; one raised by it is taken back so it
  // never reaches the process.
  sigset_t pipeOnly, previous, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

  int result = BASS_OK;
  bool brokenPipe = false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    pollfd pfd{m_fd, POLLOUT, 0};
    const int ready = ::poll(&pfd, 1, kStallTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      result = BASS_ERROR_ENDED;  // the child stopped reading
      break;
    }
    const ssize_t written = ::write(m_fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      brokenPipe = errno == EPIPE;
      result = BASS_ERROR_ENDED;
      break;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  if (brokenPipe && !alreadyPending) {
    const timespec zero{};
    while (::sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

int PipeEncoder::DoWrite(const float* samples, size_t frames) {
  if (m_fd < 0) return BASS_ERROR_ENDED;
  return WriteAll(samples, frames * static_cast<size_t>(channels()) * sizeof(float));
}

int PipeEncoder::DoFinish() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (m_pid <= 0) return BASS_ERROR_CREATE;
  int status = 0;
  if (!WaitForExit(m_pid, kExitTimeoutMs, status)) {
    ::kill(-m_pid, SIGTERM);
    if (!WaitForExit(m_pid, 5000, status)) {
      ::kill(-m_pid, SIGKILL);
      while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    m_pid = -1;
    return BASS_ERROR_ENDED;
  }
  m_pid = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return BASS_ERROR_ENDED;
  return BASS_OK;
}

}  // namespace qv::audio
