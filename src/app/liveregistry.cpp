#include "app/liveregistry.h"

#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace qv {
namespace {

// A temporary slot is Free, then Live once its path is written, and Taken when the ending
// handler has claimed it (it is never freed again: the process is about to end).
enum : int { kFree = 0, kLive = 1, kTaken = 2 };

struct TemporarySlot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};

TemporarySlot g_temporaries[kMaxLiveTemporaries];
std::atomic<pid_t> g_groups[kMaxLiveChildGroups];
std::atomic<bool> g_ending{false};
char g_lockFile[PATH_MAX];
std::atomic<bool> g_hasLockFile{false};
// Serialises registering and unregistering (normal code only); the handler never takes it and
// only touches slots whose state it has claimed.
std::mutex g_registryMutex;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

// How long the ending handler waits for the groups after SIGTERM, and after SIGKILL.
constexpr int kTermWaitMs = 1000;
constexpr int kKillWaitMs = 200;
constexpr int kPollMs = 10;

void SleepMs(int ms) {
  timespec delay{0, static_cast<long>(ms) * 1000000L};
  while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

// True once the leader of `group` has exited (or is no child of ours to wait for). The leader
// is not reaped, so its id cannot be given to another process while we may still signal it.
bool LeaderExited(pid_t group) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(group), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;
  }
  return info.si_pid != 0;
}

// Waits up to `ms` for the leaders of every registered group to exit.
void WaitForLeaders(int ms) {
  for (int waited = 0; waited < ms; waited += kPollMs) {
    bool all = true;
    for (const std::atomic<pid_t>& slot : g_groups) {
      const pid_t group = slot.load();
      if (group > 0 && !LeaderExited(group)) all = false;
    }
    if (all) return;
    SleepMs(kPollMs);
  }
}

void SignalGroups(int signal) {
  for (const std::atomic<pid_t>& slot : g_groups) {
    const pid_t group = slot.load();
    if (group > 0) ::kill(-group, signal);
  }
}

}  // namespace

bool RegisterTemporary(const std::string& path) {
  if (path.empty() || path.size() >= PATH_MAX) return false;
  std::lock_guard lock(g_registryMutex);
  if (g_ending.load()) return false;
  for (TemporarySlot& slot : g_temporaries) {
    if (slot.state.load(std::memory_order_relaxed) != kFree) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(kLive, std::memory_order_release);
    return true;
  }
  return false;
}

void UnregisterTemporary(const std::string& path) {
  if (path.empty()) return;
  std::lock_guard lock(g_registryMutex);
  for (TemporarySlot& slot : g_temporaries) {
    if (slot.state.load(std::memory_order_acquire) != kLive || path != slot.path) continue;
    int live = kLive;
    // Fails only when the ending handler took the slot; it then removes the path itself.
    slot.state.compare_exchange_strong(live, kFree);
    return;
  }
}

void RemoveTemporary(const std::string& path) {
  if (path.empty()) return;
  ::unlink(path.c_str());  // removes a link itself, never what it points to
  UnregisterTemporary(path);
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    Remove();
    m_path = std::move(other.m_path);
    other.m_path.clear();
  }
  return *this;
}

void TemporaryFile::Remove() {
  RemoveTemporary(m_path);
  m_path.clear();
}

std::string TemporaryFile::Release() {
  UnregisterTemporary(m_path);
  std::string path = std::move(m_path);
  m_path.clear();
  return path;
}

bool RegisterChildGroup(pid_t group) {
  if (group <= 0) return false;
  std::lock_guard lock(g_registryMutex);
  if (g_ending.load()) return false;
  for (std::atomic<pid_t>& slot : g_groups) {
    if (slot.load() != 0) continue;
    slot.store(group);
    return true;
  }
  return false;
}

void UnregisterChildGroup(pid_t group) {
  if (group <= 0) return;
  std::lock_guard lock(g_registryMutex);
  for (std::atomic<pid_t>& slot : g_groups) {
    pid_t expected = group;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

void RegisterInstanceLockFile(const std::string& path) {
  std::lock_guard lock(g_registryMutex);
  if (g_hasLockFile.load() || path.empty() || path.size() >= PATH_MAX) return;
  std::memcpy(g_lockFile, path.c_str(), path.size() + 1);
  g_hasLockFile.store(true);
}

void EndChildrenAndRemoveTemporaries() {
  // A second thread that gets here (a third signal delivered elsewhere) must not end the
  // process under the first one's feet: it waits for the first one's _exit.
  if (g_ending.exchange(true)) {
    while (true) ::pause();
  }
  SignalGroups(SIGTERM);
  SignalGroups(SIGCONT);  // a stopped member must run to act on SIGTERM
  WaitForLeaders(kTermWaitMs);
  SignalGroups(SIGKILL);  // whatever is left, leaders or not
  WaitForLeaders(kKillWaitMs);
  // Only now: a tool that still ran could have created or renamed one of these files.
  for (TemporarySlot& slot : g_temporaries) {
    int live = kLive;
    if (slot.state.compare_exchange_strong(live, kTaken, std::memory_order_acquire)) {
      ::unlink(slot.path);
    }
  }
  if (g_hasLockFile.load()) ::unlink(g_lockFile);
}

}  // namespace qv
