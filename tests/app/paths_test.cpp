#include "app/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/inifile.h"
#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

void Touch(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Points TMPDIR at a test folder and routes ownerless messages to a scripted host.
class WorkingFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) m_oldTmp = old;
    ::setenv("TMPDIR", m_dir.str().c_str(), 1);
    SetOwnerlessHost(&m_host);
  }
  void TearDown() override {
    SetOwnerlessHost(nullptr);
    if (m_oldTmp.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
  }
  std::string OwnFolder() const {
    return m_dir.str() + "/quorvin-" + std::to_string(::getuid());
  }

  test::TempDir m_dir;
  test::ScriptedHost m_host;
  std::string m_oldTmp;
};

TEST_F(WorkingFolderTest, IsPrivateAndTempNamesAreClaimedWhenChosen) {
  std::string folder;
  ASSERT_TRUE(GetWorkingFolder(folder));
  EXPECT_EQ(folder, fs::canonical(OwnFolder()).string());
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Each name is a new empty private file of this instance, so no later call (or other
  // instance) can be given it again.
  const std::string prefix = folder + "/qvAudioTemp-" + InstanceId() + "-";
  const std::string first = MakeTempWavName(), second = MakeTempWavName();
  EXPECT_NE(first, second);
  for (const std::string& name : {first, second}) {
    EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    EXPECT_EQ(name.size(), prefix.size() + 6 + 4) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".wav");
    ASSERT_EQ(::lstat(name.c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RemoveTemporary(name);
    EXPECT_FALSE(fs::exists(name));
  }
  EXPECT_TRUE(m_host.messages.empty());
}

TEST_F(WorkingFolderTest, RefusesAFolderThatIsNotOurOwn) {
  // Another user (or a link planted by one) holding our name must not receive our files.
  ASSERT_EQ(::symlink(m_dir.str().c_str(), OwnFolder().c_str()), 0);
  std::string folder = "stale";
  EXPECT_FALSE(GetWorkingFolder(folder));
  EXPECT_EQ(folder, "");
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_NE(m_host.messages[0].text.find("not a folder of your own"), std::string::npos);
  EXPECT_EQ(MakeTempWavName(), "");

  if (::getuid() == 0) {  // only root can give a folder away
    ::unlink(OwnFolder().c_str());
    ASSERT_EQ(::mkdir(OwnFolder().c_str(), 0700), 0);
    ASSERT_EQ(::chown(OwnFolder().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(GetWorkingFolder(folder));
  }
}

TEST_F(WorkingFolderTest, MissingTempFolderIsReported) {
  ::setenv("TMPDIR", (m_dir.str() + "/gone/").c_str(), 1);
  std::string folder;
  EXPECT_FALSE(GetWorkingFolder(folder));
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text,
            "The System TEMP Directory does not exist:\n\n\t" + m_dir.str() +
                "/gone\n\nSorry, can't continue.");
}

TEST(PathsTest, PiecesOfAPath) {
  EXPECT_EQ(GetFileTitle("/a.b/song.final.mp3", false), "song.final");
  EXPECT_EQ(GetFileTitle("/a.b/song.final.mp3", true), "song.final.mp3");
  EXPECT_EQ(GetFileTitle("noslash", false), "noslash");
  EXPECT_EQ(GetFileTitle("", false), "");
  EXPECT_EQ(GetFolderPart("/music/a/track.mp3"), "/music/a");
  EXPECT_EQ(GetFolderPart("/track.mp3"), "/");
  EXPECT_EQ(GetFolderPart("track.mp3"), "track.mp3");

  EXPECT_EQ(GetLowerExtension("/Music/Track.MP3"), "mp3");
  EXPECT_EQ(GetLowerExtension("/Music/Track"), "");
  EXPECT_EQ(GetLowerExtension("/Música/Pista.FlAc"), "flac");
  EXPECT_TRUE(IsAudioFile("/v/clip.MP4"));
  EXPECT_TRUE(IsVideoFile("/v/clip.MP4"));
  EXPECT_TRUE(IsAudioFile("/x/a.cda"));
  EXPECT_FALSE(IsVideoFile("/x/a.mp3"));
  EXPECT_FALSE(IsAudioFile("/x/a.mp3.txt"));
  EXPECT_FALSE(IsAudioFile("/x/mp3"));

  std::string text = "/usr/";
  TrimTrailingBackslashes(text);
  EXPECT_EQ(text, "/usr");
  text = "///";
  TrimTrailingBackslashes(text);
  EXPECT_EQ(text, "/");
  EXPECT_TRUE(IsDriveRoot("/"));
  EXPECT_FALSE(IsDriveRoot("/x"));
  text = "";
  AddRootBackslash(text);
  EXPECT_EQ(text, "/");
  text = "/x";
  AddRootBackslash(text);
  EXPECT_EQ(text, "/x");
}

TEST(PathsTest, FileAndFolderTests) {
  test::TempDir dir;
  std::string buffer = dir.str() + "/";
  EXPECT_TRUE(FolderExists(&buffer));
  EXPECT_EQ(buffer, dir.str());
  buffer = "/";
  EXPECT_TRUE(FolderExists(&buffer));
  EXPECT_EQ(buffer, "/");
  const std::string view = dir.str() + "/";
  EXPECT_TRUE(FolderExists(std::string_view(view)));
  EXPECT_FALSE(FolderExists(std::string_view(dir.file("missing"))));

  Touch(dir.file("empty.mp3"), "");
  Touch(dir.file("full.mp3"), "x");
  EXPECT_FALSE(FileExistsNonEmpty(dir.file("empty.mp3")));
  EXPECT_TRUE(FileExistsNonEmpty(dir.file("full.mp3")));
  EXPECT_FALSE(FileExistsNonEmpty(dir.str()));
  EXPECT_FALSE(FolderExists(std::string_view(dir.file("full.mp3"))));

  EXPECT_TRUE(WriteTextFile(dir.file("t.txt"), "line"));
  std::ifstream in(dir.file("t.txt"));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "line\n");
  EXPECT_FALSE(WriteTextFile(dir.file("no/such/t.txt"), "line"));
}

TEST(PathsTest, FolderSettingsAndChosenFolders) {
  test::TempDir dir;
  Settings().ConfigFilePath = dir.file("q.ini");
  EXPECT_EQ(ReadFolderSetting("SourceFolder"), HomeFolder());
  ASSERT_TRUE(WriteProfileString(Settings().ConfigFilePath, "Quorvin 1", "SourceFolderPath",
                                 "/data/Music/"));
  EXPECT_EQ(ReadFolderSetting("SourceFolder"), "/data/Music");
  ASSERT_TRUE(WriteProfileString(Settings().ConfigFilePath, "Quorvin 1", "SourceFolderPath", "/"));
  EXPECT_EQ(ReadFolderSetting("SourceFolder"), "/");

  test::ScriptedHost host;
  EXPECT_EQ(ValidateChosenFolder(&host, dir.str() + "/"), dir.str());
  EXPECT_EQ(ValidateChosenFolder(&host, dir.file("missing")), "");
  EXPECT_EQ(ValidateChosenFolder(&host, ""), "");
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].type, MB_ICONEXCLAMATION | MB_OK);
  EXPECT_EQ(host.messages[0].text,
            "The chosen path can not be used to store computer files.  Please pick a directory "
            "that is on a physical hard drive.");
  Settings() = AppSettings();
}

TEST(PathsTest, ShellQuoteSurvivesTheShell) {
  const std::string nasty = "it's a \"song\" $(rm -rf x) `id` \\ ; & | * ?.mp3";
  const std::string command = "printf %s " + ShellQuote(nasty);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[256] = {};
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, pipe);
  ::pclose(pipe);
  EXPECT_EQ(std::string(buffer, n), nasty);
}

}  // namespace
}  // namespace qv
