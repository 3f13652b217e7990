#include "app/instance.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "app/filedescriptor.h"
#include "app/liveregistry.h"
#include "app/paths.h"

namespace qv {
namespace {

constexpr const char* kLockStem = "instance-";
constexpr const char* kLockSuffix = ".lock";
// Tries at a fresh name before creating a file is given up.
constexpr int kNameTries = 100;

// The lock this process holds, released and removed at exit.
struct InstanceLock {
  std::mutex mutex;
  bool started = false;
  bool locked = false;
  int error = 0;
  int fd = -1;
  std::string path;
  std::string id;

  ~InstanceLock() {
    if (fd < 0) return;
    ::unlink(path.c_str());
    ::close(fd);
  }
};

InstanceLock& Lock() {
  static InstanceLock lock;
  return lock;
}

std::uint32_t RandomWord() {
  std::uint32_t word = 0;
  if (::getrandom(&word, sizeof word, 0) == static_cast<ssize_t>(sizeof word)) return word;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  static std::atomic<std::uint32_t> counter{0};
  return static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 12) ^
         ((counter.fetch_add(1) + 1) * 2654435761u);
}

std::string Hex(std::uint32_t value, int digits) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return std::string(text + 8 - digits);
}

// Four hexadecimal digits of the working folder's path (FNV-1a): the same folder gives the
// same digits in every process and after a restart.
std::string FolderTag(const std::string& folder) {
  std::uint32_t hash = 2166136261u;
  for (const unsigned char c : folder) {
    hash ^= c;
    hash *= 16777619u;
  }
  return Hex((hash >> 16) ^ (hash & 0xFFFF), 4);
}

// Six characters as mkstemp draws them.
std::string RandomSuffix() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint32_t a = RandomWord(), b = RandomWord();
  std::string text(6, 'x');
  for (int i = 0; i < 6; ++i) {
    std::uint32_t& word = i < 3 ? a : b;
    text[static_cast<size_t>(i)] = kLetters[word % 62];
    word /= 62;
  }
  return text;
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  std::string base = folder;
  TrimTrailingBackslashes(base);
  if (IsDriveRoot(base)) base.clear();
  return base + "/" + name;
}

// Creates `before` + six random characters + `after` exclusively with `mode` (less the umask).
// Returns the descriptor and sets `path`; -1 with errno on failure.
int CreateUniquelyNamed(const std::string& before, const std::string& after, mode_t mode,
                    std::string& path) {
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    path = before + RandomSuffix() + after;
    const int fd = CreateExclusive(path, mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  path.clear();
  return -1;
}

bool IsLowerHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The id in `name` when it is `stem` + id + "-" + more; empty otherwise.
std::string IdAfter(std::string_view name, std::string_view stem) {
  if (name.substr(0, stem.size()) != stem) return {};
  const std::string_view rest = name.substr(stem.size());
  const size_t length = static_cast<size_t>(kInstanceIdLength);
  if (rest.size() <= length + 1 || rest[length] != '-' || !IsLowerHex(rest.substr(0, length))) {
    return {};
  }
  return std::string(rest.substr(0, length));
}

// The id of a working-folder file name ("qvAudioTemp-<id>-XXXXXX.wav"); empty when the name is
// none of ours.
std::string WorkingFileId(std::string_view name) {
  for (const char* base : kWorkingFileBases) {
    std::string stem = std::string(base) + "-";
    if (std::string id = IdAfter(name, stem); !id.empty()) return id;
  }
  return {};
}

// The id of a destination-folder temporary name (hidden outputs, their qvfaac partials, tag
// scratch files); empty when the name carries none.
std::string HiddenFileId(std::string_view name) {
  if (std::string id = IdAfter(name, kHiddenOutputStem); !id.empty()) return id;
  return IdAfter(name, kTagScratchStem);
}

// The id of a lock file name ("instance-<id>.lock"); empty for any other name.
std::string LockFileId(std::string_view name) {
  const std::string_view stem(kLockStem), suffix(kLockSuffix);
  if (name.size() != stem.size() + static_cast<size_t>(kInstanceIdLength) + suffix.size() ||
      name.substr(0, stem.size()) != stem || name.substr(name.size() - suffix.size()) != suffix) {
    return {};
  }
  const std::string_view id = name.substr(stem.size(), static_cast<size_t>(kInstanceIdLength));
  return IsLowerHex(id) ? std::string(id) : std::string();
}

std::string LockPath(const std::string& workingFolder, const std::string& id) {
  return workingFolder + "/" + kLockStem + id + kLockSuffix;
}

// True when `id` names no running instance: its lock file can be locked, or it is missing and
// the id was made for this working folder (another folder's instances keep their lock there).
bool InstanceEnded(const std::string& workingFolder, const std::string& id) {
  const int fd = ::open(LockPath(workingFolder, id).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT && id.compare(0, 4, FolderTag(workingFolder)) == 0;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // releases the lock if it was taken
  return free;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Removes `name` from the folder behind `dirFd` when it is a regular file of ours.
void RemoveIfOurs(int dirFd, const std::string& name) {
  struct stat info {};
  if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISREG(info.st_mode) || info.st_uid != ::getuid()) return;
  ::unlinkat(dirFd, name.c_str(), 0);
}

// Removes an ended instance's lock file, holding its lock meanwhile, so that a new instance
// (which creates its file exclusively) can never lose a file it has just locked.
void RemoveEndedLock(int dirFd, const std::string& name) {
  const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat held {}, named {};
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
      ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(held, named) &&
      S_ISREG(named.st_mode) && named.st_uid == ::getuid()) {
    ::unlinkat(dirFd, name.c_str(), 0);
  }
  ::close(fd);
}

// Makes the lock file and takes its lock; false with errno on failure.
bool TakeLock(InstanceLock& lock, const std::string& workingFolder) {
  const std::string tag = FolderTag(workingFolder);
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    const std::string id = tag + Hex(RandomWord(), 8);
    const std::string path = LockPath(workingFolder, id);
    const int fd = CreateExclusive(path, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    // Held by a cleaner that took the new file for an ended instance's: it removes it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      continue;
    }
    // A file system without flock still gets a lock file: a missing one would count as ended.
    struct stat held {}, named {};
    if (::fstat(fd, &held) != 0 || ::lstat(path.c_str(), &named) != 0 || !SameFile(held, named)) {
      ::close(fd);
      continue;
    }
    lock.fd = fd;
    lock.path = path;
    lock.id = id;
    RegisterInstanceLockFile(path);
    return true;
  }
  errno = EEXIST;
  return false;
}

}  // namespace

std::string InstanceIdTag(const std::string& workingFolder) { return FolderTag(workingFolder); }

bool StartInstance(const std::string& workingFolder) {
  InstanceLock& lock = Lock();
  std::lock_guard guard(lock.mutex);
  if (lock.started) {
    errno = lock.error;
    return lock.locked;
  }
  lock.started = true;
  lock.locked = !workingFolder.empty() && TakeLock(lock, workingFolder);
  if (!lock.locked) {
    lock.error = workingFolder.empty() ? ENOENT : errno;
    // Files are still named, but nothing protects them from other instances' clean-up.
    lock.id = FolderTag(workingFolder) + Hex(RandomWord(), 8);
    errno = lock.error;
  }
  return lock.locked;
}

const std::string& InstanceId() {
  InstanceLock& lock = Lock();
  bool started;
  {
    std::lock_guard guard(lock.mutex);
    started = lock.started;
  }
  if (!started) {
    std::string folder;
    GetWorkingFolder(folder);
    StartInstance(folder);
  }
  return lock.id;  // set once under the mutex, never changed afterwards
}

std::string HiddenOutputPrefix() { return kHiddenOutputStem + InstanceId() + "-"; }

std::string TagScratchPrefix() { return kTagScratchStem + InstanceId() + "-"; }

std::string MakeHiddenOutput(const std::string& folder, const std::string& extension) {
  std::string path;
  const int fd = CreateUniquelyNamed(JoinFolder(folder, HiddenOutputPrefix()),
                                 extension.empty() ? std::string() : "." + extension, 0666, path);
  if (fd < 0) return {};
  ::close(fd);
  RegisterTemporary(path);
  return path;
}

std::string MakeWorkingFile(const std::string& base, const std::string& suffix, int* fd) {
  if (fd) *fd = -1;
  bool known = false;
  for (const char* name : kWorkingFileBases) known = known || base == name;
  if (!known) {
    errno = EINVAL;
    return {};
  }
  std::string folder;
  if (!GetWorkingFolder(folder)) return {};
  std::string path;
  const int created =
      CreateUniquelyNamed(folder + "/" + base + "-" + InstanceId() + "-", suffix, 0600, path);
  if (created < 0) return {};
  RegisterTemporary(path);
  if (fd) *fd = created;
  else ::close(created);
  return path;
}

bool IsOurTemporaryName(const std::string& fileName) {
  const std::string_view name(fileName);
  if (name.substr(0, std::string_view(kHiddenOutputStem).size()) == kHiddenOutputStem ||
      name.substr(0, std::string_view(kTagScratchStem).size()) == kTagScratchStem ||
      name.find(kQvfaacPartialMark) != std::string_view::npos) {
    return true;
  }
  const std::string stem = std::string(kTempWavPrefix) + "-";
  return !IdAfter(name, stem).empty() && name.size() > 4 && name.substr(name.size() - 4) == ".wav";
}

void RemoveStaleTemporaries(const std::string& folder) {
  std::string working;
  if (!GetWorkingFolder(working)) return;  // without it no instance can be judged
  const std::string own = InstanceId();
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  const int dirFd = ::dirfd(dir.get());
  struct stat here {}, workingInfo {};
  const bool inWorkingFolder = ::fstat(dirFd, &here) == 0 &&
                               ::stat(working.c_str(), &workingInfo) == 0 &&
                               SameFile(here, workingInfo);

  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
  std::vector<std::string> lockFiles;
  for (const std::string& name : names) {
    std::string id = HiddenFileId(name);
    if (id.empty() && inWorkingFolder) {
      if (const std::string lockId = LockFileId(name); !lockId.empty()) {
        if (lockId != own) lockFiles.push_back(name);  // last, after the files it protected
        continue;
      }
      id = WorkingFileId(name);
    }
    if (id.empty() || id == own || !InstanceEnded(working, id)) continue;
    RemoveIfOurs(dirFd, name);
  }
  for (const std::string& name : lockFiles) RemoveEndedLock(dirFd, name);
}

}  // namespace qv
