// The instance's temporary names, and the clean-up that removes what ended instances left
// while never touching a running instance's files.
#include "app/instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/showmessage.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(InstanceNames, OurTemporaryNamesAreRecognised) {
  const std::string id = InstanceId();
  ASSERT_EQ(id.size(), static_cast<size_t>(kInstanceIdLength));
  EXPECT_EQ(HiddenOutputPrefix(), ".quorvin-" + id + "-");
  EXPECT_EQ(TagScratchPrefix(), ".qvtags-" + id + "-");
  const struct {
    std::string name;
    bool ours;
  } cases[] = {
      {".quorvin-" + id + "-Ab3dE1.mp3", true},
      {".quorvin-Ab3dE1.mp3", true},  // an older run's hidden output, without an id
      {".qvtags-Ab3dE1", true},
      {"song.aac.qvfaac-Zz09aB", true},
      {"qvAudioTemp-0123456789ab-Ab3dE1.wav", true},
      {"song.mp3", false},
      {".quorvin.mp3", false},
      {"quorvin-song.mp3", false},
      {"qvAudioTemp000000.wav", false},  // not a name this program makes any more
      {"qvAudioTemp-notanid12345-Ab3dE1.wav", false},
      {"my qvfaac notes.wav", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsOurTemporaryName(c.name), c.ours) << c.name;
}

class InstanceFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) m_oldTmp = old;
    ::setenv("TMPDIR", m_dir.str().c_str(), 1);
    SetOwnerlessHost(&m_host);
    ASSERT_TRUE(GetWorkingFolder(m_work));
    fs::create_directory(Dest());
  }
  void TearDown() override {
    for (const int fd : m_heldLocks) ::close(fd);
    SetOwnerlessHost(nullptr);
    if (m_oldTmp.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
  }
  std::string Dest(const std::string& name = "") const {
    return m_dir.file("dest") + (name.empty() ? "" : "/" + name);
  }
  std::string Work(const std::string& name) const { return m_work + "/" + name; }
  // The lock file of another instance; `held`: it still runs.
  void MakeLock(const std::string& id, bool held) {
    const int fd = ::open(Work("instance-" + id + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    if (!held) {
      ::close(fd);
      return;
    }
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    m_heldLocks.push_back(fd);
  }
  static void Touch(const std::string& path) { std::ofstream(path) << "data"; }

  test::TempDir m_dir;
  test::ScriptedHost m_host;
  std::string m_oldTmp;
  std::string m_work;
  std::vector<int> m_heldLocks;
};

TEST_F(InstanceFilesTest, HiddenOutputsAreNewEmptyFilesUnderTheUsersUmask) {
  const mode_t mask = ::umask(022);
  const std::string first = MakeHiddenOutput(Dest(), "mp3");
  const std::string second = MakeHiddenOutput(Dest() + "/", "mp3");
  ::umask(mask);
  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    const std::string name = fs::path(path).filename().string();
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(Dest()));
    EXPECT_EQ(name.compare(0, HiddenOutputPrefix().size(), HiddenOutputPrefix()), 0) << name;
    EXPECT_EQ(name.size(), HiddenOutputPrefix().size() + 6 + 4) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".mp3");
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    RemoveTemporary(path);
  }
  errno = 0;
  EXPECT_EQ(MakeHiddenOutput(Dest("no such folder"), "mp3"), "");
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(InstanceFilesTest, StaleCleanUpRemovesOnlyWhatEndedInstancesLeft) {
  const std::string tag = InstanceIdTag(m_work);
  const std::string ended = tag + "00000001";    // its lock file is there, unlocked
  const std::string running = tag + "00000002";  // its lock is held
  const std::string vanished = tag + "00000003";  // no lock file: ended long ago
  // No lock file here, but made for another working folder ($TMPDIR): it may still run there.
  const std::string elsewhere = (tag == "0000" ? "ffff" : "0000") + std::string("00000004");
  MakeLock(ended, false);
  MakeLock(running, true);

  auto destNames = [](const std::string& id) {
    return std::vector<std::string>{".quorvin-" + id + "-Ab3dE1.mp3", ".qvtags-" + id + "-Ab3dE1",
                                    ".quorvin-" + id + "-Ab3dE1.aac.qvfaac-Zz09aB"};
  };
  auto workNames = [](const std::string& id) {
    return std::vector<std::string>{"qvAudioTemp-" + id + "-Ab3dE1.wav",
                                    "qvExtractAudioFromVideo-" + id + "-Ab3dE1.sh",
                                    "qvVideoCmdTmp-" + id + "-Ab3dE1.sh",
                                    "qvFFMpegErrorOut-" + id + "-Ab3dE1.txt"};
  };
  std::vector<std::string> removed, kept;
  for (const std::string& id : {ended, running, vanished, elsewhere}) {
    const bool gone = id == ended || id == vanished;
    for (const std::string& name : destNames(id)) (gone ? removed : kept).push_back(Dest(name));
    for (const std::string& name : workNames(id)) (gone ? removed : kept).push_back(Work(name));
  }
  // The user's files, names without an id, working-folder names outside the working folder.
  for (const std::string& name : {std::string("song.mp3"), std::string(".quorvin-Ab3dE1.mp3"),
                                  "qvAudioTemp-" + ended + "-Ab3dE1.wav"}) {
    kept.push_back(Dest(name));
  }
  for (const std::string& path : removed) Touch(path);
  for (const std::string& path : kept) Touch(path);
  // A link or a folder with an ended instance's name is never followed or removed.
  const std::string precious = Dest("precious.txt");
  Touch(precious);
  fs::create_symlink(precious, Dest(".quorvin-" + ended + "-link00.mp3"));
  fs::create_directory(Dest(".quorvin-" + ended + "-dir000.mp3"));
  Touch(Dest(".quorvin-" + ended + "-dir000.mp3/inside.mp3"));
  // A file of another user is not ours to remove.
  const std::string foreign = Dest(".quorvin-" + ended + "-nobody.mp3");
  if (::getuid() == 0) {
    Touch(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  // This instance's own files.
  const std::string ownOutput = MakeHiddenOutput(Dest(), "wav");
  const std::string ownWav = MakeTempWavName();
  ASSERT_FALSE(ownOutput.empty());
  ASSERT_FALSE(ownWav.empty());
  kept.push_back(ownOutput);
  kept.push_back(ownWav);

  RemoveStaleTemporaries(Dest());
  RemoveStaleTemporaries(m_work);
  for (const std::string& path : removed) EXPECT_FALSE(fs::exists(path)) << path;
  for (const std::string& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_TRUE(fs::exists(precious));
  EXPECT_TRUE(fs::is_symlink(Dest(".quorvin-" + ended + "-link00.mp3")));
  EXPECT_TRUE(fs::exists(Dest(".quorvin-" + ended + "-dir000.mp3/inside.mp3")));
  if (::getuid() == 0) {
    EXPECT_TRUE(fs::exists(foreign));
  }
  // The ended instance's lock file goes with its files; the running one's stays.
  EXPECT_FALSE(fs::exists(Work("instance-" + ended + ".lock")));
  EXPECT_TRUE(fs::exists(Work("instance-" + running + ".lock")));
  EXPECT_TRUE(m_host.messages.empty());
  RemoveTemporary(ownOutput);
  RemoveTemporary(ownWav);
}

}  // namespace
}  // namespace qv
