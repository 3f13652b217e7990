#include "app/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/inifile.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

// Runs the start-up checks against a configuration in a private APPDATA folder.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings() = AppSettings();
    ::setenv("APPDATA", m_dir.str().c_str(), 1);
    ::setenv("TMPDIR", m_dir.str().c_str(), 1);
    SetOwnerlessHost(&m_host);
    std::ofstream(m_dir.file("tool"), std::ios::binary) << "#!/bin/sh\n";
    std::ofstream(m_dir.file("emptytool"), std::ios::binary);
  }
  void TearDown() override {
    SetOwnerlessHost(nullptr);
    ::unsetenv("APPDATA");
    ::unsetenv("TMPDIR");
    Settings() = AppSettings();
  }
  std::string ConfigPath() const { return m_dir.str() + "/Quorvin 1/Quorvin1.ini"; }
  void WriteConfig(const std::string& body) {
    std::filesystem::create_directories(m_dir.str() + "/Quorvin 1");
    std::ofstream(ConfigPath(), std::ios::binary) << "[Quorvin 1]\n" << body;
  }
  std::string Message(const char* format) const { return FormatText(format, ConfigPath().c_str()); }

  test::TempDir m_dir;
  test::ScriptedHost m_host;
};

TEST_F(StartupTest, FirstProblemStopsWithItsMessage) {
  struct Case {
    std::string config;
    const char* message;
  };
  const std::string tool = m_dir.file("tool");
  const Case cases[] = {
      {"", "Can't initialize the ffmpeg path from:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=xbin/ffmpeg\n", "Can't initialize the ffmpeg path from:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=" + m_dir.file("missing") + "\nFFMpegAud=\n",
       "Can't find the ffmpeg executable, specified in:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=" + m_dir.file("emptytool") + "\n",
       "Can't find the ffmpeg executable, specified in:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=" + tool + "\n",
       "Can't initialize the ffmpeg audio options from:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=" + tool + "\nFFMpegAud=\n",
       "Can't initialize the faac path from:\n\n   %s\n\nSorry, can't continue."},
      {"FFMpegExe=" + tool + "\nFFMpegAud=-vn\nFAACExe=" + m_dir.str() + "\n",
       "Can't find the faac executable, specified in:\n\n   %s\n\nSorry, can't continue."},
  };
  for (const Case& c : cases) {
    m_host.messages.clear();
    WriteConfig(c.config);
    EXPECT_FALSE(RunStartupChecks()) << c.config;
    ASSERT_EQ(m_host.messages.size(), 1u) << c.config;
    EXPECT_EQ(m_host.messages[0].text, Message(c.message));
    EXPECT_EQ(m_host.messages[0].type, MB_ICONERROR);
  }
}

TEST_F(StartupTest, GoodConfigurationFillsTheSettings) {
  const std::string tool = m_dir.file("tool");
  const std::pair<const char*, int> autoPlay[] = {
      {"", 1}, {"autoplayonopen=0\n", 0}, {"autoplayonopen=no\n", 1},
      {"autoplayonopen=1\n", 1}, {"autoplayonopen=true\n", 1}, {"autoplayonopen=x0\n", 1}};
  for (const auto& [line, expected] : autoPlay) {
    Settings() = AppSettings();
    WriteConfig("FFMpegExe=" + tool + "\nFFMpegAud=\nFAACExe=" + tool + "\n" + line);
    ASSERT_TRUE(RunStartupChecks()) << line;
    EXPECT_EQ(Settings().AutoPlayOnOpen, expected) << line;
  }
  EXPECT_TRUE(m_host.messages.empty());
  EXPECT_EQ(Settings().ConfigFilePath, ConfigPath());
  EXPECT_EQ(Settings().FfmpegPath, tool);
  EXPECT_EQ(Settings().FfmpegAudioOptions, "");
  EXPECT_EQ(Settings().FaacPath, tool);
  const std::string working =
      std::filesystem::canonical(m_dir.str() + "/quorvin-" + std::to_string(::getuid()));
  EXPECT_EQ(Settings().LogFilePath, working + "/QV_Log.txt");
}

// The first start of a user has no configuration file at all: the program writes the working
// defaults itself and goes on. A file that exists is never rewritten, however incomplete.
TEST_F(StartupTest, FirstStartWritesTheDefaultsAndGoesOn) {
  // A fake ffmpeg on PATH and an installed layout with qvfaac beside the program.
  const std::string bin = m_dir.file("bin");
  std::filesystem::create_directories(bin);
  std::ofstream(bin + "/ffmpeg", std::ios::binary) << "#!/bin/sh\n";
  std::filesystem::permissions(bin + "/ffmpeg", std::filesystem::perms::owner_all);
  std::ofstream(bin + "/qvfaac", std::ios::binary) << "#!/bin/sh\n";
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  ::setenv("PATH", (m_dir.file("nothing-here") + ":" + bin).c_str(), 1);

  const bool started = RunStartupChecks(bin);
  ::setenv("PATH", savedPath.c_str(), 1);
  ASSERT_TRUE(started);
  EXPECT_TRUE(m_host.messages.empty());
  std::ifstream in(ConfigPath(), std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, "[Quorvin 1]\nFFMpegExe=" + bin + "/ffmpeg\n"
                     "FFMpegAud=-vn -sn -acodec pcm_s16le -af \"aformat=channel_layouts=mono|stereo\"\n"
                     "FAACExe=" + bin + "/qvfaac\nautoplayonopen=1\n");
  EXPECT_EQ(Settings().FfmpegPath, bin + "/ffmpeg");
  EXPECT_EQ(Settings().FaacPath, bin + "/qvfaac");
  EXPECT_EQ(Settings().FfmpegAudioOptions, kDefaultFfmpegAudioOptions);

  // The build folder's layout: the program in src/ui, qvfaac in src/qvfaac.
  EXPECT_FALSE(WriteDefaultConfiguration(ConfigPath(), bin));  // exists: never rewritten
  const std::string build = m_dir.file("build/src");
  std::filesystem::create_directories(build + "/ui");
  std::filesystem::create_directories(build + "/qvfaac");
  std::ofstream(build + "/qvfaac/qvfaac", std::ios::binary) << "#!/bin/sh\n";
  const std::string second = m_dir.file("second.ini");
  ASSERT_TRUE(WriteDefaultConfiguration(second, build + "/ui"));
  EXPECT_EQ(ReadProfileString(second, "Quorvin 1", "FAACExe", ""), build + "/qvfaac/qvfaac");

  // An existing but incomplete file still stops with its message, and is left as it was.
  m_host.messages.clear();
  WriteConfig("FFMpegExe=" + bin + "/ffmpeg\n");
  EXPECT_FALSE(RunStartupChecks(bin));
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text, Message("Can't initialize the ffmpeg audio options from:\n\n   %s\n\nSorry, can't continue."));
  EXPECT_EQ(ReadProfileString(ConfigPath(), "Quorvin 1", "FAACExe", "none"), "none");
}

TEST_F(StartupTest, DataFolderFollowsTheEnvironment) {
  EXPECT_EQ(MakeAppDataFolder("Quorvin 1"), m_dir.str() + "/Quorvin 1");
  EXPECT_TRUE(std::filesystem::is_directory(m_dir.str() + "/Quorvin 1"));
  ::unsetenv("APPDATA");
  ::setenv("XDG_CONFIG_HOME", (m_dir.str() + "/xdg/").c_str(), 1);
  EXPECT_EQ(MakeAppDataFolder("Quorvin 1"), m_dir.str() + "/xdg/Quorvin 1");
  EXPECT_TRUE(std::filesystem::is_directory(m_dir.str() + "/xdg/Quorvin 1"));
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(ShowMessageTest, QuietModeLogsAndAnswersWithoutABox) {
  test::TempDir dir;
  test::ScriptedHost host;
  const std::string log = dir.file("QV_Log.txt");
  MessagesLogged = 0;
  EXPECT_EQ(ShowMessage(&host, 1, log, MB_YESNOCANCEL, "Failed %s (%d)", "a.mp3", 5), IDNO);
  EXPECT_EQ(ShowMessage(&host, 1, log, MB_OK, "second"), IDCANCEL);
  EXPECT_EQ(MessagesLogged, 1);
  EXPECT_TRUE(host.messages.empty());

  host.answers.push_back(IDYES);
  EXPECT_EQ(ShowMessage(&host, 0, log, MB_YESNO, "%s", "ask"), IDYES);
  EXPECT_EQ(ShowMessage(&host, 0, {}, MB_YESNO | MB_DEFBUTTON2, "again"), IDNO);
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].text, "ask");

  std::ifstream in(log, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "\nFailed a.mp3 (5)\n\n---\n\nsecond\n\n---\n\nask\n\n---\n");

  // Long texts are never cut.
  const std::string longText(5000, 'z');
  EXPECT_EQ(FormatText("%s!", longText.c_str()), longText + "!");
  MessagesLogged = 0;
}

}  // namespace
}  // namespace qv
