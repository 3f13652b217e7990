#include "app/inifile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/tempdir.h"

namespace qv {
namespace {

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(IniFileTest, ReadsTrickyFilesLikeThePlatformReader) {
  test::TempDir dir;
  const std::string path = dir.file("q.ini");
  WriteFile(path,
            "\xEF\xBB\xBF"
            "orphan=before any section\r\n"
            "\r\n"
            "; a comment\r\n"
            "[other]\r\n"
            "FFMpegExe=/wrong\r\n"
            "  [ quorvin 1 ]  \r\n"
            "  ffmpegexe  =   /usr/bin/ffmpeg   \r\n"
            "FFMpegExe=/second/one\r\n"
            "FFMpegAud=\r\n"
            "quoted=\"  -vn -af \"x|y\"  \"\r\n"
            "noequals line\r\n"
            "long=" + std::string(5000, 'a') + "\r\n"
            "last=no line end");

  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "FFMpegExe", "x"), "/usr/bin/ffmpeg");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "FFMpegAud", "x"), "");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "quoted", "x"), "  -vn -af \"x|y\"  ");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "long", "x").size(), 5000u);
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "last", "x"), "no line end");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "orphan", "x"), "x");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "noequals line", "x"), "x");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "missing", "dflt"), "dflt");
  EXPECT_EQ(ReadProfileString(path, "absent", "FFMpegExe", "dflt"), "dflt");
  EXPECT_EQ(ReadProfileString(dir.file("none.ini"), "Quorvin 1", "FFMpegExe", "x"), "x");
}

TEST(IniFileTest, WriteReplacesOneKeyInPlaceAndKeepsEverythingElse) {
  test::TempDir dir;
  const std::string path = dir.file("q.ini");
  const std::string before =
      "\xEF\xBB\xBF; settings\r\n[Quorvin 1]\r\nFFMpegExe=/usr/bin/ffmpeg\r\n"
      "AUTOPLAYONOPEN = 1\r\n# keep me\r\n\r\n[Other]\r\nautoplayonopen=7\r\n";
  WriteFile(path, before);

  ASSERT_TRUE(WriteProfileString(path, "quorvin 1", "autoplayonopen", "0"));
  std::string expected = before;
  expected.replace(expected.find("AUTOPLAYONOPEN = 1"), 18, "autoplayonopen=0");
  EXPECT_EQ(ReadFile(path), expected);

  // A new key goes to the end of its own section, before the blank line and the next section.
  ASSERT_TRUE(WriteProfileString(path, "Quorvin 1", "SourceFilePath", "/home/u/My Music"));
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "SourceFilePath", "x"), "/home/u/My Music");
  EXPECT_NE(ReadFile(path).find("# keep me\r\nSourceFilePath=/home/u/My Music\r\n\r\n[Other]"),
            std::string::npos);
  EXPECT_EQ(ReadProfileString(path, "Other", "autoplayonopen", "x"), "7");
}

TEST(IniFileTest, WriteCreatesFileAndSectionAndRefusesUnsafeValues) {
  test::TempDir dir;
  const std::string path = dir.file("new.ini");
  ASSERT_TRUE(WriteProfileString(path, "Quorvin 1", "a", "1"));
  EXPECT_EQ(ReadFile(path), "[Quorvin 1]\na=1\n");

  WriteFile(path, "[Other]\nk=v");  // last line without a line end
  ASSERT_TRUE(WriteProfileString(path, "Quorvin 1", "a", "2"));
  EXPECT_EQ(ReadFile(path), "[Other]\nk=v\n[Quorvin 1]\na=2\n");

  // A line end in a value would smuggle in keys of its own.
  EXPECT_FALSE(WriteProfileString(path, "Quorvin 1", "a", "3\nFFMpegExe=/bin/evil"));
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "FFMpegExe", "x"), "x");
  EXPECT_EQ(ReadProfileString(path, "Quorvin 1", "a", "x"), "2");

  EXPECT_FALSE(WriteProfileString(dir.file("no/such/folder/q.ini"), "s", "k", "v"));
}

}  // namespace
}  // namespace qv
