// quorvin-cli end to end: the real program on generated files, with a private configuration
// and working folder, checked through its outputs, its exit status and what it prints.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QJsonDocument>
#include <QJsonObject>
#include <taglib/asffile.h>
#include <taglib/fileref.h>
#include <taglib/mp4file.h>
#include <taglib/tpropertymap.h>

#include "app/instance.h"
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

// An MP3 of 10 s whose middle is overwritten with noise: it opens (and so is added), but its
// conversion fails as damaged.
bool MakeDamagedMp3(const std::string& path) {
  if (!Ffmpeg("-f lavfi -i sine=frequency=420:duration=10 -ac 2 -b:a 128k " + ShellQuote(path))) {
    return false;
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  std::uint32_t seed = 99;
  file.seekp(size / 5);
  for (std::streamoff i = size / 5; i < size * 4 / 5; ++i) {
    seed = seed * 1664525u + 1013904223u;
    file.put(static_cast<char>(seed >> 24));
  }
  return static_cast<bool>(file);
}

// What a shell command prints on its standard output.
std::string CommandOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string text;
  char buffer[4096];
  size_t got;
  while (pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  if (pipe) ::pclose(pipe);
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A quorvin-cli run in the background with a private APPDATA and TMPDIR (`home`): standard
// error comes through a pipe the test reads, standard output goes to a file.
class Background {
 public:
  Background(const std::string& home, const std::vector<std::string>& arguments,
             const std::vector<std::string>& environment = {})
      : m_outFile(home + "/stdout-" + std::to_string(++s_runs) + ".txt") {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env = {"APPDATA=" + home, "TMPDIR=" + home};
    env.insert(env.end(), environment.begin(), environment.end());
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "APPDATA=", 8) != 0 && std::strncmp(*e, "TMPDIR=", 7) != 0) {
        env.push_back(*e);
      }
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {QV_CLI_PROGRAM};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&m_pid, QV_CLI_PROGRAM, &actions, nullptr, argv.data(), envp.data()) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(errPipe[1]);
    m_errFd = errPipe[0];
  }
  ~Background() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_errFd >= 0) ::close(m_errFd);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool Started() const { return m_pid > 0; }
  void Signal(int signal) const { ::kill(m_pid, signal); }
  // Polls `done` (up to 60 s) while the program runs; false when it never came true.
  template <typename Done>
  static bool WaitUntil(Done done) {
    for (int i = 0; i < 3000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Waits for the end: the exit status, or -1 when a signal ended it.
  int Finish() {
    while (ReadSome()) {
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    out = ReadFile(m_outFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string err;
  std::string out;

 private:
  bool ReadSome() {
    char buffer[512];
    const ssize_t got = ::read(m_errFd, buffer, sizeof buffer);
    if (got <= 0) return false;
    err.append(buffer, static_cast<size_t>(got));
    return true;
  }

  static inline int s_runs = 0;
  std::string m_outFile;
  pid_t m_pid = -1;
  int m_errFd = -1;
};

// The processes whose command line holds `text` (besides the test itself).
std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(::getpid())) {
      continue;
    }
    std::string command = ReadFile(entry.path().string() + "/cmdline");
    if (command.find(text) == std::string::npos) continue;
    for (char& c : command) c = c == '\0' ? ' ' : c;
    found.push_back(pid + ": " + command);
  }
  return found;
}

// The share of a 16-bit PCM WAV's first channel that lies at `hz` against `otherHz` (Goertzel
// powers), so that a file holding another file's tone, or both tones, is told apart.
double ToneRatio(const std::string& wavPath, double hz, double otherHz) {
  const std::string wav = ReadFile(wavPath);
  if (wav.size() <= 44 || wav.compare(36, 4, "data") != 0) return 0;
  auto le = [&](size_t at, int bytes) {
    unsigned value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      value = value << 8 | static_cast<unsigned char>(wav[at + static_cast<size_t>(i)]);
    }
    return value;
  };
  const unsigned channels = le(22, 2), rate = le(24, 4);
  if (channels == 0 || le(34, 2) != 16) return 0;
  auto power = [&](double frequency) {
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0;
    for (size_t at = 44; at + 2 * channels <= wav.size(); at += 2 * channels) {
      const double sample = static_cast<std::int16_t>(le(at, 2));
      const double s = sample + coefficient * s1 - s2;
      s2 = s1;
      s1 = s;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  };
  const double other = power(otherHz);
  return other > 0 ? power(hz) / other : 1e30;
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
    return CommandOutput(command);
  }
  // Rate, channels and duration of a file as the ffprobe program sees it.
  static std::string Probe(const std::string& path) {
    return Ffprobe("stream=sample_rate,channels:format=duration", path);
  }

  std::string WorkingFolder() const {
    return m_home->str() + "/quorvin-" + std::to_string(::getuid());
  }
  std::string LogPath() const { return WorkingFolder() + "/QV_Log.txt"; }
  // The working folder's files besides the logs (temporary WAVs, scripts, lock files).
  std::vector<std::string> WorkingFolderDebris() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(WorkingFolder())) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, 6, "QV_Log") != 0) found.push_back(name);
    }
    return found;
  }
  // A configuration whose ffmpeg is the tools tests' stand-in.
  void UseFakeFfmpeg() const {
    fs::create_directories(m_home->file("Quorvin 1"));
    std::ofstream(m_home->file("Quorvin 1/Quorvin1.ini"))
        << "[Quorvin 1]\nFFMpegExe=" << QV_FAKE_FFMPEG << "\nFFMpegAud=-vn\nFAACExe="
        << QV_FAKE_FFMPEG << "\nautoplayonopen=1\n";
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
  for (const char* format : {"wav", "mp3", "aac", "mp4", "m4a", "wma", "flac", "opus", "ogg"}) {
    const Outcome run = Run({"--format", format, "--dest", Out(), source});
    ASSERT_EQ(run.status, 0) << format << "\n" << run.err;
    const std::string output = Out(std::string("song one.") + format);
    ASSERT_TRUE(fs::exists(output)) << format;
    const std::string probe = Probe(output);
    const bool opus = std::string(format) == "opus";  // always 48 kHz
    EXPECT_NE(probe.find(opus ? "sample_rate=48000" : "sample_rate=44100"), std::string::npos)
        << format << probe;
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
            "Clipping\tTrack Gain\tClip Track\tAlbum Gain\tPath");
  EXPECT_EQ(first, "it's $HOME `x` ünï\tflac\t" + first.substr(first.find("flac\t") + 5, 5) +
                       "\t" + first.substr(first.find("flac\t") + 11));
  EXPECT_NE(first.find("\t48,000\t16 Bit\t1\t\t\t\t\t\t"), std::string::npos) << first;
  EXPECT_NE(second.find("song one\twav\t0.421\t1411\t44,100\t16 Bit\t2\t\t\t\t\t\t" +
                        In("song one.wav")),
            std::string::npos)
      << second;

  const Outcome measured = Run({"--list", "--loudness", "--target", "92", In("song one.wav")});
  ASSERT_EQ(measured.status, 0) << measured.err;
  const std::string row = measured.out.substr(measured.out.find('\n') + 1);
  std::vector<std::string> cells;
  std::stringstream split(row);
  for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
  ASSERT_EQ(cells.size(), 13u) << row;
  const double volume = std::atof(cells[7].c_str());
  const double gain = std::atof(cells[9].c_str());
  EXPECT_GT(volume, 60.0);
  EXPECT_NEAR(volume + gain, 92.0, 0.011);
  EXPECT_EQ(cells[8], "n");
}

// --json: every line is one JSON object a parser reads back, with the keys scripts use; -q
// leaves only the errors on standard error.
TEST_F(CliTest, JsonLinesForScriptsAndQuietErrorsOnly) {
  const auto objects = [](const std::string& out) {
    std::vector<QJsonObject> parsed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      QJsonParseError error{};
      const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
      EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
      parsed.push_back(doc.object());
    }
    return parsed;
  };
  const auto text = [](const QJsonValue& value) { return value.toString().toStdString(); };
  const std::string log = m_home->file("run's log.txt");
  const std::string empty = m_home->file("empty.flac");
  std::ofstream(empty).flush();
  const Outcome run = Run({"-qj2", "--json", "--loudness", "--format", "mp3", "--dest", Out(),
                           "--log", log, In("song one.wav"), In("notes.txt"), empty});
  EXPECT_NE(ReadFile(log).find("Conversion # 1"), std::string::npos);
  EXPECT_EQ(run.status, 1) << run.err;  // the text file and the empty file are refused
  EXPECT_EQ(run.err.rfind("quorvin-cli: " + In("notes.txt") + ": not a supported file type\n", 0),
            0u)
      << run.err;
  EXPECT_NE(run.err.find("quorvin-cli: " + empty + ": "), std::string::npos) << run.err;
  std::vector<QJsonObject> lines = objects(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(text(lines[0][QStringLiteral("status")]), "refused");
  EXPECT_EQ(text(lines[1][QStringLiteral("source")]), empty);
  EXPECT_EQ(text(lines[1][QStringLiteral("status")]), "refused");
  EXPECT_FALSE(text(lines[1][QStringLiteral("cause")]).empty());
  lines.erase(lines.begin() + 1);
  EXPECT_EQ(text(lines[1][QStringLiteral("source")]), In("song one.wav"));
  EXPECT_EQ(text(lines[1][QStringLiteral("output")]), Out("song one.mp3"));
  EXPECT_EQ(text(lines[1][QStringLiteral("status")]), "converted");
  EXPECT_TRUE(lines[1][QStringLiteral("cause")].isNull());
  EXPECT_NEAR(lines[1][QStringLiteral("audio_seconds")].toDouble(), 2.5, 0.01);
  EXPECT_GT(lines[1][QStringLiteral("elapsed_seconds")].toDouble(), 0.0);
  EXPECT_EQ(text(lines[1][QStringLiteral("unit")]), "dB");
  EXPECT_NEAR(lines[1][QStringLiteral("loudness")].toDouble() + lines[1][QStringLiteral("track_gain")].toDouble(), 89.0, 0.011);
  EXPECT_GT(lines[1][QStringLiteral("peak")].toDouble(), 0.0);
  EXPECT_LE(lines[1][QStringLiteral("peak")].toDouble(), 1.0);
  EXPECT_TRUE(lines[2][QStringLiteral("summary")].toBool());
  EXPECT_EQ(lines[2][QStringLiteral("converted")].toInt(), 1);
  EXPECT_EQ(lines[2][QStringLiteral("refused")].toInt(), 2);

  const Outcome listed = Run({"--list", "--json", "--standard", "r128", "--loudness", In()});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::vector<QJsonObject> rows = objects(listed.out);
  ASSERT_EQ(rows.size(), 2u) << listed.out;
  const QJsonObject& mono = rows[0][QStringLiteral("channels")].toInt() == 1 ? rows[0] : rows[1];
  EXPECT_EQ(mono[QStringLiteral("sample_rate")].toInt(), 48000);
  EXPECT_EQ(mono[QStringLiteral("bits")].toInt(), 16);
  EXPECT_EQ(text(mono[QStringLiteral("unit")]), "LUFS");
  EXPECT_LT(mono[QStringLiteral("loudness")].toDouble(), 0.0);
  EXPECT_NEAR(mono[QStringLiteral("seconds")].toDouble(), 2.0, 0.01);
}

TEST_F(CliTest, RecursiveAddsSubFolders) {
  const Outcome run = Run({"--list", "--recursive", In()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("inner\tmp3\t"), std::string::npos) << run.out;
}

TEST_F(CliTest, FailingFilesGiveStatusOneInBothModes) {
  const std::string broken = m_home->file("broken.mp3");
  std::ofstream(broken) << "this is not an MP3 file at all, only text";
  // The broken file cannot be added: one line with its cause, then the good one converts.
  Outcome run = Run({"--dest", Out(), broken, In("song one.wav")});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("quorvin-cli: " + broken + ": "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Can't open the file:"), std::string::npos) << run.err;  // no dialog text
  EXPECT_TRUE(fs::exists(Out("song one.wav")));

  // A file that fails in the conversion: a damaged MP3, one line with its cause in both modes
  // (the log has the whole message); the batch goes on.
  const std::string low = m_home->file("damaged.mp3");
  ASSERT_TRUE(MakeDamagedMp3(low));
  for (bool skip : {false, true}) {
    std::vector<std::string> args = {"--format", "mp3", "--dest", Out(), low, In("song one.wav")};
    if (skip) args.insert(args.begin(), "--skip-problem-files");
    run = Run(args);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("quorvin-cli: " + low + ": The source file is damaged"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Abort the batch job?"), std::string::npos) << run.err;
    EXPECT_NE(ReadFile(LogPath()).find("The source file is damaged"), std::string::npos);
    EXPECT_FALSE(fs::exists(Out("damaged.mp3")));
  }
  EXPECT_TRUE(fs::exists(Out("song one.mp3")));
  // A row that cannot be measured says why on standard error.
  run = Run({"--list", "--loudness", low});
  EXPECT_NE(run.err.find("quorvin-cli: " + low + ": not measured: The source file is damaged"),
            std::string::npos)
      << run.err;
}

TEST_F(CliTest, UsageErrorsGiveStatusTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--format", "ape", In("song one.wav")},
                                             {"--format", "mp3", "--bitrate", "191", In()},
                                             {"--bitrate", "192", In()},
                                             {"--target", "250", In()},
                                             {"--target", "-1", In()},
                                             {"--standard", "r128", "--target", "-71", In()},
                                             {"--standard", "r128", "--target", "5", In()},
                                             {"--standard", "ebu", In()},
                                             {"--peak-limit", "1", In()},
                                             {"--peak-limit", "-31", In()},
                                             {"--what", In()},
                                             {"--log", "/no/such/folder/x.log", In()}}) {
    const Outcome run = Run(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]) << run.err;
    EXPECT_NE(run.err.find("quorvin-cli: "), std::string::npos) << run.err;
  }
  // A destination that cannot be a folder is refused by name (a missing one is created).
  std::ofstream(m_home->file("a file")) << "x";
  const Outcome blocked = Run({"--dest", m_home->file("a file/sub"), In("song one.wav")});
  EXPECT_EQ(blocked.status, 2);
  EXPECT_NE(blocked.err.find(m_home->file("a file/sub") + ": Not a directory"), std::string::npos)
      << blocked.err;
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
  ASSERT_TRUE(MakeDamagedMp3(more + "/low.mp3"));  // fails, damaged
  // Wants the name low.mp3 did not take: whether low.mp3 has ended when this file starts must
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
      In("song one.wav"), more + "/song one.flac", more + "/low.mp3", more + "/other/low.flac",
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
    EXPECT_EQ(run.status, 1) << jobs << run.err;  // low.mp3 fails
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
    Background run(m_home->str(), {"--jobs", jobs, "--dest", Out(), longSource, second});
    ASSERT_TRUE(run.Started());
    // Wait until the conversion has written a few blocks, then cancel.
    ASSERT_TRUE(Background::WaitUntil([&] {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(Out(), ec)) {
        if (entry.file_size(ec) > 4u * 44100 * 4) return true;
      }
      return false;
    }));
    run.Signal(SIGINT);
    const int status = run.Finish();
    const std::string& err = run.err;
    EXPECT_EQ(status, 130) << jobs << err;

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

// Two runs at once, sharing the working folder, each extracting a different video's sound
// track: each output holds its own source's tone, and nothing is left in the working folder.
TEST_F(CliTest, TwoInstancesAtOnceNeverTakeEachOthersFiles) {
  const struct {
    const char* name;
    double hz;
    const char* codec;
  } videos[] = {{"low.mov", 440, "aac"}, {"high.avi", 1000, "mp3"}};
  for (const auto& video : videos) {
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=6 -f lavfi -i sine=" +
                       std::string("frequency=") + std::to_string(static_cast<int>(video.hz)) +
                       ":duration=6 -ac 2 -shortest -c:v mpeg4 -c:a " + video.codec + " " +
                       ShellQuote(m_home->file(video.name))));
  }
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<Background>> runs;
    for (const auto& video : videos) {
      const std::string out = Out(video.name + std::string(".out"));
      fs::remove_all(out);
      fs::create_directories(out);
      runs.push_back(std::make_unique<Background>(
          m_home->str(), std::vector<std::string>{"--dest", out, m_home->file(video.name)}));
    }
    std::vector<std::string> logs;
    for (size_t i = 0; i < runs.size(); ++i) {
      const auto& video = videos[i];
      EXPECT_EQ(runs[i]->Finish(), 0) << runs[i]->err;
      const std::string stem = fs::path(video.name).stem().string();
      const std::string output = Out(video.name + std::string(".out")) + "/" + stem + ".wav";
      const double other = video.hz == 440 ? 1000 : 440;
      EXPECT_GT(ToneRatio(output, video.hz, other), 1000.0) << output;
      // Each batch names the log it wrote: numbered when the other one held the usual log.
      const size_t at = runs[i]->err.rfind("Log: ");
      ASSERT_NE(at, std::string::npos) << runs[i]->err;
      logs.push_back(runs[i]->err.substr(at + 5, runs[i]->err.find('\n', at) - at - 5));
    }
    // Batches that did not overlap took the usual log one after the other.
    for (size_t i = 0; i < logs.size() && logs[0] != logs[1]; ++i) {
      EXPECT_NE(ReadFile(logs[i]).find(m_home->file(videos[i].name)), std::string::npos)
          << logs[i];
    }
    EXPECT_EQ(WorkingFolderDebris(), std::vector<std::string>{});
  }
}

TEST_F(CliTest, ALogHeldByAnotherInstanceIsLeftAloneAndTheNumberedOneIsNamed) {
  fs::create_directories(WorkingFolder());
  const int held = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::write(held, "another run\n", 12), 12);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const Outcome run = Run({"--dest", Out(), In("song one.wav")});
  ::close(held);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(LogPath()), "another run\n");
  const std::string numbered = WorkingFolder() + "/QV_Log-2.txt";
  EXPECT_NE(ReadFile(numbered).find("--- Conversion # 1 ---"), std::string::npos);
  EXPECT_NE(run.err.find("Log: " + numbered), std::string::npos) << run.err;
}

// Ctrl-C while the files are being added (here: while a video's extraction runs) stops the add
// at once: no later file is added, no batch and no list follow.
TEST_F(CliTest, SigintDuringAnAddStopsItAtOnce) {
  UseFakeFfmpeg();
  const std::string video = m_home->file("clip.avi");
  std::ofstream(video) << "the stand-in tool only needs a file";
  for (const bool list : {false, true}) {
    SCOPED_TRACE(list ? "--list" : "convert");
    std::vector<std::string> args = {"--dest", Out(), video, In("song one.wav")};
    if (list) args.insert(args.begin(), "--list");
    Background run(m_home->str(), args, {"FAKE_MODE=hang"});
    ASSERT_TRUE(run.Started());
    // The extraction runs (the stand-in tool hangs).
    ASSERT_TRUE(Background::WaitUntil([] { return !ProcessesMentioning("fakeffmpeg").empty(); }));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Finish(), 130) << run.err;
    EXPECT_NE(run.err.find("Import cancelled."), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Added "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Converted"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(fs::is_empty(Out()));
    EXPECT_EQ(WorkingFolderDebris(), std::vector<std::string>{});
  }
}

// A second Ctrl-C ends the run at once, but ends the tools it started first and removes its
// temporary files: the extracted WAV, the scripts, and the encoder's partial output.
TEST_F(CliTest, ASecondSigintLeavesNoTemporaryAndNoChild) {
  const std::string video = m_home->file("long.avi");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=300:duration=600 -ac 2 -c:a pcm_s16le " +
                     ShellQuote(video)));
  Background run(m_home->str(), {"--format", "aac", "--dest", Out(), video});
  ASSERT_TRUE(run.Started());
  // The conversion runs: the encoder program has started.
  ASSERT_TRUE(Background::WaitUntil([&] {
    for (const std::string& process : ProcessesMentioning(Out())) {
      if (process.find("qvfaac") != std::string::npos) return true;
    }
    return false;
  }));
  // Two different signals are both delivered however close they come (two SIGINTs could merge).
  run.Signal(SIGINT);
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Finish(), 130) << run.err;
  EXPECT_EQ(run.err.find("Converted"), std::string::npos) << run.err;  // it ended at once
  EXPECT_EQ(WorkingFolderDebris(), std::vector<std::string>{});
  for (const auto& entry : fs::directory_iterator(Out())) {
    EXPECT_FALSE(IsOurTemporaryName(entry.path().filename().string())) << entry.path();
  }
  // Killed processes may take a moment to be gone from the process table.
  std::vector<std::string> left = ProcessesMentioning(Out());
  for (int wait = 0; wait < 100 && !left.empty(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = ProcessesMentioning(Out());
  }
  EXPECT_EQ(left, std::vector<std::string>{});
}

// A run killed at any moment (SIGKILL: nothing of ours runs after it) never leaves a file under
// a final name that is not complete, and the next run into the same folder converts normally
// and removes what the killed runs left behind.
TEST_F(CliTest, AKilledRunLeavesNoIncompleteFileUnderAFinalName) {
  std::vector<std::string> sources;
  for (int i = 0; i < 3; ++i) {
    sources.push_back(m_home->file("long" + std::to_string(i) + ".wav"));
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=" + std::to_string(300 + 100 * i) +
                       ":duration=40 -ac 2 " + ShellQuote(sources.back())));
  }
  const auto waitForChildren = [&] {
    for (int wait = 0; wait < 250 && !ProcessesMentioning(Out()).empty(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  const auto checkFinalNames = [&](const std::string& when) {
    for (const auto& entry : fs::directory_iterator(Out())) {
      const std::string name = entry.path().filename().string();
      if (IsOurTemporaryName(name)) continue;
      const std::string facts = Probe(entry.path().string());
      const size_t at = facts.find("duration=");
      ASSERT_NE(at, std::string::npos) << when << ": " << name << " does not open";
      EXPECT_NEAR(std::stod(facts.substr(at + 9)), 40.0, 0.1) << when << ": " << name;
    }
  };
  const char* formats[] = {"wav", "mp3", "m4a"};
  std::uint32_t seed = 20261209;
  for (int round = 0; round < 6; ++round) {
    seed = seed * 1664525u + 1013904223u;
    const int delayMs = 20 + static_cast<int>(seed >> 8) % 900;
    const std::string format = formats[round % 3];
    std::vector<std::string> args = {"--format", format, "--jobs", round % 2 ? "2" : "1",
                                     "--dest", Out()};
    args.insert(args.end(), sources.begin(), sources.end());
    Background run(m_home->str(), args);
    ASSERT_TRUE(run.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    run.Signal(SIGKILL);
    run.Finish();
    waitForChildren();
    checkFinalNames(format + " killed after " + std::to_string(delayMs) + " ms");
  }
  const Outcome next = Run({"--format", "mp3", "--dest", Out(), sources[0]});
  EXPECT_EQ(next.status, 0) << next.err;
  waitForChildren();
  checkFinalNames("the next run");
  for (const auto& entry : fs::directory_iterator(Out())) {
    EXPECT_FALSE(IsOurTemporaryName(entry.path().filename().string())) << entry.path();
  }
}

// A library converted as a tree: each output in its source's sub-folder below the destination
// (--flat: all in one folder); a second run with --skip-existing converts nothing, and after
// one source changes exactly that one.
TEST_F(CliTest, ALibraryTreeIsKeptAndFilesAlreadyDoneAreSkipped) {
  const std::string lib = m_home->file("lib");
  const std::vector<std::string> folders = {"A", "A/x", "B/y/z"};
  for (const std::string& folder : folders) {
    fs::create_directories(lib + "/" + folder);
    ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=duration=0.5 " + ShellQuote(lib + "/" + folder +
                                                                      "/01 - Intro.wav")));
  }
  const auto outputs = [&](const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) found.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  const std::vector<std::string> args = {"--recursive", "--format", "mp3", "--dest", Out(), lib};
  Outcome run = Run(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(outputs(Out()), (std::vector<std::string>{"A/01 - Intro.mp3", "A/x/01 - Intro.mp3",
                                                      "B/y/z/01 - Intro.mp3"}));
  std::vector<std::string> again = args;
  again.insert(again.begin(), "--skip-existing");
  run = Run(again);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Converted 0 of 3 files (3 skipped"), std::string::npos) << run.err;
  EXPECT_EQ(outputs(Out()).size(), 3u);
  // A source changed since: converted again (a numbered copy beside the old output), then
  // skipped like the others.
  const std::string changed = lib + "/A/x/01 - Intro.wav";
  fs::last_write_time(changed, fs::file_time_type::clock::now());  // after its old output
  for (const char* expected : {"Converted 1 of 3 files (2 skipped", "Converted 0 of 3 files"}) {
    run = Run(again);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
  }
  EXPECT_EQ(outputs(Out()).size(), 4u);
  EXPECT_TRUE(fs::exists(Out("A/x/01 - Intro-COPY000001.mp3")));

  const std::string flat = m_home->file("flat");
  fs::create_directories(flat);
  run = Run({"--recursive", "--flat", "--format", "mp3", "--dest", flat, lib});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(outputs(flat), (std::vector<std::string>{"01 - Intro-COPY000001.mp3",
                                                     "01 - Intro-COPY000002.mp3",
                                                     "01 - Intro.mp3"}));

  // A destination inside the library is not walked: the second run does not take the first
  // run's outputs as sources.
  const std::string inside = lib + "/converted";
  fs::create_directories(inside);
  for (int i = 0; i < 2; ++i) {
    run = Run({"--recursive", "--format", "mp3", "--dest", inside, lib});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Added 3 new files"), std::string::npos) << run.err;
  }
  EXPECT_EQ(outputs(inside).size(), 6u);
  EXPECT_FALSE(fs::exists(inside + "/converted"));
}


// A cancelled run keeps the part it wrote under the output's name: --skip-existing converts
// such a file again under a new name and names the cut one in the log; the whole one is then
// taken as done.
TEST_F(CliTest, SkipExistingConvertsAgainWhatACancelCutShort) {
  const std::string source = m_home->file("long.wav");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=duration=6 " + ShellQuote(source)));
  fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(1));
  fs::create_directories(Out());
  // What a cancel after two seconds leaves: an MP3 whose header declares the part written.
  ASSERT_TRUE(Ffmpeg("-i " + ShellQuote(source) + " -t 2 " + ShellQuote(Out("long.mp3"))));
  const std::vector<std::string> args = {"--skip-existing", "--format", "mp3", "--dest", Out(),
                                         source};
  Outcome run = Run(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Converted 1 of 1 file."), std::string::npos) << run.err;
  EXPECT_NE(ReadFile(LogPath()).find("An earlier output of this file is incomplete, so it is "
                                     "converted again:\n\n   " + Out("long.mp3") +
                                     " holds 0:02 of 0:06"),
            std::string::npos)
      << ReadFile(LogPath());
  EXPECT_NEAR(DurationOf(Probe(Out("long-COPY000001.mp3"))), 6.0, 0.1);
  EXPECT_NEAR(DurationOf(Probe(Out("long.mp3"))), 2.0, 0.1);  // kept as it was
  run = Run(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Converted 0 of 1 file (1 skipped"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(Out("long-COPY000002.mp3")));
}

// What the ffmpeg program's own loudness filters measure of a file: integrated loudness and
// true peak (ebur128), and the ReplayGain 1.0 track gain (replaygain).
struct FfmpegLoudness {
  double integrated = NAN;  // LUFS
  double truePeak = NAN;    // dBFS
  double trackGain = NAN;   // dB
};

FfmpegLoudness MeasureWithFfmpeg(const std::string& path) {
  FfmpegLoudness m;
  const std::string command = std::string(QV_FFMPEG) + " -hide_banner -nostdin -nostats -i " +
                              ShellQuote(path) +
                              " -af ebur128=peak=true:framelog=verbose,replaygain -f null - 2>&1";
  const std::string text = CommandOutput(command);
  const auto after = [&text](const std::string& key) {
    const size_t at = text.rfind(key);
    return at == std::string::npos ? NAN : std::atof(text.c_str() + at + key.size());
  };
  m.integrated = after("    I:");
  m.truePeak = after("    Peak:");
  m.trackGain = after("track_gain = ");
  return m;
}

// The ReplayGain fields of a file as TagLib reads them (MP4 keeps them in free-form atoms and
// WMA in attributes of their own, which TagLib's property map leaves out).
std::map<std::string, double> ReplayGainTags(const std::string& path) {
  std::map<std::string, double> found;
  if (fs::path(path).extension() == ".m4a") {
    TagLib::MP4::File mp4(path.c_str());
    if (!mp4.isValid() || !mp4.tag()) return found;
    for (const auto& [atom, item] : mp4.tag()->itemMap()) {
      const std::string name = atom.to8Bit(true);
      const size_t at = name.find("REPLAYGAIN_");
      if (at != std::string::npos && !item.toStringList().isEmpty()) {
        found[name.substr(at)] = std::atof(item.toStringList().front().to8Bit(true).c_str());
      }
    }
    return found;
  }
  if (fs::path(path).extension() == ".wma") {
    TagLib::ASF::File asf(path.c_str());
    if (!asf.isValid() || !asf.tag()) return found;
    for (const auto& [name, attributes] : asf.tag()->attributeListMap()) {
      const std::string key = name.upper().to8Bit(true);
      if (key.rfind("REPLAYGAIN_", 0) == 0 && !attributes.isEmpty()) {
        found[key] = std::atof(attributes.front().toString().to8Bit(true).c_str());
      }
    }
    return found;
  }
  const TagLib::FileRef file(path.c_str());
  if (file.isNull()) return found;
  for (const auto& [key, values] : file.file()->properties()) {
    const std::string name = key.upper().to8Bit(true);
    if (name.rfind("REPLAYGAIN_", 0) == 0 && !values.isEmpty()) {
      found[name] = std::atof(values.front().to8Bit(true).c_str());
    }
  }
  return found;
}

std::vector<std::string> ColumnOf(const std::string& table, int column) {
  std::vector<std::string> cells;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the headings
  while (std::getline(lines, line)) {
    std::vector<std::string> row;
    std::stringstream split(line);
    for (std::string cell; std::getline(split, cell, '\t');) row.push_back(cell);
    cells.push_back(static_cast<int>(row.size()) > column ? row[static_cast<size_t>(column)] : "");
  }
  return cells;
}

// The largest absolute sample of a 16-bit PCM WAV, and how many samples lie at full scale.
std::pair<int, int> WavPeak(const std::string& wavPath) {
  const std::string wav = ReadFile(wavPath);
  if (wav.size() <= 44 || wav.compare(36, 4, "data") != 0) return {-1, -1};
  int peak = 0, atFullScale = 0;
  for (size_t at = 44; at + 2 <= wav.size(); at += 2) {
    const int sample = std::abs(static_cast<std::int16_t>(
        static_cast<unsigned char>(wav[at]) | static_cast<unsigned char>(wav[at + 1]) << 8));
    peak = std::max(peak, sample);
    if (sample >= 32767) ++atFullScale;
  }
  return {peak, atFullScale};
}

constexpr int kVolumeColumn = 7, kTrackGainColumn = 9, kClipTrackColumn = 10, kAlbumGainColumn = 11;

// Normalization lands on its target in either standard, as the ffmpeg program measures the
// output, and a gain that would take the peak over the limit is lowered to it: the list and the
// log say so, and the output's peak keeps to the limit.
TEST_F(CliTest, NormalizationLandsOnTheTargetAndKeepsToThePeakLimit) {
  const std::string noise = m_home->file("noise.flac");
  const std::string spiky = m_home->file("spiky.flac");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i anoisesrc=duration=6:amplitude=0.1:color=pink:seed=3 -ac 2 " +
                     ShellQuote(noise)));
  // A quiet tone with one loud click: loudness far below its peak.
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=0.02*sin(2*PI*440*t)+0.9*between(t\\,2\\,2.0005):"
                     "s=44100:d=6\" -ac 2 -c:a flac " + ShellQuote(spiky)));
  // A square wave: lossy encoders overshoot its edges, so its encoded peak passes the source's.
  const std::string square = m_home->file("square.flac");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=0.5*clip(4*sin(2*PI*110*t)\\,-1\\,1):s=44100:d=6\" "
                     "-ac 2 -c:a flac " + ShellQuote(square)));
  struct Case {
    std::vector<std::string> options;
    std::string source;
    bool limited;
    std::string format = "wav";
  };
  const Case cases[] = {
      {{"--standard", "r128", "--target", "-16"}, noise, false},
      {{"--target", "92"}, noise, false},
      {{"--standard", "r128", "--target", "-10"}, spiky, true},
      {{"--standard", "r128", "--target", "-10", "--peak-limit", "-3"}, spiky, true},
      {{"--target", "110"}, spiky, true},
      {{"--standard", "r128", "--target", "0"}, square, true, "m4a"},
  };
  for (const Case& c : cases) {
    fs::remove_all(Out());
    fs::create_directories(Out());
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--normalize", "--format", c.format, "--dest", Out(), c.source});
    const Outcome run = Run(args);
    const std::string label = c.options[1] + " " + c.options.back();
    ASSERT_EQ(run.status, 0) << label << run.err;
    const std::string output = Out(fs::path(c.source).stem().string() + "." + c.format);
    const FfmpegLoudness m = MeasureWithFfmpeg(output);
    const bool r128 = c.options[0] == "--standard";
    const std::string log = ReadFile(LogPath());
    EXPECT_EQ(log.find("Gain lowered") != std::string::npos, c.limited) << label << log;
    // The encoded square passed the limit once and was encoded again below it.
    EXPECT_EQ(log.find("encoded again") != std::string::npos, c.format != "wav") << label << log;
    std::vector<std::string> listArgs = c.options;
    listArgs.insert(listArgs.end(), {"--list", "--loudness", c.source});
    EXPECT_EQ(ColumnOf(Run(listArgs).out, kClipTrackColumn),
              std::vector<std::string>{c.limited ? "Y" : "n"})
        << label;
    const double limit = c.options.back() == "-3" ? -3.0 : (r128 ? -1.0 : 0.0);
    if (!c.limited) {
      const double target = std::atof(c.options[r128 ? 3 : 1].c_str());
      EXPECT_NEAR(r128 ? m.integrated : 89.0 - m.trackGain, target, 0.1) << label;
    } else if (r128) {
      // The ffmpeg program's true peak is its own estimate of the oversampled signal.
      EXPECT_LE(m.truePeak, limit + 0.2) << label;
      EXPECT_GE(m.truePeak, limit - 1.0) << label;
    } else {
      // Full scale: the click reaches it (in both channels) and nothing is cut off at it.
      const auto [peak, atFullScale] = WavPeak(output);
      EXPECT_GE(peak, 32700) << label;
      EXPECT_LE(atFullScale, 2) << label;
    }
  }
}

// An album's gain is the loudness of its tracks taken together: what the ffmpeg program
// measures of the tracks played one after the other. Tracks without an album tag form their
// folder's album. Several files measured at once give the same values.
TEST_F(CliTest, AlbumGainIsTheLoudnessOfTheTracksTogether) {
  const std::string album = m_home->file("album");
  fs::create_directories(album + "/single");
  const double amplitudes[] = {0.3, 0.1, 0.05};
  std::string concatInputs;
  for (int i = 0; i < 3; ++i) {
    const std::string track = album + "/track" + std::to_string(i + 1) + ".flac";
    ASSERT_TRUE(Ffmpeg("-f lavfi -i anoisesrc=duration=12:color=pink:seed=" + std::to_string(i) +
                       ":amplitude=" + std::to_string(amplitudes[i]) +
                       " -ac 2 -metadata album=Together -metadata artist=Band " +
                       ShellQuote(track)));
    concatInputs += " -i " + ShellQuote(track);
  }
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=500:duration=3 -ac 2 " +
                     ShellQuote(album + "/single/alone.wav")));
  const std::string together = m_home->file("together.wav");
  ASSERT_TRUE(Ffmpeg(concatInputs + " -filter_complex concat=n=3:v=0:a=1 " +
                     ShellQuote(together)));
  const FfmpegLoudness whole = MeasureWithFfmpeg(together);

  for (const char* standard : {"r128", "replaygain1"}) {
    const Outcome serial =
        Run({"--standard", standard, "--list", "--album", "--recursive", "--jobs", "1", album});
    ASSERT_EQ(serial.status, 0) << serial.err;
    const Outcome parallel =
        Run({"--standard", standard, "--list", "--album", "--recursive", "--jobs", "3", album});
    const std::vector<std::string> gains = ColumnOf(serial.out, kAlbumGainColumn);
    EXPECT_EQ(ColumnOf(parallel.out, kAlbumGainColumn), gains) << standard;
    ASSERT_EQ(gains.size(), 4u) << serial.out;
    // alone.wav (row 1, the sub-folder's file comes first) is an album of its own.
    const std::vector<std::string> volumes = ColumnOf(serial.out, kVolumeColumn);
    const bool r128 = std::string(standard) == "r128";
    const double target = r128 ? -18.0 : 89.0;
    EXPECT_NEAR(std::atof(gains[0].c_str()), target - std::atof(volumes[0].c_str()), 0.006);
    for (size_t row = 1; row < 4; ++row) {
      EXPECT_EQ(gains[row], gains[1]) << standard;
      EXPECT_NEAR(std::atof(gains[row].c_str()),
                  r128 ? target - whole.integrated : whole.trackGain, 0.1)
          << standard << " row " << row;
    }
  }

  // A silent track (all below the R128 gate) has no gain of its own but takes its album's.
  const std::string quiet = m_home->file("quiet");
  fs::create_directories(quiet);
  ASSERT_TRUE(Ffmpeg("-f lavfi -i anoisesrc=duration=3:amplitude=0.2 -ac 2 -metadata album=Q " +
                     ShellQuote(quiet + "/a.flac")));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i anullsrc=r=44100:cl=stereo -t 3 -metadata album=Q " +
                     ShellQuote(quiet + "/b.flac")));
  const Outcome list = Run({"--standard", "r128", "--list", "--album", quiet});
  const std::vector<std::string> gains = ColumnOf(list.out, kAlbumGainColumn);
  ASSERT_EQ(gains.size(), 2u) << list.out;
  EXPECT_EQ(gains[1], gains[0]);
  const Outcome byAlbum =
      Run({"--standard", "r128", "--album", "--normalize", "--dest", Out(), quiet});
  EXPECT_EQ(byAlbum.status, 0) << byAlbum.err;
  EXPECT_TRUE(fs::exists(Out("b.wav")));
  const Outcome byTrack = Run({"--standard", "r128", "--normalize", "--dest", Out(), quiet});
  EXPECT_EQ(byTrack.status, 1);
  EXPECT_NE(byTrack.err.find("The file is silent"), std::string::npos) << byTrack.err;
}

// The ReplayGain tags describe each output as it will play, lossy encoding included: read back
// with TagLib, they agree with the ffmpeg program's measurement of that output; the album pair
// is the same in every output of the album, and the source's own values never come through.
TEST_F(CliTest, ReplayGainTagsDescribeTheOutputs) {
  const std::string album = m_home->file("rg");
  fs::create_directories(album);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Ffmpeg("-f lavfi -i anoisesrc=duration=4:color=pink:seed=" + std::to_string(i) +
                       ":amplitude=" + (i == 0 ? "0.25" : "0.06") +
                       " -ac 2 -metadata album=Tagged -metadata REPLAYGAIN_TRACK_GAIN=-9.99 " +
                       ShellQuote(album + "/t" + std::to_string(i) + ".flac")));
  }
  for (const char* standard : {"r128", "replaygain1"}) {
    for (const char* format : {"mp3", "m4a", "flac", "ogg", "wma"}) {
      fs::remove_all(Out());
      fs::create_directories(Out());
      const Outcome run = Run({"--standard", standard, "--format", format, "--replaygain-tags",
                               "--album", "--dest", Out(), album});
      ASSERT_EQ(run.status, 0) << standard << format << run.err;
      const bool r128 = std::string(standard) == "r128";
      std::map<std::string, double> first;
      for (int i = 0; i < 2; ++i) {
        const std::string output = Out("t" + std::to_string(i) + "." + format);
        const std::map<std::string, double> tags = ReplayGainTags(output);
        const std::string label = std::string(standard) + " " + output;
        ASSERT_EQ(tags.size(), 4u) << label;
        const FfmpegLoudness m = MeasureWithFfmpeg(output);
        EXPECT_NEAR(tags.at("REPLAYGAIN_TRACK_GAIN"), r128 ? -18.0 - m.integrated : m.trackGain,
                    0.1)
            << label;
        EXPECT_NE(tags.at("REPLAYGAIN_TRACK_GAIN"), -9.99) << label;
        if (r128) {
          EXPECT_NEAR(20.0 * std::log10(tags.at("REPLAYGAIN_TRACK_PEAK")), m.truePeak, 0.3)
              << label;
        }
        if (i == 0) {
          first = tags;
        } else {
          EXPECT_EQ(tags.at("REPLAYGAIN_ALBUM_GAIN"), first.at("REPLAYGAIN_ALBUM_GAIN"));
          EXPECT_EQ(tags.at("REPLAYGAIN_ALBUM_PEAK"), first.at("REPLAYGAIN_ALBUM_PEAK"));
          // The loud track dominates the album: its album gain is near its track gain.
          EXPECT_LT(std::fabs(first.at("REPLAYGAIN_ALBUM_GAIN") -
                              first.at("REPLAYGAIN_TRACK_GAIN")),
                    std::fabs(first.at("REPLAYGAIN_ALBUM_GAIN") -
                              tags.at("REPLAYGAIN_TRACK_GAIN")))
              << label;
        }
      }
    }
  }
}

// The samples of each channel of a file, as the ffmpeg program decodes it (`channels` of them).
std::vector<std::vector<float>> DecodedChannels(const std::string& path, int channels,
                                                const std::string& scratch) {
  const std::string raw = scratch + "/decoded.f32";
  std::vector<std::vector<float>> planes(static_cast<size_t>(channels));
  if (CommandOutput(std::string(QV_FFMPEG) + " -v error -nostdin -y -i " + ShellQuote(path) +
                    " -f f32le -c:a pcm_f32le " + ShellQuote(raw) + " 2>&1") != "") {
    return planes;
  }
  const std::string bytes = ReadFile(raw);
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    float value;
    std::memcpy(&value, bytes.data() + at, 4);
    planes[(at / 4) % static_cast<size_t>(channels)].push_back(value);
  }
  return planes;
}

// The amplitude of a `hz` tone in `samples` at `rate` (a Goertzel sum over whole seconds).
double ToneAmplitude(const std::vector<float>& samples, int rate, double hz) {
  const size_t n = samples.size() / static_cast<size_t>(rate) * static_cast<size_t>(rate);
  double re = 0, im = 0;
  for (size_t i = 0; i < n; ++i) {
    re += samples[i] * std::cos(2 * M_PI * hz * static_cast<double>(i) / rate);
    im += samples[i] * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate);
  }
  return n ? 2 * std::hypot(re, im) / static_cast<double>(n) : 0.0;
}

// A mono source and a 5.1 one (side surrounds, a tone of its own per speaker) in every format:
// mono stays mono; the formats that hold six channels keep them in a layout players know, WAV
// with its extensible header's mask; MP3 and WMA mix them down to stereo (the centre in both
// sides at -3 dB, the front left in the left only) and the log says so. A normalized mono MP3
// lands on its R128 target, the 5.1 source's loudness agrees with the ffmpeg program's, and nine
// channels are refused.
TEST_F(CliTest, ChannelsAreKeptOrMixedDownToStereo) {
  const std::string mono = m_home->file("mono.flac");
  const std::string surround = m_home->file("surround.flac");
  const std::string nine = m_home->file("nine.wav");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=440:duration=3 -af volume=-12dB -ac 1 " +
                     ShellQuote(mono)));
  std::string tones;
  for (const int hz : {500, 700, 300, 60, 1100, 1300}) {
    tones += (tones.empty() ? "" : "|") + std::string("0.25*sin(2*PI*") + std::to_string(hz) +
             "*t)";
  }
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=exprs=" + tones + ":c=5.1(side):d=3\" " +
                     ShellQuote(surround)));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=exprs=0|0|0|0|0|0|0|0|0:d=1\" " +
                     ShellQuote(nine)));
  const struct {
    const char* format;
    const char* layout;  // of the 5.1 output; "stereo" when it is mixed down
  } cases[] = {{"wav", "5.1(side)"}, {"mp3", "stereo"},    {"aac", "5.1"},  {"mp4", "5.1"},
               {"m4a", "5.1"},       {"wma", "stereo"},    {"flac", "5.1(side)"},
               {"opus", "5.1"},      {"ogg", "5.1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    fs::remove_all(Out());
    fs::create_directories(Out());
    const Outcome run = Run({"--format", c.format, "--dest", Out(), mono, surround});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string ext = std::string(".") + c.format;
    EXPECT_EQ(Ffprobe("stream=channels", Out("mono" + ext)), "channels=1\n");
    const std::string output = Out("surround" + ext);
    const bool mixed = std::string(c.layout) == "stereo";
    // WMA names no layout; every other output does.
    EXPECT_EQ(Ffprobe("stream=channels,channel_layout", output),
              std::string("channels=") + (mixed ? "2" : "6") + "\nchannel_layout=" +
                  (std::string(c.format) == "wma" ? "unknown" : c.layout) + "\n");
    EXPECT_EQ(ReadFile(LogPath()).find("The source's 6 channels were mixed down to 2: ") !=
                  std::string::npos,
              mixed);
    if (!mixed) continue;
    const auto planes = DecodedChannels(output, 2, m_home->str());
    const double centreLeft = ToneAmplitude(planes[0], 44100, 300);
    EXPECT_NEAR(centreLeft, 0.25 * M_SQRT1_2, 0.02);
    EXPECT_NEAR(ToneAmplitude(planes[1], 44100, 300), centreLeft, 0.01);
    EXPECT_NEAR(ToneAmplitude(planes[0], 44100, 500), 0.25, 0.02);
    EXPECT_LT(ToneAmplitude(planes[1], 44100, 500), 0.005);
  }

  fs::remove_all(Out());
  fs::create_directories(Out());
  const Outcome normalized = Run({"--standard", "r128", "--target", "-16", "--normalize",
                                  "--format", "mp3", "--dest", Out(), mono});
  ASSERT_EQ(normalized.status, 0) << normalized.err;
  EXPECT_NEAR(MeasureWithFfmpeg(Out("mono.mp3")).integrated, -16.0, 0.5);

  const FfmpegLoudness measured = MeasureWithFfmpeg(surround);
  const Outcome r128 = Run({"--list", "--loudness", "--standard", "r128", surround});
  ASSERT_EQ(ColumnOf(r128.out, kVolumeColumn).size(), 1u) << r128.err;
  EXPECT_NEAR(std::atof(ColumnOf(r128.out, kVolumeColumn)[0].c_str()), measured.integrated, 0.2);
  // ReplayGain measures the stereo downmix, as the ffmpeg program's filter (which takes at most
  // two channels) gets it.
  const Outcome replayGain = Run({"--list", "--loudness", surround});
  ASSERT_EQ(ColumnOf(replayGain.out, kTrackGainColumn).size(), 1u) << replayGain.err;
  EXPECT_NEAR(std::atof(ColumnOf(replayGain.out, kTrackGainColumn)[0].c_str()),
              measured.trackGain, 0.1);

  const Outcome refused = Run({"--format", "flac", "--dest", Out(), nine});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find(": 9 channels; 1 to 8 are taken\n"),
            std::string::npos)
      << refused.err;
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// A tagged tree named from its tags into a destination that does not exist yet, then run again
// with every choice for the existing outputs; dry runs plan the same and write nothing.
TEST_F(CliTest, ALibraryIsNamedFromTagsAndRerunsFollowTheExistingChoice) {
  const std::string lib = m_home->file("lib");
  fs::create_directories(lib + "/A");
  fs::create_directories(lib + "/B");
  const std::string tags = " -metadata artist=Band -metadata album=First -c:a flac ";
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=440:duration=2 -ac 2 -metadata title=Intro "
                     "-metadata track=1" + tags + ShellQuote(lib + "/A/x1.flac")));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=550:duration=2 -ac 2 -metadata " +
                     ShellQuote("title=AC/DC: Live?") + " -metadata track=2" + tags +
                     ShellQuote(lib + "/A/x2.flac")));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=660:duration=1 " + ShellQuote(lib + "/B/y.wav")));
  const std::string dest = m_home->file("phone/Music");
  const std::vector<std::string> base = {"--format", "opus", "--recursive", "--dest", dest,
                                         "--name", "{albumartist}/{album}/{track:02} {title}"};
  const auto run = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), base.begin(), base.end());
    extra.push_back(lib);
    return Run(extra);
  };
  const std::string first = dest + "/Band/First/01 Intro.opus";
  const std::string second = dest + "/Band/First/02 AC_DC: Live?.opus";
  const std::string untagged = dest + "/Unknown Artist/Unknown Album/y.opus";
  const auto plan = [](const std::string& source, const std::string& output,
                       const char* action) { return source + "\t" + output + "\t" + action + "\n"; };

  Outcome dry = run({"--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, plan(lib + "/A/x1.flac", first, "convert") +
                         plan(lib + "/A/x2.flac", second, "convert") +
                         plan(lib + "/B/y.wav", untagged, "convert"));
  EXPECT_FALSE(fs::exists(m_home->file("phone")));
  EXPECT_FALSE(fs::exists(LogPath()));

  Outcome done = run({});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.err.find("Created the destination folder " + dest), std::string::npos);
  EXPECT_EQ(Ffprobe("stream_tags=title", second), "TAG:TITLE=AC/DC: Live?\n");
  EXPECT_NEAR(DurationOf(Probe(first)), 2.0, 0.05);
  const auto inode = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  };
  const ino_t firstInode = inode(first), secondInode = inode(second);

  // What a second run would do with each choice.
  dry = run({"--dry-run", "--json"});
  EXPECT_NE(dry.out.find("\"output\":\"" + dest + "/Band/First/01 Intro-COPY000001.opus\","
                         "\"action\":\"number\""), std::string::npos) << dry.out;
  for (const char* choice : {"skip", "replace"}) {
    dry = run({"--dry-run", "--existing", choice});
    EXPECT_EQ(dry.out, plan(lib + "/A/x1.flac", first, choice) +
                           plan(lib + "/A/x2.flac", second, choice) +
                           plan(lib + "/B/y.wav", untagged, choice)) << choice;
  }
  // A source changed since: update converts it again in its output's place, and only it.
  fs::last_write_time(lib + "/A/x2.flac",
                      fs::last_write_time(second) + std::chrono::seconds(10));
  done = run({"--existing", "update", "--json"});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("\"skipped\":2"), std::string::npos) << done.out;
  EXPECT_EQ(inode(first), firstInode);
  EXPECT_NE(inode(second), secondInode);
  EXPECT_NEAR(DurationOf(Probe(second)), 2.0, 0.05);
  done = run({"--existing", "replace"});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(inode(first), firstInode);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dest)) files += entry.is_regular_file();
  EXPECT_EQ(files, 3u);  // no copies, no hidden files

  // Never a source: a WAV named as itself beside itself is numbered. Rows that clash inside the
  // batch are numbered too, in row order. Paths come from a NUL-separated list.
  const std::string list = m_home->file("list");
  std::ofstream(list) << lib << "/A/x1.flac" << '\0' << lib << "/A/x2.flac" << '\0'
                      << lib << "/B/y.wav" << '\0';
  dry = Run({"--files-from", list, "--null", "--same-folder", "--existing", "replace", "--name",
             "{album}", "--dry-run"});
  EXPECT_EQ(dry.out, plan(lib + "/A/x1.flac", lib + "/A/First.wav", "convert") +
                         plan(lib + "/A/x2.flac", lib + "/A/First-COPY000001.wav", "number") +
                         plan(lib + "/B/y.wav", lib + "/B/Unknown Album.wav", "convert"));
  dry = Run({"--same-folder", "--existing", "replace", "--dry-run", lib + "/B/y.wav"});
  EXPECT_EQ(dry.out, plan(lib + "/B/y.wav", lib + "/B/y-COPY000001.wav", "number"));
}

// An album image and its sheet: a row per track, titled and tagged from the sheet, cut at
// INDEX 01 so that the tracks joined again are the image's samples from track 1 on (the ffmpeg
// program decodes both); a sheet in Latin-1 that names a file by another name finds the image
// with its base name; the tracks are one album; the same sheet inside the image as its
// CUESHEET tag gives the same rows; a sheet whose file is missing is refused with its name.
TEST_F(CliTest, AlbumImagesAreSplitAtTheirSheetsExactly) {
  const std::string album = m_home->file("album");
  fs::create_directories(album);
  const std::string image = album + "/Album.flac";
  ASSERT_TRUE(Ffmpeg("-f lavfi -i anoisesrc=r=44100:d=12:a=0.3:seed=3 -ac 2 -sample_fmt s16 "
                     "-metadata ARTIST=Image -metadata TITLE=Whole " + ShellQuote(image)));
  const std::string sheet =
      "REM GENRE Noise\r\nREM DATE 2024\r\nPERFORMER \"The Band\"\r\nTITLE \"Caf\xE9 Album\"\r\n"
      "FILE \"Other name.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    TITLE \"First\"\r\n"
      "    PERFORMER \"Guest\"\r\n    INDEX 01 00:00:33\r\n  TRACK 02 AUDIO\r\n"
      "    TITLE \"S\xE9\x63ond\"\r\n    INDEX 00 00:04:00\r\n    INDEX 01 00:04:17\r\n"
      "  TRACK 03 AUDIO\r\n    TITLE \"Third\"\r\n    INDEX 01 00:08:74\r\n";
  std::ofstream(album + "/Album.cue", std::ios::binary) << sheet;

  const Outcome list = Run({"--list", "--album", "--loudness", album});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(ColumnOf(list.out, 0), (std::vector<std::string>{"First", "Sécond", "Third"}));
  const std::vector<std::string> gains = ColumnOf(list.out, kAlbumGainColumn);
  ASSERT_EQ(gains.size(), 3u);
  EXPECT_EQ(gains[1], gains[0]);
  EXPECT_EQ(gains[2], gains[0]);

  const Outcome run = Run({"--format", "wav", "--dest", Out(), image});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string joined;
  // Each track is named after the image, its number and its title.
  const char* names[] = {"Album - 01 First.wav", "Album - 02 Sécond.wav", "Album - 03 Third.wav"};
  for (const char* name : names) {
    const std::string raw = Out(std::string(name) + ".raw");
    ASSERT_TRUE(Ffmpeg("-i " + ShellQuote(Out(name)) + " -f s16le " + ShellQuote(raw))) << name;
    joined += ReadFile(raw);
  }
  const std::string whole = m_home->file("whole.raw");
  ASSERT_TRUE(Ffmpeg("-i " + ShellQuote(image) + " -af atrim=start_sample=" +
                     std::to_string(33 * 588) + " -f s16le " + ShellQuote(whole)));
  EXPECT_EQ(joined.size(), ReadFile(whole).size());
  EXPECT_TRUE(joined == ReadFile(whole));
  EXPECT_NEAR(DurationOf(Probe(Out(names[0]))), (4 * 75 + 17 - 33) / 75.0, 1e-4);
  const std::string second = Ffprobe("format_tags", Out(names[1]));
  for (const char* tag : {"title=Sécond", "artist=The Band", "album=Café Album", "genre=Noise",
                          "date=2024", "track=2"}) {
    EXPECT_NE(second.find(tag), std::string::npos) << tag << "\n" << second;
  }
  EXPECT_NE(Ffprobe("format_tags", Out(names[0])).find("artist=Guest"), std::string::npos);

  // The sheet inside the image.
  const std::string tagged = m_home->file("tagged.flac");
  std::string utf8 = sheet;
  for (size_t at; (at = utf8.find('\xE9')) != std::string::npos;) utf8.replace(at, 1, "é");
  ASSERT_TRUE(Ffmpeg("-i " + ShellQuote(image) + " -c copy -metadata CUESHEET=" +
                     ShellQuote(utf8) + " " + ShellQuote(tagged)));
  const Outcome inside = Run({"--list", tagged});
  ASSERT_EQ(inside.status, 0) << inside.err;
  EXPECT_EQ(ColumnOf(inside.out, 0), (std::vector<std::string>{"First", "Sécond", "Third"}));

  const std::string lost = m_home->file("lost");
  fs::create_directories(lost);
  std::ofstream(lost + "/Disc.cue") << "FILE \"Gone.flac\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  const Outcome refused = Run({"--list", lost + "/Disc.cue"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find(lost + "/Gone.flac"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace qv
