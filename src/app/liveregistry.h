#pragma once
// The live temporary files and child process groups of this process, kept where a signal
// handler can read them: when the program must end at once (a second Ctrl-C), the handler ends
// every registered group and removes every registered file, so an interrupted run leaves
// neither a half-written temporary nor a tool running on its own.
//
// Fixed-capacity tables of atomics, no allocation and no lock: registering and unregistering
// may happen on any thread, and EndChildrenAndRemoveTemporaries may interrupt any of them.
// A full table refuses a registration (the file is then only cleaned up by the next start-up's
// RemoveStaleTemporaries, see app/instance.h).

#include <sys/types.h>

#include <string>
#include <utility>

namespace qv {

// Slots for temporary paths and for child process groups.
inline constexpr int kMaxLiveTemporaries = 1024;
inline constexpr int kMaxLiveChildGroups = 64;

// Adds `path` (absolute, shorter than PATH_MAX) to the paths a signal handler removes. False
// when the table is full, the path is too long, or the process is already ending.
bool RegisterTemporary(const std::string& path);
// Takes one registration of `path` back (the file was published under its final name, handed
// to its owner for good, or removed). Nothing happens for a path that is not registered.
void UnregisterTemporary(const std::string& path);
// Removes the file (never following a link) and takes its registration back.
void RemoveTemporary(const std::string& path);

// Owns one registered temporary file: removes it and its registration when destroyed, unless
// Release was called (after the file got its final name, or passed to an owner that removes
// it later). Move-only; any thread.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  // Adopts a path that is registered already (MakeTempWavName, MakeWorkingFile,
  // MakeHiddenOutput register what they create).
  explicit TemporaryFile(std::string registeredPath) : m_path(std::move(registeredPath)) {}
  ~TemporaryFile() { Remove(); }
  TemporaryFile(TemporaryFile&& other) noexcept : m_path(std::move(other.m_path)) {
    other.m_path.clear();
  }
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& Path() const { return m_path; }
  bool Empty() const { return m_path.empty(); }
  // Removes the file now.
  void Remove();
  // Unregisters and forgets the file, which stays; returns its path.
  std::string Release();

 private:
  std::string m_path;
};

// Adds a child's process group (the id of a group leader that this process started and has
// not reaped) to the groups a signal handler ends. Unregister it before the leader is reaped,
// so a signal never reaches a group id that the system has given to somebody else.
bool RegisterChildGroup(pid_t group);
void UnregisterChildGroup(pid_t group);

// The instance's lock file (see app/instance.h), removed after every other file: once it is
// gone, anything a racing thread still created counts as an ended instance's debris. Once.
void RegisterInstanceLockFile(const std::string& path);

// For a signal handler that ends the program: sends SIGTERM to every registered group, waits
// up to about one second for their leaders to exit, sends SIGKILL to every group, then removes
// every registered file, the lock file last. Async-signal-safe; after it, the caller's only
// business is _exit. Registrations made after it began are refused.
void EndChildrenAndRemoveTemporaries();

}  // namespace qv
