// Reading quorvin-cli's command line, and the progress line it draws from the status text.

#include "cli/cliarguments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <vector>

#include "cli/consolehost.h"
#include "cli/jsonline.h"

namespace qv::cli {
namespace {

ParseResult Parse(std::vector<const char*> words, CliArguments& arguments, std::string& error) {
  words.insert(words.begin(), "quorvin-cli");
  return ParseArguments(static_cast<int>(words.size()), words.data(), arguments, error);
}

TEST(CliArguments, ValuesFlagsAndPaths) {
  CliArguments a;
  std::string error;
  ASSERT_EQ(Parse({"--format", "MP3", "--bitrate=256", "--dest", "/out", "--recursive",
                   "--normalize", "--target", "92", "a b.wav", "--", "--list", "-"},
                  a, error),
            ParseResult::Run)
      << error;
  EXPECT_EQ(a.format, "mp3");
  EXPECT_EQ(a.bitrate, 256);
  EXPECT_EQ(a.dest, "/out");
  EXPECT_TRUE(a.recursive);
  EXPECT_TRUE(a.normalize);
  EXPECT_TRUE(a.loudness);  // implied by --normalize
  EXPECT_EQ(a.target, "92");
  EXPECT_FALSE(a.list);     // after "--" it is a file name
  EXPECT_EQ(a.paths, (std::vector<std::string>{"a b.wav", "--list", "-"}));

  CliArguments flac;  // level 0 is a FLAC compression level, given before the format
  ASSERT_EQ(Parse({"--bitrate", "0", "--format", "FLAC", "a.wav"}, flac, error), ParseResult::Run)
      << error;
  EXPECT_EQ(flac.bitrate, 0);

  // Short options as GNU tools take them: bundled, with the value joined or apart.
  struct Short {
    std::vector<const char*> words;
    int jobs;
    bool quiet, verbose;
  } shorts[] = {{{"-qj2", "a.wav"}, 2, true, false},
                {{"a.wav", "-v", "-j", "3"}, 3, false, true},
                {{"-j4", "--verbose", "a.wav"}, 4, false, true},
                {{"--jobs=5", "--quiet", "a.wav"}, 5, true, false}};
  for (const Short& c : shorts) {
    CliArguments parsed;
    ASSERT_EQ(Parse(c.words, parsed, error), ParseResult::Run) << error;
    EXPECT_EQ(parsed.jobs, c.jobs);
    EXPECT_EQ(parsed.quiet, c.quiet);
    EXPECT_EQ(parsed.verbose, c.verbose);
    EXPECT_EQ(parsed.paths, std::vector<std::string>{"a.wav"});
  }

  CliArguments defaults;
  ASSERT_EQ(Parse({"x.flac"}, defaults, error), ParseResult::Run);
  EXPECT_EQ(defaults.format, "wav");
  EXPECT_FALSE(defaults.bitrate);
  EXPECT_FALSE(defaults.loudness);
}

TEST(CliArguments, UsageErrorsSayWhatIsWrong) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{}, "no file or folder given"},
      {{"--format", "ape", "a.wav"},
       "unknown format 'ape' (valid: wav, mp3, aac, mp4, m4a, wma, flac, opus, ogg)"},
      {{"--bitrate", "9", "--format", "flac", "a.wav"},
       "--bitrate takes a FLAC compression level from 0 to 8 for flac, not '9'"},
      {{"--format", "mp3", "--bitrate", "0", "a.wav"},
       "--bitrate takes a whole number of kbps, not '0'"},
      {{"--bitrate", "12x", "a.wav"}, "--bitrate takes a whole number of kbps, not '12x'"},
      {{"--bitrate", "-5", "a.wav"}, "--bitrate takes a whole number of kbps, not '-5'"},
      {{"a.wav", "--dest"}, "--dest needs a value"},
      {{"--list=yes", "a.wav"}, "--list takes no value"},
      {{"--frobnicate", "a.wav"}, "unknown option '--frobnicate'"},
      {{"--dest", "/x", "--same-folder", "a.wav"}, "--dest and --same-folder exclude each other"},
      {{"-qx", "a.wav"}, "unknown option '-x'"},
      {{"a.wav", "-j"}, "-j needs a value"},
      {{"-j", "0", "a.wav"}, "--jobs takes a number of files from 1 to 64, not '0'"},
      {{"-q", "-v", "a.wav"}, "--quiet and --verbose exclude each other"},
  };
  for (const auto& [words, message] : cases) {
    CliArguments a;
    std::string error;
    EXPECT_EQ(Parse(words, a, error), ParseResult::UsageError) << message;
    EXPECT_EQ(error, message);
  }
  CliArguments a;
  std::string error;
  EXPECT_EQ(Parse({"a.wav", "--help"}, a, error), ParseResult::Help);
  EXPECT_EQ(Parse({"--version"}, a, error), ParseResult::Version);
  EXPECT_EQ(Parse({"-h"}, a, error), ParseResult::Help);
  EXPECT_EQ(Parse({"-V"}, a, error), ParseResult::Version);
}

TEST(ConsoleProgress, StatusTextFromTheBatchProgress) {
  BatchProgress several;
  several.operation = "Converting";
  several.rowCount = 12;
  several.filesDone = 3;
  several.percent = 41;
  EXPECT_EQ(StatusTextOf(several), "Converting...  3 of 12 files done - 41%");
}

TEST(ConsoleProgress, TerminalLineFitsItsWidthWithOnePercentSign) {
  BatchProgress p;
  p.operation = "Converting";
  p.rowCount = 12;
  p.filesDone = 3;
  p.percent = 25;
  p.runningFiles = {"100% ünïcode.flac", "b\tc.wav"};
  EXPECT_EQ(ConsoleHost::TerminalLine(p, 30, 200),
            "Converting 25% [#####---------------] 3/12 done, 1:30 left: 100? ünïcode.flac, b?c.wav");
  for (int width : {20, 40, 61, 80}) {
    const std::string line = ConsoleHost::TerminalLine(p, 30, width);
    size_t columns = 0;
    for (unsigned char c : line) columns += (c & 0xC0) != 0x80;
    EXPECT_LE(columns, static_cast<size_t>(width - 1)) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '%'), 1) << line;
  }
  p.percent = 0;  // nothing to estimate the time left from yet
  EXPECT_NE(ConsoleHost::TerminalLine(p, 0, 200).find("--:-- left"), std::string::npos);
}

TEST(JsonLineTest, StringsAreAlwaysValidJson) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(JsonString("\xc3\xa9 \xff \xc0\xaf \xed\xa0\x80"),
            "\"\xc3\xa9 \\ufffd \\ufffd\\ufffd \\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonLine().Text("k", "v").Number("n", 1.5).Number("inf", 1.0 / 0.0).Bool("b", true).str(),
            "{\"k\":\"v\",\"n\":1.5,\"inf\":null,\"b\":true}");
}

TEST(ConsoleHostTest, QuestionsAnswerNoAndCancelSignalsStopTheBatch) {
  BatchState batch;
  ConsoleHost host(batch, false);
  EXPECT_EQ(host.ShowMessageBox("Abort the batch job?", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(host.ShowMessageBox("Open the log?", MB_YESNO), IDNO);
  EXPECT_EQ(host.ShowMessageBox("Done.", MB_OK), IDOK);
  EXPECT_EQ(host.MessagesShown(), 3);

  // The first SIGINT works as a confirmed Cancel at the next pump.
  batch.BatchInProgress = 1;
  InstallCancelSignals();
  host.PumpMessages();
  EXPECT_EQ(batch.CancelRequested, 0);
  ::raise(SIGINT);
  host.PumpMessages();
  EXPECT_TRUE(host.CancelSeen());
  EXPECT_EQ(batch.CancelRequested, 1);
  EXPECT_EQ(batch.BatchInProgress, 0);
}

}  // namespace
}  // namespace qv::cli
