// quorvin-cli end to end: the real program on generated files, with a private configuration
// and working folder, checked through its outputs, its exit status and what it prints.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/paths.h"
#include "support/tempdir.h"

extern char** environ;

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

bool Ffmpeg(const std::string& args) {
  return std::system((std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y " + args)
                         .c_str()) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new test::TempDir();
    const std::string in = s_dir->file("in");
    fs::create_directories(in + "/deeper");
    // Short tones in the formats people convert, one with a name a shell would trip over.
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=440:duration=2.5 -ac 2 " +
                       ShellQuote(in + "/song one.wav")));
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=330:sample_rate=48000:duration=2 -ac 1 " +
                       ShellQuote(in + "/it's $HOME `x` ünï.flac")));
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=550:duration=1.5 -ac 2 -b:a 128k " +
                       ShellQuote(in + "/deeper/inner.mp3")));
    std::ofstream(in + "/notes.txt") << "not audio";
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }

  void SetUp() override {
    m_home = std::make_unique<test::TempDir>();
    fs::create_directories(m_home->file("out"));
  }

  std::string In(const std::string& name = "") const {
    return s_dir->file("in") + (name.empty() ? "" : "/" + name);
  }
  std::string Out(const std::string& name = "") const {
    return m_home->file("out") + (name.empty() ? "" : "/" + name);
  }

  // Runs quorvin-cli with `args` (each one word), a private APPDATA and TMPDIR.
  Outcome Run(const std::vector<std::string>& args) const {
    std::string command = "env APPDATA=" + ShellQuote(m_home->str()) +
                          " TMPDIR=" + ShellQuote(m_home->str()) + " " +
                          ShellQuote(QV_CLI_PROGRAM);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    const std::string errFile = m_home->file("stderr.txt");
    command += " 2>" + ShellQuote(errFile);
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return outcome;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, got);
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.err = ReadFile(errFile);
    return outcome;
  }

  // What the ffprobe program beside ffmpeg prints of `entries` for `path`.
  static std::string Ffprobe(const std::string& entries, const std::string& path) {
    const std::string ffmpeg = QV_FFMPEG;
    const std::string command = ffmpeg.substr(0, ffmpeg.rfind('/') + 1) +
                                "ffprobe -v error -show_entries " + entries +
                                " -of default=noprint_wrappers=1 " + ShellQuote(path);
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[1024];
    size_t got;
    while (pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    if (pipe) ::pclose(pipe);
    return text;
  }
  // Rate, channels and duration of a file as the ffprobe program sees it.
  static std::string Probe(const std::string& path) {
    return Ffprobe("stream=sample_rate,channels:format=duration", path);
  }

  std::string LogPath() const {
    return m_home->str() + "/quorvin-" + std::to_string(::getuid()) + "/QV_Log.txt";
  }

  static test::TempDir* s_dir;
  std::unique_ptr<test::TempDir> m_home;
};

test::TempDir* CliTest::s_dir = nullptr;

double DurationOf(const std::string& probe) {
  const size_t at = probe.find("duration=");
  return at == std::string::npos ? -1.0 : std::atof(probe.c_str() + at + 9);
}

TEST_F(CliTest, EveryFormatDecodesBackWithItsRateChannelsAndLength) {
  const std::string source = In("song one.wav");
  for (const char* format : {"wav", "mp3", "aac", "mp4", "m4a", "wma"}) {
    const Outcome run = Run({"--format", format, "--dest", Out(), source});
    ASSERT_EQ(run.status, 0) << format << "\n" << run.err;
    const std::string output = Out(std::string("song one.") + format);
    ASSERT_TRUE(fs::exists(output)) << format;
    const std::string probe = Probe(output);
    EXPECT_NE(probe.find("sample_rate=44100"), std::string::npos) << format << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << format << probe;
    // Raw AAC carries no length of its own; ffprobe estimates it from the bitrate.
    EXPECT_NEAR(DurationOf(probe), 2.5, std::string(format) == "aac" ? 0.6 : 0.1) << format;
  }
}

TEST_F(CliTest, TakenNamesGetNumberedCopiesAndNothingIsOverwritten) {
  std::ofstream(Out("song one.mp3")) << "a file the user keeps";
  const Outcome run = Run({"--format", "mp3", "--bitrate", "128", "--dest", Out(),
                           In("song one.wav"), In("song one.wav")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Out("song one.mp3")), "a file the user keeps");
  EXPECT_TRUE(fs::exists(Out("song one-COPY000001.mp3")));
  EXPECT_FALSE(fs::exists(Out("song one-COPY000002.mp3")));  // the second name was skipped
  EXPECT_NE(ReadFile(LogPath()).find("Destination file exists, saving as this instead:"),
            std::string::npos);
  EXPECT_NE(run.err.find("Added 1 new file, and skipped 1 existing file."), std::string::npos);
}

TEST_F(CliTest, ListPrintsTheRowsWithAndWithoutLoudness) {
  const Outcome plain = Run({"--list", In()});
  ASSERT_EQ(plain.status, 0) << plain.err;
  std::istringstream lines(plain.out);
  std::string header, first, second, extra;
  std::getline(lines, header);
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_FALSE(std::getline(lines, extra));  // flat: the sub-folder's file is not listed
  EXPECT_EQ(header,
            "Source File List\tType\tSize (MB)\tKbps\tFreq (Hz)\tBit Depth\tChan\tVolume\t"
            "Clipping\tTrack Gain\tClip Track\tPath");
  EXPECT_EQ(first, "it's $HOME `x` ünï\tflac\t" + first.substr(first.find("flac\t") + 5, 5) +
                       "\t" + first.substr(first.find("flac\t") + 11));
  EXPECT_NE(first.find("\t48,000\t16 Bit\t1\t\t\t\t\t"), std::string::npos) << first;
  EXPECT_NE(second.find("song one\twav\t0.421\t1411\t44,100\t16 Bit\t2\t\t\t\t\t" +
                        In("song one.wav")),
            std::string::npos)
      << second;

  const Outcome measured = Run({"--list", "--loudness", "--target", "92", In("song one.wav")});
  ASSERT_EQ(measured.status, 0) << measured.err;
  const std::string row = measured.out.substr(measured.out.find('\n') + 1);
  std::vector<std::string> cells;
  std::stringstream split(row);
  for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
  ASSERT_EQ(cells.size(), 12u) << row;
  const double volume = std::atof(cells[7].c_str());
  const double gain = std::atof(cells[9].c_str());
  EXPECT_GT(volume, 60.0);
  EXPECT_NEAR(volume + gain, 92.0, 0.011);
  EXPECT_EQ(cells[8], "n");
}

TEST_F(CliTest, RecursiveAddsSubFolders) {
  const Outcome run = Run({"--list", "--recursive", In()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("inner\tmp3\t"), std::string::npos) << run.out;
}

TEST_F(CliTest, FailingFilesGiveStatusOneInBothModes) {
  const std::string broken = m_home->file("broken.mp3");
  std::ofstream(broken) << "this is not an MP3 file at all, only text";
  // The broken file cannot be added: its message, then the good one converts.
  Outcome run = Run({"--dest", Out(), broken, In("song one.wav")});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Can't open the file:"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(Out("song one.wav")));

  // A file that fails in the conversion: 48 kHz mono FLAC is fine for MP3, a 22050 Hz WAV is
  // not. Asked: the default answer goes on. Skipping: only logged.
  const std::string low = m_home->file("low rate.wav");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=duration=1:sample_rate=22050 " + ShellQuote(low)));
  for (bool skip : {false, true}) {
    std::vector<std::string> args = {"--format", "mp3", "--dest", Out(), low, In("song one.wav")};
    if (skip) args.insert(args.begin(), "--skip-problem-files");
    run = Run(args);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.find("Abort the batch job?") != std::string::npos, !skip) << run.err;
    EXPECT_NE(ReadFile(LogPath()).find("unsupported sample rate (22050)"), std::string::npos);
    EXPECT_FALSE(fs::exists(Out("low rate.mp3")));
  }
  EXPECT_TRUE(fs::exists(Out("song one.mp3")));
}

TEST_F(CliTest, UsageErrorsGiveStatusTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--format", "ogg", In("song one.wav")},
                                             {"--format", "mp3", "--bitrate", "191", In()},
                                             {"--bitrate", "192", In()},
                                             {"--target", "250", In()},
                                             {"--target", "-1", In()},
                                             {"--what", In()}}) {
    const Outcome run = Run(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]) << run.err;
    EXPECT_NE(run.err.find("quorvin-cli: "), std::string::npos) << run.err;
  }
  const Outcome missing = Run({"--dest", m_home->file("no such folder"), In("song one.wav")});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("The Save To directory was not found."), std::string::npos);
  EXPECT_EQ(Run({"--version"}).status, 0);
}

// Tags travel with the music, but never the source's loudness values, and --no-tags keeps the
// outputs bare.
TEST_F(CliTest, TagsAreCarriedUnlessTurnedOff) {
  const std::string tagged = m_home->file("tagged.flac");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=440:duration=2 -ac 2 -metadata " +
                     ShellQuote("title=Ünïcode 日本 🎵") + " -metadata artist=Somebody" +
                     " -metadata REPLAYGAIN_TRACK_GAIN=-3.20 -c:a flac " + ShellQuote(tagged)));
  auto tagsOf = [](const std::string& path) { return Ffprobe("format_tags", path); };
  Outcome run = Run({"--format", "mp3", "--normalize", "--dest", Out(), tagged});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string withTags = tagsOf(Out("tagged.mp3"));
  EXPECT_NE(withTags.find("title=Ünïcode 日本 🎵"), std::string::npos) << withTags;
  EXPECT_NE(withTags.find("artist=Somebody"), std::string::npos) << withTags;
  EXPECT_EQ(withTags.find("REPLAYGAIN"), std::string::npos) << withTags;
  EXPECT_EQ(withTags.find("replaygain"), std::string::npos) << withTags;

  run = Run({"--format", "mp3", "--no-tags", "--dest", Out(), tagged});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string bare = tagsOf(Out("tagged-COPY000001.mp3"));
  EXPECT_EQ(bare.find("title="), std::string::npos) << bare;
  EXPECT_EQ(bare.find("artist="), std::string::npos) << bare;
}

// Several files at once give exactly what one file after the other gives: the same outputs byte
// for byte, the same log, the same table, including clashing names, a failing file and a video.
TEST_F(CliTest, ParallelJobsMatchTheSerialBatch) {
  const std::string more = m_home->file("more");
  fs::create_directories(more);
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=660:duration=3 -ac 2 -sample_fmt s16 " +
                     ShellQuote(more + "/song one.flac")));  // wants the name of song one.wav
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=duration=1:sample_rate=22050 " +
                     ShellQuote(more + "/low.wav")));  // MP3 refuses 22050 Hz
  // Wants the name low.wav did not take: whether low.wav has ended when this file starts must
  // not change its name.
  fs::create_directories(more + "/other");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=770:duration=2 -ac 2 " +
                     ShellQuote(more + "/other/low.flac")));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi -i "
                     "sine=frequency=500:duration=2 -shortest -c:v mpeg4 -c:a mp3 " +
                     ShellQuote(more + "/clip.avi")));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=" + std::to_string(300 + 50 * i) +
                       ":duration=" + std::to_string(2 + i) + " -ac 2 " +
                       ShellQuote(more + "/tone" + std::to_string(i) + ".wav")));
  }
  const std::vector<std::string> sources = {
      In("song one.wav"), more + "/song one.flac", more + "/low.wav", more + "/other/low.flac",
      more + "/clip.avi",
      more + "/tone0.wav", more + "/tone1.wav", more + "/tone2.wav", more + "/tone3.wav",
      In("it's $HOME `x` ünï.flac")};
  std::map<std::string, std::string> serialFiles;
  std::string serialLog, serialList;
  for (const char* jobs : {"1", "2", "4"}) {
    fs::remove_all(Out());
    fs::create_directories(Out());
    std::vector<std::string> args = {"--jobs", jobs, "--format", "mp3", "--skip-problem-files",
                                     "--dest", Out()};
    args.insert(args.end(), sources.begin(), sources.end());
    const Outcome run = Run(args);
    EXPECT_EQ(run.status, 1) << jobs << run.err;  // low.wav fails
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(Out())) {
      files[entry.path().filename().string()] = ReadFile(entry.path().string());
    }
    std::vector<std::string> listArgs = {"--jobs", jobs, "--list", "--loudness"};
    listArgs.insert(listArgs.end(), sources.begin(), sources.end());
    const std::string log = ReadFile(LogPath());
    const Outcome listed = Run(listArgs);
    if (std::string(jobs) == "1") {
      serialFiles = files;
      serialLog = log;
      serialList = listed.out;
      EXPECT_EQ(files.size(), 9u);
      EXPECT_TRUE(files.count("song one-COPY000001.mp3"));
      EXPECT_TRUE(files.count("low.mp3"));
      EXPECT_TRUE(files.count("clip.mp3"));
      continue;
    }
    EXPECT_EQ(log, serialLog) << jobs;
    EXPECT_EQ(listed.out, serialList) << jobs;
    ASSERT_EQ(files.size(), serialFiles.size()) << jobs;
    for (const auto& [name, bytes] : serialFiles) {
      EXPECT_TRUE(files[name] == bytes) << jobs << " " << name;
    }
  }
}

// The first SIGINT works as a confirmed Cancel: every file being converted stops after its
// block, and each WAV header describes exactly what was written.
TEST_F(CliTest, SigintCancelsAndLeavesValidWavHeaders) {
  const std::string longSource = m_home->file("long.flac");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=200:duration=1800 -ac 2 -c:a flac "
                     "-compression_level 0 " + ShellQuote(longSource)));
  const std::string second = m_home->file("long2.flac");
  fs::copy_file(longSource, second);
  for (const char* jobs : {"1", "2"}) {
    fs::remove_all(Out());
    fs::create_directories(Out());
    int errPipe[2];
    ASSERT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<std::string> env = {"APPDATA=" + m_home->str(), "TMPDIR=" + m_home->str()};
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "APPDATA=", 8) != 0 && std::strncmp(*e, "TMPDIR=", 7) != 0) {
        env.push_back(*e);
      }
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {QV_CLI_PROGRAM, "--jobs", jobs, "--dest", Out(),
                                     longSource, second};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, QV_CLI_PROGRAM, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(errPipe[1]);
    // Wait for the first progress line, then cancel.
    std::string err;
    char buffer[512];
    const std::string progress = std::string(jobs) == "1" ? "Converting: file 1 of 2"
                                                           : "Converting: 0 of 2 files done";
    while (err.find(progress) == std::string::npos) {
      const ssize_t got = ::read(errPipe[0], buffer, sizeof buffer);
      if (got <= 0) break;
      err.append(buffer, static_cast<size_t>(got));
    }
    ::kill(pid, SIGINT);
    ssize_t got;
    while ((got = ::read(errPipe[0], buffer, sizeof buffer)) > 0) {
      err.append(buffer, static_cast<size_t>(got));
    }
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << jobs << err;

    int outputs = 0;
    for (const char* name : {"long.wav", "long2.wav"}) {
      if (!fs::exists(Out(name))) continue;
      ++outputs;
      const std::string wav = ReadFile(Out(name));
      ASSERT_GE(wav.size(), 44u) << name;
      auto le32 = [&](size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(wav[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(wav[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(wav[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(wav[at + 3])) << 24;
      };
      EXPECT_EQ(le32(4), wav.size() - 8) << name;
      EXPECT_EQ(le32(40), wav.size() - 44) << name;
      EXPECT_LT(wav.size(), 1800u * 44100 * 4 / 2) << name;  // stopped well before the end
      EXPECT_EQ((wav.size() - 44) % (44100 * 4), 0u) << name;  // whole one-second blocks
    }
    // One file at a time never starts the second; two at once have both begun.
    EXPECT_EQ(outputs, std::string(jobs) == "1" ? 1 : 2) << jobs;
  }
}

}  // namespace
}  // namespace qv
