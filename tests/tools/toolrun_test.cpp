// The tool run: progress and duration parsing, the run under a progress view with a stand-in
// tool of ours (progress values, cancel, a tool that never starts, a failing tool), and the
// real ffmpeg program extracting a generated video's sound track under hostile file names.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/settings.h"
#include "audio/audiotestutil.h"
#include "audio/bass.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"
#include "tools/childprocess.h"
#include "tools/consolepipe.h"
#include "tools/extract.h"
#include "tools/toolprogress.h"
#include "tooltestutil.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAudioOptions =
    "-vn -sn -acodec pcm_s16le -af \"aformat=channel_layouts=mono|stereo\"";

TEST(ToolTimeTest, ProgressTimes) {
  const struct {
    const char* chunk;
    double seconds;
  } cases[] = {
      {"frame=  1 size=     1kB time=00:01:30.50 bitrate=1411.2kbits/s\r", 90.5},
      {"size=  1kB time=45.20 bitrate=N/A", 45.2},
      {"size=  1kB time=100:00:01.00 bitrate=N/A", 360001.0},  // more than two hour digits
      {"size=  1kB time=00:00:02.00 x\rsize=  1kB time=00:00:03.00 x\r", 2.0},  // the first
      {"size=  1kB time=01:00:00.00\r", 3600.0},
      {"no progress here", 0},
      {"time=00:00:05.00 at the start has no blank before it", 0},
      {"size=N/A time=N/A bitrate=N/A", 0},
      {"size=  0kB time=-00:00:00.02 bitrate=N/A", 0},  // before the start
      {"size=  1kB time=00:01:3", 0},                   // cut by the end of the chunk
      {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chunk);
    EXPECT_NEAR(ParseToolTime(c.chunk), c.seconds, 1e-9);
  }
}

TEST(ToolTimeTest, DurationLine) {
  double seconds = -1;
  EXPECT_TRUE(ParseToolDuration("Input #0, mov, from 'a.mp4':\n  Duration: 00:02:05.48, start: "
                                "0.000000, bitrate: 120 kb/s\n",
                                seconds));
  EXPECT_NEAR(seconds, 125.48, 1e-9);
  EXPECT_TRUE(ParseToolDuration("Duration: 00:00:05.00, bitrate: 1411 kb/s", seconds));
  EXPECT_NEAR(seconds, 5.0, 1e-9);
  // The same words in a file name or a tag are not the header line.
  EXPECT_TRUE(ParseToolDuration("Input #0, wav, from 'x Duration: 01:00:00.00.wav':\n"
                                "    comment : Duration: 02:00:00.00\n"
                                "  Duration: 00:00:07.25, bitrate: 1411 kb/s\n",
                                seconds));
  EXPECT_NEAR(seconds, 7.25, 1e-9);
  seconds = -1;
  EXPECT_FALSE(ParseToolDuration("  Duration: N/A, start: 0.000000, bitrate: N/A\n", seconds));
  EXPECT_FALSE(ParseToolDuration("  Duration: 00:00:00.00, start: 0.000000\n", seconds));
  EXPECT_FALSE(ParseToolDuration("no header at all\n", seconds));
  EXPECT_FALSE(ParseToolDuration("  Duration: 00:0", seconds));
  EXPECT_EQ(seconds, -1);
}

TEST(ToolTimeTest, FileArgumentsAreNeverProtocolsOrOptions) {
  EXPECT_EQ(ToolFileArgument("/videos/a:b.mp4"), "/videos/a:b.mp4");
  EXPECT_EQ(ToolFileArgument("clip.mp4"), "clip.mp4");
  EXPECT_EQ(ToolFileArgument("concat:a.mp4|b.mp4"), "./concat:a.mp4|b.mp4");
  EXPECT_EQ(ToolFileArgument("-y.wav"), "./-y.wav");
}

TEST(ToolBannerTest, TheRealProgramsBannerIsLeftOut) {
  CMyConsolePipe pipe(true, nullptr, 0);
  ASSERT_EQ(pipe.Execute(ShellQuote(QV_FFMPEG) + " -i /nonexistent/clip.mp4"), 0);
  ASSERT_TRUE(WaitUntil([&] { return pipe.Finished(); }));
  ASSERT_NE(ToolOutputText().find("ffmpeg version"), std::string::npos);
  EXPECT_EQ(StripToolBanner(ToolOutputText()),
            "/nonexistent/clip.mp4: No such file or directory\n");
}

TEST(ToolBannerTest, OtherOutputs) {
  // No banner (the options may hide it, or the shell complains): everything is shown.
  EXPECT_EQ(StripToolBanner("sh: 1: /x/ffmpeg: not found\n"), "sh: 1: /x/ffmpeg: not found\n");
  EXPECT_EQ(StripToolBanner("a: Invalid data\nbuilt on sand.mp4: error\n"),
            "a: Invalid data\nbuilt on sand.mp4: error\n");
  // An older banner that ends in a "built on" line.
  EXPECT_EQ(StripToolBanner("FFmpeg version 0.6, Copyright (c) 2000-2010 the FFmpeg developers\n"
                            "  built on Jun 12 2010 10:00:00 with gcc 4.4.3\n"
                            "  configuration: --enable-gpl\n"
                            "  libavutil     50.15. 1 / 50.15. 1\n"
                            "x.avi: Invalid data found when processing input\n"),
            "x.avi: Invalid data found when processing input\n");
  // Progress lines end in carriage returns; they become lines of the report.
  EXPECT_EQ(StripToolBanner("ffmpeg version 5.1 Copyright (c) 2000-2022 the FFmpeg developers\n"
                            "size=1kB time=00:00:01.00 \rsize=2kB time=00:00:02.00 \r\n"
                            "Error writing trailer\n"),
            "size=1kB time=00:00:01.00 \nsize=2kB time=00:00:02.00 \nError writing trailer\n");
  EXPECT_EQ(StripToolBanner(""), "");
}

class ToolRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedSettings = Settings();
    fs::create_directories(m_dir.path() / "bin");
    // Named as the real program, so a process of the same name can be told apart.
    m_tool = (m_dir.path() / "bin" / "ffmpeg").string();
    fs::copy_file(QV_FAKE_FFMPEG, m_tool);
    fs::permissions(m_tool, fs::perms::owner_all);
    Settings().FfmpegPath = m_tool;
    Settings().FfmpegAudioOptions = kAudioOptions;
    ASSERT_TRUE(GetWorkingFolder(m_work));
  }
  void TearDown() override {
    Settings() = m_savedSettings;
  }

  // A source file for the stand-in tool (it only needs the file to exist).
  std::string MakeInput(const std::string& name) {
    const std::string path = m_dir.file(name);
    WriteTestWav16(path, 8000, 1, 800);
    return path;
  }

  ToolRunRequest Request(const std::string& input, const std::string& output) {
    ToolRunRequest request;
    request.title = "Extracting Audio From Video";
    request.caption = "Importing:";
    request.subject = "\"" + input + "\" to Temp File";
    request.scriptName = kExtractScriptName;
    request.inputPath = input;
    request.outputPath = output;
    request.toolOptions = kAudioOptions;
    return request;
  }

  // The working folder's files whose names begin with `base` + "-" + this instance's id.
  std::vector<std::string> WorkingFiles(const std::string& base) const {
    std::vector<std::string> found;
    const std::string prefix = base + "-" + InstanceId() + "-";
    for (const auto& entry : fs::directory_iterator(m_work)) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(entry.path().string());
    }
    return found;
  }

  TempDir m_dir;
  ScopedEnv m_tmpdir{"TMPDIR", m_dir.str()};
  std::string m_work;
  std::string m_tool;
  AppSettings m_savedSettings;
};

TEST_F(ToolRunTest, ProgressValuesAndTextsFollowTheToolsLines) {
  ScopedEnv times("FAKE_TIMES", "00:00:10.00 00:01:30.50");
  const std::string input = MakeInput("in 'one' $x.wav");
  const std::string output = m_dir.file("out \"1\".wav");
  RecordingView view;
  std::vector<std::string> scripts;  // as they are while the tool runs
  view.onProgress = [&] {
    for (const std::string& path : WorkingFiles(kExtractScriptName)) {
      scripts.push_back(ReadFile(path));
    }
  };
  EXPECT_EQ(RunToolWithProgress(Request(input, output), view), kToolEnded);
  EXPECT_EQ(view.title, "Extracting Audio From Video");
  EXPECT_EQ(view.caption, "Importing:");
  EXPECT_EQ(view.subject, "\"" + input + "\" to Temp File");
  EXPECT_EQ(view.shown, 1);
  ASSERT_EQ(view.positions.size(), 3u);  // reset to 0, then one per progress line
  EXPECT_EQ(view.positions[0], 0);
  EXPECT_EQ(view.positions[1], 555);
  EXPECT_EQ(view.positions[2], 5027);
  ASSERT_EQ(view.texts.size(), 2u);
  EXPECT_EQ(view.texts[0], "10.0 of 180.0 Seconds");
  EXPECT_EQ(view.texts[1], "90.5 of 180.0 Seconds");
  EXPECT_EQ(ReadFile(output), "RIFFfake");
  // The script: one of this instance's own, every path quoted, the options as written; it and
  // the duration query's script are gone once the run has ended.
  ASSERT_EQ(scripts.size(), 3u);
  EXPECT_EQ(scripts[0], ShellQuote(m_tool) + " -y -i " + ShellQuote(input) + " " +
                            kAudioOptions + " " + ShellQuote(output) + "\n");
  EXPECT_TRUE(WorkingFiles(kExtractScriptName).empty());
  EXPECT_TRUE(WorkingFiles(kDurationScriptName).empty());
}

TEST_F(ToolRunTest, TimesBeyondOrWithoutADurationFillTheBar) {
  {
    ScopedEnv times("FAKE_TIMES", "00:03:05.00");
    RecordingView view;
    EXPECT_EQ(RunToolWithProgress(Request(MakeInput("a.wav"), m_dir.file("a-out.wav")), view),
              kToolEnded);
    ASSERT_EQ(view.positions.size(), 2u);
    EXPECT_EQ(view.positions[1], 10000);
    EXPECT_EQ(view.texts.at(0), "185.0 of 180.0 Seconds");
  }
  {
    // Without a duration the total stays 1.0 and the run goes on.
    ScopedEnv duration("FAKE_DURATION", "N/A");
    ScopedEnv times("FAKE_TIMES", "45.20");
    RecordingView view;
    const std::string output = m_dir.file("b-out.wav");
    EXPECT_EQ(RunToolWithProgress(Request(MakeInput("b.wav"), output), view), kToolEnded);
    EXPECT_EQ(view.texts.at(0), "45.2 of 1.0 Seconds");
    EXPECT_EQ(view.positions.back(), 10000);
    EXPECT_TRUE(FileExistsNonEmpty(output));
  }
}

TEST_F(ToolRunTest, CancelEndsOnlyOurToolAndLeavesNoOutput) {
  ScopedEnv mode("FAKE_MODE", "hang");
  const std::string input = MakeInput("c.wav");
  // A process of the same name that this run did not start.
  ChildProcess other;
  ASSERT_EQ(other.Start("FAKE_PIDFILE=" + ShellQuote(m_dir.file("other.pid")) + " exec " +
                            ShellQuote(m_tool) + " -y -i " + ShellQuote(input) + " " +
                            ShellQuote(m_dir.file("other.wav")),
                        true),
            ChildProcess::StartResult::Started);
  ASSERT_TRUE(WaitUntil([&] { return ProcessAlive(ReadPid(m_dir.file("other.pid"))); }));
  const long otherPid = ReadPid(m_dir.file("other.pid"));
  ASSERT_EQ(ReadFile("/proc/" + std::to_string(otherPid) + "/comm"), "ffmpeg\n");

  ScopedEnv pidFile("FAKE_PIDFILE", m_dir.file("ours.pid"));
  const std::string output = m_dir.file("c-out.wav");
  RecordingView view;
  view.onProgress = [&] {
    if (view.positions.back() > 0) view.RequestCancel();  // the tool is at work
  };
  std::atomic<int> cancel{0};
  ToolRunRequest request = Request(input, output);
  request.cancel = &cancel;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunToolWithProgress(request, view), kToolCancelled);
  EXPECT_LT(ElapsedMs(start), 10000);
  EXPECT_FALSE(fs::exists(output));
  EXPECT_EQ(cancel.load(), 1);  // left raised for the operation the run belongs to
  EXPECT_GE(view.pumps, 300);
  EXPECT_FALSE(ProcessAlive(ReadPid(m_dir.file("ours.pid"))));
  EXPECT_TRUE(ProcessAlive(otherPid));
  other.Terminate();
}

TEST_F(ToolRunTest, CancelDuringTheDurationQueryEndsItToo) {
  // A tool stuck before its header (here: opening a FIFO nobody writes) must not outlast a
  // cancel.
  const std::string fifo = m_dir.file("stuck.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string stuck = m_dir.file("bin/stuck");
  std::ofstream(stuck) << "#!/bin/sh\necho $$ > \"$2.pid\"\nexec cat \"$2\"\n";
  fs::permissions(stuck, fs::perms::owner_all);
  Settings().FfmpegPath = stuck;
  // The cancel comes from the event loop once the tool waits.
  std::atomic<int> cancel{0};
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (ProcessAlive(ReadPid(fifo + ".pid"))) cancel = 1;
  });
  poll.start(10);
  double seconds = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(QueryMediaDuration(nullptr, fifo, seconds, cancel));
  EXPECT_LT(ElapsedMs(start), 10000);
  EXPECT_EQ(cancel.load(), 1);  // left for the run loop, which then cancels at once
  EXPECT_FALSE(ProcessAlive(ReadPid(fifo + ".pid")));
}

TEST_F(ToolRunTest, AToolThatNeverStartsEndsTheRunAndIsReported) {
  Settings().FfmpegPath = m_dir.file("no such folder/ffmpeg");
  const std::string output = m_dir.file("d-out.wav");
  RecordingView view;
  EXPECT_EQ(RunToolWithProgress(Request(MakeInput("d.wav"), output), view), kToolFailed);
  EXPECT_FALSE(fs::exists(output));

  ScriptedHost host;
  const ToolRunner runner = [&](const ToolRunRequest& request) {
    RecordingView extractionView;
    return RunToolWithProgress(request, extractionView);
  };
  EXPECT_FALSE(ExtractAudioFromVideo(host, runner, MakeInput("d.mp4"), output));
  ASSERT_EQ(host.messages.size(), 1u);
  const std::string heading =
      "The conversion command failed.  The output from the converter is:\n\n";
  EXPECT_EQ(host.messages[0].text.substr(0, heading.size()), heading);
  // The shell's complaint is shown, not an empty report.
  EXPECT_NE(host.messages[0].text.find("not found"), std::string::npos) << host.messages[0].text;
  EXPECT_EQ(host.messages[0].type, MB_OK);
}

// A tool that fails, with no output or after writing part of it (a full disk), fails the
// extraction whatever the file holds, and its own words are shown.
TEST_F(ToolRunTest, AFailingToolIsReportedWithoutItsBanner) {
  for (const char* mode : {"fail", "full"}) {
    SCOPED_TRACE(mode);
    ScopedEnv fakeMode("FAKE_MODE", mode);
    for (const std::string& report : WorkingFiles(kToolErrorReportName)) fs::remove(report);
    ScriptedHost host;
    int result = -1;
    const ToolRunner runner = [&](const ToolRunRequest& request) {
      RecordingView view;
      return result = RunToolWithProgress(request, view);
    };
    const std::string output = m_dir.file(std::string(mode) + "-out.wav");
    EXPECT_FALSE(ExtractAudioFromVideo(host, runner, MakeInput("e.mp4"), output));
    EXPECT_EQ(result, kToolFailed);
    ASSERT_EQ(host.messages.size(), 1u);
    const std::string& text = host.messages[0].text;
    EXPECT_NE(text.find("Conversion failed!"), std::string::npos) << text;
    EXPECT_NE(text.find("Input #0"), std::string::npos) << text;
    EXPECT_EQ(text.find("No space left on device") != std::string::npos,
              std::string(mode) == "full")
        << text;
    for (const char* banner : {"ffmpeg version", "built with", "configuration:", "libavutil"}) {
      EXPECT_EQ(text.find(banner), std::string::npos) << banner;
    }
    // The whole output is kept in a report of this instance in the working folder.
    const std::vector<std::string> reports = WorkingFiles(kToolErrorReportName);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(ReadFile(reports[0]).find("ffmpeg version"), std::string::npos);
  }
}

TEST_F(ToolRunTest, ACancelledExtractionDeletesTheWavAndSaysSo) {
  ScriptedHost host;
  const std::string output = m_dir.file("f-out.wav");
  ToolRunRequest seen;
  const ToolRunner runner = [&](const ToolRunRequest& request) {
    seen = request;
    std::ofstream(request.outputPath) << "partial";
    return kToolCancelled;
  };
  const std::string video = m_dir.file("f.mp4");
  EXPECT_FALSE(ExtractAudioFromVideo(host, runner, video, output));
  EXPECT_FALSE(fs::exists(output));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "Import cancelled.");
  EXPECT_EQ(host.messages[0].type, MB_OK);
  EXPECT_EQ(seen.title, "Extracting Audio From Video");
  EXPECT_EQ(seen.caption, "Importing:");
  EXPECT_EQ(seen.subject, "\"" + video + "\" to Temp File");
  EXPECT_EQ(seen.scriptName, kExtractScriptName);
  EXPECT_EQ(seen.toolOptions, kAudioOptions);
}

TEST_F(ToolRunTest, TheRealProgramExtractsASoundTrackUnderHostileNames) {
  Settings().FfmpegPath = QV_FFMPEG;
  const fs::path folder = m_dir.path() / "Vidéos $HOME `x`";
  fs::create_directories(folder);
  const fs::path cwd = fs::current_path();
  for (const std::string& name : {std::string("clip 'a' \"b\" $(touch INJ1) `touch INJ2` ü.mp4"),
                                 std::string("-y;touch INJ3;.mkv")}) {
    SCOPED_TRACE(name);
    const std::string video = (folder / name).string();
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i "
                          "sine=frequency=440:sample_rate=44100 -ac 2 -t 3 -c:v mpeg4 -c:a aac " +
                          ShellQuote(video)));
    const std::string wav = MakeTempWavName();
    ASSERT_FALSE(wav.empty());
    ScriptedHost host;
    RecordingView view;
    const ToolRunner runner = [&](const ToolRunRequest& request) {
      return RunToolWithProgress(request, view);
    };
    ASSERT_TRUE(ExtractAudioFromVideo(host, runner, video, wav)) << host.messages.size();
    EXPECT_TRUE(host.messages.empty());
    // The measured duration scales the bar (only the first progress line of a chunk counts,
    // so under load the last value seen may be an early one).
    ASSERT_FALSE(view.texts.empty());
    const std::string& text = view.texts.back();
    EXPECT_EQ(text.substr(text.find(" of ")), " of 3.0 Seconds") << text;

    const Decoded decoded = DecodeFile(wav);
    ASSERT_NE(decoded.handle, 0u) << decoded.endCode;
    EXPECT_EQ(decoded.info.chans, 2u);
    EXPECT_EQ(decoded.info.freq, 44100u);
    EXPECT_NEAR(static_cast<double>(decoded.samples.size()) / 2 / 44100, 3.0, 0.1);
    RemoveTemporary(wav);
  }
  for (const char* marker : {"INJ1", "INJ2", "INJ3"}) {
    EXPECT_FALSE(fs::exists(cwd / marker)) << marker;
    EXPECT_FALSE(fs::exists(folder / marker)) << marker;
    EXPECT_FALSE(fs::exists(fs::path(m_work) / marker)) << marker;
  }
}

// The real program's failures are reported with their cause first: a video without sound, a
// file that is not media.
TEST_F(ToolRunTest, TheRealProgramsFailuresNameTheirCause) {
  Settings().FfmpegPath = QV_FFMPEG;
  const std::string silent = m_dir.file("silent film.mp4");
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v mpeg4 " +
                        ShellQuote(silent)));
  const std::string text = m_dir.file("notes.mkv");
  WriteTextFile(text, "only words, no video\n");
  const struct {
    std::string path;
    const char* heading;
  } cases[] = {
      {silent, "The conversion command failed: the file holds no audio stream.  The output"},
      {text, "The conversion command failed: the file is not audio or video in a format the "
             "converter reads.  The output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string wav = MakeTempWavName();
    ScriptedHost host;
    RecordingView view;
    const ToolRunner runner = [&](const ToolRunRequest& request) {
      return RunToolWithProgress(request, view);
    };
    EXPECT_FALSE(ExtractAudioFromVideo(host, runner, c.path, wav));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text.rfind(c.heading, 0), 0u) << host.messages[0].text;
    RemoveTemporary(wav);
  }
}

TEST_F(ToolRunTest, TheRealProgramReportsADuration) {
  Settings().FfmpegPath = QV_FFMPEG;
  const std::string input = m_dir.file("two seconds.wav");
  WriteTestWav16(input, 44100, 2, 2 * 44100);
  double seconds = 0;
  const std::atomic<int> never{0};
  EXPECT_TRUE(QueryMediaDuration(nullptr, input, seconds, never));
  EXPECT_NEAR(seconds, 2.0, 0.02);
}

}  // namespace
}  // namespace qv::test
