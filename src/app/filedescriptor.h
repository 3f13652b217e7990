#pragma once
// Owning a file descriptor, creating a file that must not exist yet, and writing a buffer out
// in full.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace qv {

// Owns a file descriptor (-1 for none) and closes it when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;

  int Get() const { return m_fd; }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes it now; false (errno set) when the close reports a failure, such as delayed writes
  // that did not reach the file system. True when none is held.
  bool Close();

 private:
  int m_fd;
};

// Creates `path` for writing with `mode` (less the umask), failing (errno EEXIST) when
// anything has the name: a file, a folder or a link, which is not followed. Returns the
// descriptor (close-on-exec), or -1 with errno.
int CreateExclusive(const std::string& path, mode_t mode = 0666);

// Opens an output file for writing: created exclusively, or, when an empty regular file (not
// a link) has the name, that file, which the naming rule counts as free (a batch's own hidden
// output, made when its row was prepared). Anything else with the name is never touched.
// Returns the descriptor, or -1 with errno (EEXIST when the name is taken).
int CreateOutputFile(const std::string& path);

// Writes all `size` bytes of `data` to `fd`, going on after interruptions and short writes.
// False with errno set when a write fails (ENOSPC when one writes nothing).
bool WriteAll(int fd, const void* data, std::size_t size);

// Reads up to `size` bytes of `fd` from `offset` on (pread: the descriptor's position stays),
// going on after interruptions and short reads; what it got (less at the end of the file or on
// a read error).
std::string ReadAt(int fd, std::size_t size, off_t offset);

}  // namespace qv
