#include "model/batchlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qv {

bool BatchLog::Open(const std::string& path) {
  Close();
  m_path = path;
  m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                0600);
  return m_fd >= 0;
}

bool BatchLog::Write(const std::string& text) {
  if (m_fd < 0) return false;
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(m_fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

void BatchLog::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

}  // namespace qv
