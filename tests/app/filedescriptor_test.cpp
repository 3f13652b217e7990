// The descriptor owner, the exclusive create and WriteAll.
#include "app/filedescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// A name that anything already has is refused and left as it was; a free one is created with
// the mode less the umask, written in full and closed by its owner.
TEST(FileDescriptor, CreatesOnlyFreeNamesAndWritesThemFully) {
  test::TempDir dir;
  std::ofstream(dir.file("file")) << "kept";
  fs::create_directory(dir.file("folder"));
  fs::create_symlink(dir.file("missing"), dir.file("link"));
  for (const char* taken : {"file", "folder", "link"}) {
    SCOPED_TRACE(taken);
    errno = 0;
    FileDescriptor fd(CreateExclusive(dir.file(taken)));
    EXPECT_EQ(fd.Get(), -1);
    EXPECT_EQ(errno, EEXIST);
  }
  EXPECT_FALSE(fs::exists(dir.file("missing")));

  const std::string text(3 * 1024 * 1024 + 7, 'q');
  FileDescriptor fd(CreateExclusive(dir.file("new"), 0600));
  ASSERT_GE(fd.Get(), 0);
  EXPECT_TRUE(WriteAll(fd.Get(), text.data(), text.size()));
  FileDescriptor owner(std::move(fd));
  EXPECT_EQ(fd.Get(), -1);
  EXPECT_TRUE(owner.Close());
  EXPECT_TRUE(owner.Close());  // nothing held any more
  std::ifstream in(dir.file("new"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  errno = 0;
  FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.Get(), 0);
  EXPECT_FALSE(WriteAll(full.Get(), text.data(), 16));
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
}  // namespace qv
