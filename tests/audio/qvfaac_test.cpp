// qvfaac, the AAC encoder program: fed through the pipe encoder as the converter feeds it, and
// run directly for its options and its errors.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/paths.h"
#include "audio/bass.h"
#include "audiotestutil.h"
#include "support/tempdir.h"
#include "tools/childprocess.h"

namespace qv::test {
namespace {

std::string Qvfaac() {
  const char* path = std::getenv("QV_QVFAAC");
  return path ? path : "qvfaac";
}

// Runs a shell command line; returns its exit status (-1 when it did not exit normally).
int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Converts `source` with the pipe encoder and the faac-style command line `options`.
bool EncodeThroughPipe(const std::string& source, const std::string& options,
                       const std::string& dest) {
  const HSTREAM stream = BASS_StreamCreateFile(0, source.c_str(), 0, 0,
                                               BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  if (!stream) return false;
  const std::string command = ShellQuote(Qvfaac()) + " " + options + " -o " + ShellQuote(dest) +
                              " -";
  const HENCODE encoder = BASS_Encode_Start(stream, command.c_str(), 0x40020, nullptr, nullptr);
  bool ok = encoder != 0 && PumpBlocks(stream, [&](const float* data, DWORD bytes) {
    return BASS_Encode_Write(encoder, data, bytes) == 1;
  });
  if (encoder && !BASS_Encode_Stop(encoder)) ok = false;
  BASS_StreamFree(stream);
  return ok;
}

// Mean power of `samples` (channel 0 of `channels`) at `frequency`, by the Goertzel filter over
// blocks of 2048 frames.
double PowerAt(const std::vector<float>& samples, int channels, int rate, double frequency) {
  constexpr int kBlock = 2048;
  const double k = 2.0 * std::cos(2.0 * 3.14159265358979323846 * frequency / rate);
  double total = 0;
  int blocks = 0;
  for (size_t start = 0; (start + kBlock) * channels <= samples.size(); start += kBlock) {
    double s1 = 0, s2 = 0;
    for (int i = 0; i < kBlock; ++i) {
      const double s0 = samples[(start + i) * channels] + k * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    total += s1 * s1 + s2 * s2 - k * s1 * s2;
    ++blocks;
  }
  return blocks ? total / blocks : 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a temporary file of qvfaac's for `output` is in its folder.
bool HasPartial(const std::string& output) {
  const std::filesystem::path path(output);
  const std::string prefix = path.filename().string() + ".qvfaac-";
  for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

struct PipeRun {
  int exitCode = -1;
  std::string messages;  // standard output and error
};

// Runs qvfaac on a pipe fed `input`. With `signal` 0 the pipe is then closed; otherwise it stays
// open (qvfaac waits for more) and qvfaac gets `signal` once its temporary file exists.
PipeRun RunOnPipe(const std::string& output, const std::string& input, int signal) {
  PipeRun run;
  ChildProcess child;
  if (child.Start("exec " + Quote(Qvfaac()) + " -q 100 -o " + Quote(output) + " -", true) !=
      ChildProcess::StartResult::Started) {
    return run;
  }
  if (child.WriteInput(input.data(), input.size(), 20000) != ChildProcess::WriteResult::Written) {
    return run;
  }
  if (signal) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!HasPartial(output) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child.Pid(), signal);
  } else {
    child.CloseInput();
  }
  char buffer[1024];
  for (long got; (got = child.ReadOutput(buffer, sizeof buffer, -1)) > 0;) {
    run.messages.append(buffer, static_cast<size_t>(got));
  }
  if (child.WaitForExit(20000)) run.exitCode = child.ExitCode();
  child.Terminate();
  return run;
}

class QvfaacTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TempDir();
    // Three seconds of white noise: every bitrate and bandwidth shows in it.
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i anoisesrc=color=white:amplitude=0.3:duration=3:seed=7 "
                          "-ac 2 -ar 44100 " + Quote(s_dir->file("noise.wav"))));
  }
  static void TearDownTestSuite() { delete s_dir; }
  static TempDir* s_dir;
};
TempDir* QvfaacTest::s_dir = nullptr;

TEST_F(QvfaacTest, ConverterCommandLinesDecodeBack) {
  const long frames = 44100 * 2 + 300;
  WriteTestWav16(s_dir->file("tone.wav"), 44100, 2, frames);
  struct Case {
    const char* name;
    const char* options;
    long slack;  // raw AAC keeps the encoder's priming frame; MP4 tells decoders to drop it
  } cases[] = {{"out.aac", "-q 120 -c 20000 --mpeg-vers 4", 2048 + 1024},
               {"out.m4a", "-q 120 -c 20000 --mpeg-vers 4 -w", 1024},
               {"out it's $x.mp4", "-q 70 -c 10000 --mpeg-vers 4 -w", 1024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = s_dir->file(c.name);
    ASSERT_TRUE(EncodeThroughPipe(s_dir->file("tone.wav"), c.options, dest));
    const Decoded d = DecodeFile(dest);
    ASSERT_NE(d.handle, 0u) << d.endCode;
    EXPECT_EQ(d.info.freq, 44100u);
    EXPECT_EQ(d.info.chans, 2u);
    EXPECT_NEAR(static_cast<double>(d.samples.size() / 2), frames, c.slack);
    EXPECT_NEAR(static_cast<double>(d.lengthBytes / 8), frames, c.slack);
  }
  // No temporary file is left beside the outputs.
  for (const auto& entry : std::filesystem::directory_iterator(s_dir->path())) {
    EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
  }
}

TEST_F(QvfaacTest, TheSevenQualityRowsDiffer) {
  const char* rows[] = {"-q 130 -c 22000", "-q 120 -c 20000", "-q 110 -c 18000", "-q 100 -c 16000",
                        "-q 90 -c 14000",  "-q 80 -c 12000",  "-q 70 -c 10000"};
  const double shownKbps[] = {218, 194, 158, 129, 103, 79, 62};
  std::uintmax_t previous = UINTMAX_MAX;
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(rows[i]);
    const std::string dest = s_dir->file("row" + std::to_string(i) + ".aac");
    ASSERT_TRUE(EncodeThroughPipe(s_dir->file("noise.wav"),
                                  std::string(rows[i]) + " --mpeg-vers 4", dest));
    const std::uintmax_t size = std::filesystem::file_size(dest);
    EXPECT_LT(size, previous);
    previous = size;
    // The bitrate the user was shown, within a fifth.
    EXPECT_NEAR(size * 8.0 / 3.0 / 1000.0, shownKbps[i], shownKbps[i] * 0.2);
  }
  // The bandwidth: row 0 keeps the noise at 15 kHz, row 6 (10 kHz) removes it; both keep 5 kHz.
  const Decoded wide = DecodeFile(s_dir->file("row0.aac"));
  const Decoded narrow = DecodeFile(s_dir->file("row6.aac"));
  ASSERT_FALSE(wide.samples.empty());
  ASSERT_FALSE(narrow.samples.empty());
  const double wide15 = PowerAt(wide.samples, 2, 44100, 15000);
  const double narrow15 = PowerAt(narrow.samples, 2, 44100, 15000);
  EXPECT_GT(wide15, 100 * narrow15);
  EXPECT_NEAR(PowerAt(narrow.samples, 2, 44100, 5000), PowerAt(wide.samples, 2, 44100, 5000),
              0.5 * PowerAt(wide.samples, 2, 44100, 5000));
}

TEST_F(QvfaacTest, StreamedSixteenBitInputWithUnknownSizes) {
  // A mono 16-bit WAV whose size fields are 0, as a writer that streams leaves them.
  const std::string wav = s_dir->file("streamed.wav");
  WriteTestWav16(wav, 22050, 1, 22050);
  {
    std::FILE* f = std::fopen(wav.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    const unsigned char zero[4] = {0, 0, 0, 0};
    std::fseek(f, 4, SEEK_SET);
    std::fwrite(zero, 1, 4, f);
    std::fseek(f, 40, SEEK_SET);
    std::fwrite(zero, 1, 4, f);
    std::fclose(f);
  }
  const std::string dest = s_dir->file("streamed.m4a");
  ASSERT_EQ(RunShell("cat " + Quote(wav) + " | " + Quote(Qvfaac()) + " -q 100 -c 16000 -w -o " +
                Quote(dest) + " -"),
            0);
  const Decoded d = DecodeFile(dest);
  ASSERT_NE(d.handle, 0u);
  EXPECT_EQ(d.info.freq, 22050u);
  EXPECT_EQ(d.info.chans, 1u);
  EXPECT_NEAR(static_cast<double>(d.samples.size()), 22050, 1024);
}

TEST_F(QvfaacTest, ErrorsLeaveNoFile) {
  const std::string q = Quote(Qvfaac());
  const std::string dest = s_dir->file("bad.aac");
  const std::string text = s_dir->file("text.txt");
  WriteTextFile(text, "not a wav file at all, just words\n");
  EXPECT_EQ(RunShell("cat " + Quote(text) + " | " + q + " -q 100 -o " + Quote(dest) + " - 2>/dev/null"),
            2);
  EXPECT_EQ(RunShell(q + " -q 100 -o " + Quote(dest) + " - < /dev/null 2>/dev/null"), 2);
  // 24-bit data are not what the converter sends.
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=duration=0.5 -c:a pcm_s24le " +
                        Quote(s_dir->file("s24.wav"))));
  EXPECT_EQ(RunShell(q + " -o " + Quote(dest) + " - < " + Quote(s_dir->file("s24.wav")) +
                " 2>/dev/null"),
            2);
  EXPECT_FALSE(std::filesystem::exists(dest));
  EXPECT_EQ(RunShell(q + " -q 100 - < " + Quote(s_dir->file("noise.wav")) + " 2>/dev/null"), 1);
  EXPECT_EQ(RunShell(q + " -q abc -o " + Quote(dest) + " - 2>/dev/null < /dev/null"), 1);
  EXPECT_EQ(RunShell(q + " -o " + Quote(s_dir->file("no/folder/x.aac")) + " - < " +
                Quote(s_dir->file("noise.wav")) + " 2>/dev/null"),
            3);
  for (const auto& entry : std::filesystem::directory_iterator(s_dir->path())) {
    EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
  }
  // The help documents the quality mapping.
  EXPECT_EQ(RunShell(q + " --help | grep -q '120 -> 194 kbit/s'"), 0);
}

// A header that declares its data size holds qvfaac to it: an input that ends early (its
// writer died) is refused with both sizes named, and a signal ends a run at once. Neither
// leaves the output or its temporary file.
TEST_F(QvfaacTest, AnInputCutShortOrASignalLeavesNoFile) {
  WriteTestWav16(s_dir->file("second.wav"), 44100, 2, 44100);
  const std::string whole = ReadAll(s_dir->file("second.wav"));
  const std::string half = whole.substr(0, 44 + 22050 * 4);
  const struct {
    const char* name;
    const std::string& input;
    int signal;
    int exitCode;
  } cases[] = {{"whole.aac", whole, 0, 0},
               {"cut.aac", half, 0, 2},
               {"term.aac", half, SIGTERM, 128 + SIGTERM},
               {"int.aac", half, SIGINT, 128 + SIGINT},
               {"hup.aac", half, SIGHUP, 128 + SIGHUP}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = s_dir->file(c.name);
    const PipeRun run = RunOnPipe(dest, c.input, c.signal);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.messages;
    EXPECT_EQ(std::filesystem::exists(dest), c.exitCode == 0);
    EXPECT_FALSE(HasPartial(dest));
    if (c.exitCode == 2) {
      EXPECT_NE(run.messages.find("22050 of the 44100 frames (88200 of 176400 data bytes)"),
                std::string::npos)
          << run.messages;
    }
  }
}

TEST_F(QvfaacTest, NeverReplacesAFile) {
  const std::string q = Quote(Qvfaac());
  const std::string noise = Quote(s_dir->file("noise.wav"));
  // A file, a link to a file and a dangling link of the output's name stay as they are.
  const std::string taken = s_dir->file("taken.m4a");
  WriteTextFile(taken, "mine");
  const std::string target = s_dir->file("target.txt");
  WriteTextFile(target, "mine too");
  std::filesystem::create_symlink(target, s_dir->file("link.m4a"));
  std::filesystem::create_symlink(s_dir->file("nowhere"), s_dir->file("dangling.m4a"));
  for (const char* name : {"taken.m4a", "link.m4a", "dangling.m4a"}) {
    EXPECT_EQ(RunShell(q + " -w -o " + Quote(s_dir->file(name)) + " - < " + noise +
                       " 2>/dev/null"),
              3)
        << name;
  }
  EXPECT_EQ(ReadAll(taken), "mine");
  EXPECT_EQ(ReadAll(target), "mine too");
  EXPECT_FALSE(std::filesystem::exists(s_dir->file("nowhere")));

  // A file that appears while qvfaac encodes: the first 100000 bytes cannot all be in the pipe
  // before qvfaac has started on the data, so the name is taken after its first check.
  const std::string late = s_dir->file("late.aac");
  EXPECT_EQ(RunShell("{ head -c 100000 " + noise + "; echo taken > " + Quote(late) +
                     "; tail -c +100001 " + noise + "; } | " + q + " -o " + Quote(late) +
                     " - 2>/dev/null"),
            3);
  EXPECT_EQ(ReadAll(late), "taken\n");
  for (const auto& entry : std::filesystem::directory_iterator(s_dir->path())) {
    EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace qv::test
