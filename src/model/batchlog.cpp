#include "model/batchlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/filedescriptor.h"

namespace qv {
namespace {

std::string& LastPath() {
  static std::string path;
  return path;
}

}  // namespace

const std::string& LastBatchLogPath() { return LastPath(); }

std::string BatchLog::NumberedPath(const std::string& path, int number) {
  if (number <= 1) return path;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = path.size();  // no extension
  return path.substr(0, dot) + "-" + std::to_string(number) + path.substr(dot);
}

bool BatchLog::StillNamed() const {
  struct stat open {}, named {};
  return ::fstat(m_fd, &open) == 0 && open.st_nlink > 0 &&
         ::lstat(m_path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

bool BatchLog::Open(const std::string& path) {
  if (IsOpen() && path == m_requested && StillNamed()) {
    // Held since an earlier batch: emptied for this one, the lock never let go.
    if (::ftruncate(m_fd, 0) != 0) {
      Close();
      return false;
    }
    LastPath() = m_path;
    return true;
  }
  Close();
  m_path = path;
  m_requested = path;
  for (int number = 1; number <= kMaxNumber; ++number) {
    const std::string candidate = NumberedPath(path, number);
    // Not emptied at the open: only once the lock shows that nobody else writes it.
    const int fd =
        ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    // A file system without flock cannot tell; the log is then used as before.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      continue;
    }
    if (::ftruncate(fd, 0) != 0) {
      ::close(fd);
      return false;
    }
    m_fd = fd;
    m_path = candidate;
    LastPath() = candidate;
    return true;
  }
  return false;
}

bool BatchLog::Write(const std::string& text) {
  return m_fd >= 0 && WriteAll(m_fd, text.data(), text.size());
}

void BatchLog::Close() {
  if (m_fd >= 0) ::close(m_fd);  // the lock goes with the descriptor
  m_fd = -1;
}

}  // namespace qv
