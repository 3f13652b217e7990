// The per-file measurement and the loudness batch on real files made with the ffmpeg program
// or written by hand: results and progress, refused and damaged files, the rows' cells, the log,
// Cancel, and retargeting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/paths.h"
#include "audio/bass.h"
#include "audio/decoder.h"
#include "loudness/loudness.h"
#include "model/listcolumns.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

bool Ffmpeg(const std::string& args) {
  const std::string command =
      std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y " + args;
  return std::system(command.c_str()) == 0;
}

// A 1 kHz tone of peak `amplitude` (1.0 is full scale), `seconds` long, at `rate`, in
// `channels`, made by the ffmpeg program.
std::string MakeTone(const test::TempDir& dir, const std::string& name, double seconds,
                     int rate = 44100, int channels = 1, double amplitude = 0.5) {
  const std::string path = dir.file(name);
  EXPECT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=" + std::to_string(amplitude) +
                     "*sin(2*PI*1000*t):s=" + std::to_string(rate) + ":d=" +
                     std::to_string(seconds) + "\" -ac " + std::to_string(channels) + " " +
                     ShellQuote(path)));
  return path;
}

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A 32-bit float WAV holding exactly the given interleaved samples.
std::string WriteFloatWav(const test::TempDir& dir, const std::string& name, int rate,
                          int channels, const std::vector<float>& samples) {
  std::string data(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
  std::string header = "RIFF";
  PutLe(header, static_cast<std::uint32_t>(36 + data.size()), 4);
  header += "WAVEfmt ";
  PutLe(header, 16, 4);
  PutLe(header, 3, 2);  // IEEE float
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 4), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 4), 2);
  PutLe(header, 32, 2);
  header += "data";
  PutLe(header, static_cast<std::uint32_t>(data.size()), 4);
  const std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary) << header << data;
  return path;
}

// A quiet tone with one loud click: it needs a large gain, and that gain would clip the click.
std::string WriteQuietWithClick(const test::TempDir& dir, const std::string& name) {
  std::vector<float> samples(44100 * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(0.02 * std::sin(2.0 * 3.14159265358979 * 1000.0 * i / 44100));
  }
  samples[30000] = 0.9f;
  return WriteFloatWav(dir, name, 44100, 1, samples);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

LoudnessResult Measure(const std::string& path, double target = 89.0) {
  JobContext job;
  return AnalyzeFile(path, target, job);
}

// ---- AnalyzeFile

TEST(AnalyzeFile, FiveSecondsOfMonoInFiveBlocks) {
  test::TempDir dir;
  const std::string path = MakeTone(dir, "five.wav", 5.0);
  LoudnessEngine engine;
  JobContext job;
  std::vector<std::string> progress;
  job.ProgressCallback = [&](const char* operation) {
    BatchState state;
    state.BatchFileCount = 1;
    progress.push_back(ProgressText(operation, state, job));
  };
  const LoudnessResult r = AnalyzeFile(engine, path, 92.5, job);
  ASSERT_EQ(r.code, kLoudnessMeasured);
  EXPECT_EQ(job.SourceDuration, 5);
  EXPECT_EQ(job.ProcessedSeconds, 5);
  ASSERT_EQ(progress.size(), 5u);
  EXPECT_EQ(progress.back(), "Analyzing...  File 1 of 1 - 0:05 of 0:05");
  EXPECT_NEAR(r.volume + r.trackGain, 92.5, 1e-9);
  EXPECT_EQ(r.clipping, 0);
  EXPECT_NEAR(r.peak, 0.5 * 32767.0, 0.5 * 32767.0 * 0.001);
}

TEST(AnalyzeFile, AgreesWithTheFfmpegReplayGainFilter) {
  // An independent implementation of the same reference analysis: within a few hundredths of
  // a dB (it filters in single precision).
  test::TempDir dir;
  const std::string path = dir.file("music.flac");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=0.3*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*0.5*t))+"
                     "0.2*sin(2*PI*1330*t)|0.25*sin(2*PI*330*t)+0.1*sin(2*PI*2750*t):s=48000:d=6\""
                     " " + ShellQuote(path)));
  const std::string report = dir.file("report.txt");
  ASSERT_EQ(std::system((std::string(QV_FFMPEG) + " -hide_banner -nostdin -i " +
                         ShellQuote(path) + " -af replaygain -f null - 2> " + ShellQuote(report))
                            .c_str()),
            0);
  const std::string text = ReadAll(report);
  const std::size_t at = text.find("track_gain = ");
  ASSERT_NE(at, std::string::npos) << text;
  const double theirs = std::atof(text.c_str() + at + 13);
  const LoudnessResult r = Measure(path);
  ASSERT_EQ(r.code, kLoudnessMeasured);
  EXPECT_NEAR(r.trackGain, theirs, 0.05);
  EXPECT_NEAR(r.volume, 89.0 - theirs, 0.05);
}

TEST(AnalyzeFile, FullScaleSamplesClip) {
  test::TempDir dir;
  std::vector<float> samples(44100 * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i / 2) % 100 < 50 ? 0.5f : -0.5f;
  samples[1001] = 1.0f;
  const LoudnessResult full = Measure(WriteFloatWav(dir, "full.wav", 44100, 2, samples));
  ASSERT_EQ(full.code, kLoudnessMeasured);
  EXPECT_EQ(full.peak, 32767.0);
  EXPECT_EQ(full.clipping, 1);
  samples[1001] = 0.99f;
  const LoudnessResult under = Measure(WriteFloatWav(dir, "under.wav", 44100, 2, samples));
  EXPECT_EQ(under.clipping, 0);
  EXPECT_NEAR(under.peak, 0.99 * 32767.0, 0.01);
}

TEST(AnalyzeFile, RefusedAndDamagedFiles) {
  test::TempDir dir;
  std::ofstream(dir.file("text.mp3")) << "this is not audio at all, only some words\n";
  // Nine channels: more than any layout FFmpeg names a downmix for.
  const std::string nine = dir.file("nine.wav");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=0|0|0|0|0|0|0|0|0.5*sin(2*PI*1000*t):d=1\" " +
                     ShellQuote(nine)));
  ASSERT_TRUE(Ffmpeg("-f lavfi -i color=c=black:s=16x16:d=1 -c:v mpeg4 " +
                     ShellQuote(dir.file("silent film.mp4"))));
  // Every refusal says why.
  const struct {
    std::string path;
    int code;
    const char* reason;
  } refused[] = {
      {dir.file("missing.wav"), kLoudnessCannotRead,
       "Can't open the file - No such file or directory"},
      {dir.file("text.mp3"), kLoudnessCannotRead,
       "Can't open the file - it is not audio in a format Quorvin reads"},
      {dir.str(), kLoudnessCannotRead, "Can't open the file - it is a folder"},
      {dir.file("silent film.mp4"), kLoudnessCannotRead,
       "Can't open the file - it holds no audio stream"},
      {MakeTone(dir, "hi.wav", 1.0, 192000), kLoudnessUnsupported,
       "This loudness standard cannot measure 1 channel at 192000 Hz"},
      {MakeTone(dir, "odd.wav", 1.0, 37800), kLoudnessUnsupported,
       "This loudness standard cannot measure 1 channel at 37800 Hz"},
      {nine, kLoudnessUnsupported, "This loudness standard cannot measure 9 channels at 44100 Hz"},
  };
  for (const auto& r : refused) {
    const LoudnessResult result = Measure(r.path);
    EXPECT_EQ(result.code, r.code) << r.path;
    EXPECT_EQ(result.reason, r.reason);
  }
  // 40 ms: less than one 50 ms window.
  const LoudnessResult tiny = Measure(MakeTone(dir, "tiny.wav", 0.04));
  EXPECT_EQ(tiny.code, kLoudnessTooShort);
  EXPECT_EQ(tiny.volume, 0.0);
  EXPECT_EQ(Measure(MakeTone(dir, "ok96.flac", 1.0, 96000, 2)).code, kLoudnessMeasured);
  // Empty and cut files are no measurement either.
  std::ofstream(dir.file("empty.wav")).close();
  EXPECT_EQ(Measure(dir.file("empty.wav")).code, kLoudnessCannotRead);
  const std::string whole = MakeTone(dir, "whole.wav", 1.0);
  const std::string cut = dir.file("cut.wav");
  std::filesystem::copy_file(whole, cut);
  std::filesystem::resize_file(cut, 44 + 100);  // the header and 50 samples
  EXPECT_EQ(Measure(cut).code, kLoudnessTooShort);
  // A float file with NaN and infinite samples is measured; nothing turns into NaN.
  std::vector<float> junk(44100, 0.25f);
  junk[10] = NAN;
  junk[20000] = INFINITY;
  const LoudnessResult odd = Measure(WriteFloatWav(dir, "junk.wav", 44100, 1, junk));
  ASSERT_EQ(odd.code, kLoudnessMeasured);
  EXPECT_TRUE(std::isfinite(odd.volume));
  EXPECT_EQ(odd.clipping, 1);
}

std::atomic<int> g_readsAllowed{0};
bool FailAfterSomeReads() { return g_readsAllowed.fetch_sub(1) <= 0; }

TEST(AnalyzeFile, AReadErrorMidFileIsNoMeasurement) {
  // A disk failing in the middle of the file: the loudness of the part read so far would be
  // stored as the file's, and normalization would apply it.
  test::TempDir dir;
  const std::string path = MakeTone(dir, "long.wav", 20.0, 44100, 2);
  LoudnessEngine engine;
  JobContext job;
  g_readsAllowed = 20;
  job.ProgressCallback = [](const char*) { audio::SetReadFaultHook(&FailAfterSomeReads); };
  const LoudnessResult r = AnalyzeFile(engine, path, 89.0, job);
  audio::SetReadFaultHook(nullptr);
  EXPECT_EQ(r.code, kLoudnessCannotRead);
  EXPECT_NE(r.reason.find("read error at 0:"), std::string::npos) << r.reason;
  EXPECT_NE(r.reason.find("(Input/output error)"), std::string::npos) << r.reason;
  EXPECT_LT(job.ProcessedSeconds, 20);
  EXPECT_EQ(r.volume, 0.0);
  // The engine is clean again: the next file measures as it does alone.
  JobContext again;
  EXPECT_EQ(AnalyzeFile(engine, path, 89.0, again).volume, Measure(path).volume);
}

TEST(AnalyzeFile, FilesInARowMeasureAsAlone) {
  test::TempDir dir;
  const std::string a = MakeTone(dir, "a.wav", 2.0, 44100, 2, 0.8);
  const std::string b = MakeTone(dir, "b.flac", 2.5, 48000, 1, 0.1);
  const std::string c = MakeTone(dir, "c.wav", 1.0, 44100, 2, 0.3);
  const double aloneA = Measure(a).volume, aloneB = Measure(b).volume, aloneC = Measure(c).volume;
  LoudnessEngine engine;
  for (int round = 0; round < 2; ++round) {
    JobContext j1, j2, j3;
    EXPECT_EQ(AnalyzeFile(engine, a, 89.0, j1).volume, aloneA);
    EXPECT_EQ(AnalyzeFile(engine, b, 89.0, j2).volume, aloneB);
    EXPECT_EQ(AnalyzeFile(engine, c, 89.0, j3).volume, aloneC);
  }
  // A louder copy of the same tone differs by the level difference (0.8 vs 0.1: 18.06 dB).
  EXPECT_NEAR(aloneA - Measure(MakeTone(dir, "a01.wav", 2.0, 44100, 2, 0.1)).volume,
              20.0 * std::log10(8.0), 0.02);
}

TEST(AnalyzeFile, SeveralFilesAtOnceOnTheirOwnThreads) {
  // Every job has its own engine and context: measuring at once gives what each gives alone.
  test::TempDir dir;
  const std::string paths[] = {MakeTone(dir, "t1.wav", 3.0, 44100, 2, 0.7),
                               MakeTone(dir, "t2.flac", 3.0, 48000, 1, 0.2),
                               MakeTone(dir, "t3.wav", 3.0, 96000, 2, 0.05)};
  double alone[3];
  for (int i = 0; i < 3; ++i) alone[i] = Measure(paths[i]).volume;
  LoudnessResult together[3];
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      JobContext job;
      together[i] = AnalyzeFile(paths[i], 89.0, job);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(together[i].code, kLoudnessMeasured) << i;
    EXPECT_EQ(together[i].volume, alone[i]) << i;
  }
}

TEST(AnalyzeFile, OddCharactersInNames) {
  test::TempDir dir;
  const std::string name = "a 'b' \"c\" $HOME `id` \xc3\xa9\xe2\x99\xaa\nline.wav";
  const std::string path = MakeTone(dir, name, 1.0);
  ASSERT_TRUE(std::filesystem::exists(path));
  const LoudnessResult r = Measure(path);
  EXPECT_EQ(r.code, kLoudnessMeasured);
  EXPECT_EQ(r.volume, Measure(MakeTone(dir, "plain.wav", 1.0)).volume);
}

// ---- the row record

TEST(QVListItemLoudness, GainFactorIsTheAmplitudeRatio) {
  QVListItem item(0, 0);
  item.SetLoudness(79.0, 10.0, 10000.0, 0);
  EXPECT_EQ(item.hasLoudness, 1);
  EXPECT_NEAR(item.gainFactor, 3.1622776601683795, 1e-12);
  EXPECT_EQ(item.clipTrack, 0);  // 31623 is below full scale
  item.SetLoudness(79.0, 10.0, 10362.0, 0);
  EXPECT_EQ(item.clipTrack, 1);  // 32768 is above it
  item.ApplyTarget(79.0);        // 0 dB: unchanged samples
  EXPECT_EQ(item.trackGain, 0.0);
  EXPECT_EQ(item.gainFactor, 1.0);
  EXPECT_EQ(item.clipTrack, 0);
  item.ApplyTarget(79.0 + 20.0 * std::log10(2.0));  // +6.02 dB doubles every sample
  EXPECT_NEAR(item.gainFactor, 2.0, 1e-12);
  EXPECT_EQ(item.clipTrack, 0);  // 20724 after doubling
  item.ApplyTarget(69.0);
  EXPECT_NEAR(item.gainFactor, 0.31622776601683794, 1e-12);
  EXPECT_EQ(item.volume, 79.0);  // retargeting never changes the measurement
  EXPECT_EQ(item.peak, 10362.0);

  QVListItem unmeasured(1, 1);
  unmeasured.ApplyTarget(120.0);
  EXPECT_EQ(unmeasured.gainFactor, 1.0);
  EXPECT_EQ(unmeasured.trackGain, 0.0);
}

TEST(QVListItemLoudness, CalculateLoudnessStoresOnlySuccess) {
  test::TempDir dir;
  LoudnessEngine engine;
  QVListItem item(0, 0);
  JobContext job;
  EXPECT_EQ(CalculateLoudness(item, 89.0, job, engine), kLoudnessCannotRead);  // no path
  item.SetPaths(MakeTone(dir, "hi.wav", 0.5, 192000), "", false);
  EXPECT_EQ(CalculateLoudness(item, 89.0, job, engine), kLoudnessUnsupported);
  EXPECT_EQ(item.hasLoudness, 0);
  EXPECT_EQ(item.gainFactor, 1.0);
  // An extracted video decodes its temporary WAV, not its source.
  QVListItem video(1, 1);
  video.SetPaths(dir.file("film.mp4"), MakeTone(dir, "qvAudioTemp1.wav", 1.0), true);
  ASSERT_EQ(CalculateLoudness(video, 95.0, job, engine), kLoudnessMeasured);
  EXPECT_EQ(video.hasLoudness, 1);
  EXPECT_NEAR(video.volume + video.trackGain, 95.0, 1e-9);
  EXPECT_NEAR(video.gainFactor, std::pow(10.0, video.trackGain / 20.0), 1e-12);
}

// ---- the batch

class LoudnessBatch : public ::testing::Test {
 protected:
  void AddFile(const std::string& path) {
    const std::string title = GetFileTitle(path, false);
    list.AddRow(title, "wav", "1.000", "705", "44,100", "16 Bit", "1", path, "", false);
  }
  void Run(double target = 89.0) {
    LoudnessBatchOptions options;
    options.target = target;
    options.logPath = logPath;
    RunLoudnessBatch(host, list, state, engine, options);
  }
  std::vector<std::string> Cells(int row) {
    return {list.CellText(row, kColVolume), list.CellText(row, kColClipping),
            list.CellText(row, kColTrackGain), list.CellText(row, kColClipTrack)};
  }

  test::TempDir dir;
  std::string logPath = dir.file("QV_Log.txt");
  test::ScriptedHost host;
  SourceList list;
  BatchState state;
  LoudnessEngine engine;
};

TEST_F(LoudnessBatch, EmptyListOrNoLogChangesNothing) {
  Run();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "No Audio Files have been added to the Convert List.  Please add some Audio Files "
            "first, thanks.");
  EXPECT_TRUE(host.controlCalls.empty());
  EXPECT_FALSE(std::filesystem::exists(logPath));

  AddFile(MakeTone(dir, "a.wav", 1.0));
  logPath = dir.file("no such folder/QV_Log.txt");
  Run();
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[1].text, "Unable to create the Log File:\n\n   " + logPath +
                                       "\n\nSorry, can't continue.");
  EXPECT_TRUE(host.controlCalls.empty());
  EXPECT_EQ(list.Item(0)->hasLoudness, 0);
  EXPECT_EQ(list.CellText(0, kColVolume), "");
}

TEST_F(LoudnessBatch, FillsTheCellsAndLogsEveryRow) {
  AddFile(WriteQuietWithClick(dir, "quiet.wav"));
  AddFile(MakeTone(dir, "hi.wav", 1.0, 192000));
  AddFile(MakeTone(dir, "loud stereo 96k.flac", 2.0, 96000, 2, 0.9));
  list.Item(2)->albumKey = "album\x1fread before";  // by a conversion's album gate
  Run();
  EXPECT_TRUE(host.messages.empty());
  // A row's album is read once: the gate's reading is kept, an untagged file's is its folder.
  EXPECT_EQ(list.Item(2)->albumKey, "album\x1fread before");
  EXPECT_EQ(list.Item(0)->albumKey.rfind("folder\x1f", 0), 0u);
  EXPECT_EQ(host.controlCalls, (std::vector<bool>{false, true}));
  EXPECT_EQ(state.BatchInProgress, 0);
  EXPECT_EQ(state.CurrentBatchName, "File Analysis");
  EXPECT_EQ(host.statusTexts.back(), "Ready.");

  const QVListItem& quiet = *list.Item(0);
  EXPECT_EQ(quiet.hasLoudness, 1);
  EXPECT_EQ(Cells(0), (std::vector<std::string>{FormatDbCell(quiet.volume), "n",
                                                FormatDbCell(quiet.trackGain), "Y"}));
  EXPECT_GT(quiet.trackGain, 10.0);  // quiet: a large gain that would clip its peaks
  EXPECT_EQ(Cells(1), (std::vector<std::string>{"0.00", "n", "0.00", "n"}));
  EXPECT_EQ(list.Item(1)->hasLoudness, 0);
  EXPECT_EQ(list.Item(2)->hasLoudness, 1);
  EXPECT_LT(list.Item(2)->trackGain, 0.0);

  const std::string log = ReadAll(logPath);
  const std::string kHiRateNotMeasured =
      "Not measured: This loudness standard cannot measure 1 channel at 192000 Hz\n\n";
  // Each measured row's result follows its header; the row that could not be measured says why.
  const auto measuredText = [&](int row) {
    return MeasurementText(LoudnessStandard::ReplayGain1,
                           list.Item(row)->measurements[0]) + "\n\n";
  };
  EXPECT_EQ(log, "\n--- Calculate Loudness # 1 ---\n\n" + list.GetSourcePath(0) + "\n\n" +
                     measuredText(0) + "\n--- Calculate Loudness # 2 ---\n\n" +
                     list.GetSourcePath(1) + "\n\n" + kHiRateNotMeasured +
                     "\n--- Calculate Loudness # 3 ---\n\n" +
                     list.GetSourcePath(2) + "\n\n" + measuredText(2));
  EXPECT_EQ(measuredText(0).rfind("Volume: " + FormatDbCell(quiet.volume) + " dB, peak ", 0), 0u);

  // A second run measures only what is still unmeasured, and logs every row again in a fresh
  // log.
  const double volume = quiet.volume;
  list.SetCellText(0, kColVolume, "kept");
  Run();
  EXPECT_EQ(ReadAll(logPath),
            "\n--- Calculate Loudness # 1 ---\n\n" + list.GetSourcePath(0) + "\n\n" +
                "\n--- Calculate Loudness # 2 ---\n\n" + list.GetSourcePath(1) + "\n\n" +
                kHiRateNotMeasured + "\n--- Calculate Loudness # 3 ---\n\n" +
                list.GetSourcePath(2) + "\n\n");
  EXPECT_EQ(list.CellText(0, kColVolume), "kept");  // measured rows are not touched
  EXPECT_EQ(list.Item(0)->volume, volume);
  EXPECT_EQ(list.Item(1)->hasLoudness, 0);
}

BatchState* g_cancelState = nullptr;
// The Cancel command, answered yes, while the third file is measured.
void CancelDuringTheThirdFile() {
  if (g_cancelState->BatchFileIndex == 2) {
    g_cancelState->BatchInProgress = 0;
    g_cancelState->CancelRequested = 1;
  }
}

TEST_F(LoudnessBatch, CancelDuringTheThirdOfFiveFiles) {
  for (int i = 1; i <= 5; ++i) AddFile(MakeTone(dir, "f" + std::to_string(i) + ".wav", 3.0));
  g_cancelState = &state;
  host.onPump = &CancelDuringTheThirdFile;
  Run();
  host.onPump = nullptr;
  EXPECT_EQ(list.Item(0)->hasLoudness, 1);
  EXPECT_EQ(list.Item(1)->hasLoudness, 1);
  EXPECT_NE(list.CellText(1, kColVolume), "");
  // The third file was cancelled (empty cells), or had ended before the cancel reached it;
  // the files after it are not visited.
  if (list.Item(2)->hasLoudness == 0) {
    EXPECT_EQ(Cells(2), (std::vector<std::string>{"", "", "", ""}));
  }
  for (int row = 3; row < 5; ++row) {
    EXPECT_EQ(list.Item(row)->hasLoudness, 0) << row;
    EXPECT_EQ(Cells(row), (std::vector<std::string>{"", "", "", ""})) << row;
  }
  EXPECT_EQ(host.statusTexts.back(), "Ready.");
  EXPECT_EQ(host.controlCalls, (std::vector<bool>{false, true}));
  const std::string log = ReadAll(logPath);
  EXPECT_EQ(CountOf(log, "--- Calculate Loudness #"), 3);
  EXPECT_EQ(CountOf(log, "f4.wav"), 0);

  // The next batch starts afresh and measures the rest.
  Run();
  for (int row = 0; row < 5; ++row) EXPECT_EQ(list.Item(row)->hasLoudness, 1) << row;
  EXPECT_EQ(list.Item(2)->volume, list.Item(0)->volume);
}

TEST_F(LoudnessBatch, TargetsAndRetargeting) {
  AddFile(MakeTone(dir, "a.wav", 2.0, 44100, 1, 0.5));
  AddFile(MakeTone(dir, "b.wav", 1.0, 192000));
  AddFile(WriteQuietWithClick(dir, "c.wav"));
  Run(89.0);
  const QVListItem& a = *list.Item(0);
  // At the default target the track gain is the title gain: volume + gain = 89.
  EXPECT_NEAR(a.volume + a.trackGain, 89.0, 1e-9);
  const double volume = a.volume;
  const double gain = a.trackGain;
  const std::string volumeCell = list.CellText(0, kColVolume);

  RetargetRows(list, 92.0);
  EXPECT_NEAR(a.trackGain, gain + 3.0, 1e-9);
  EXPECT_EQ(list.CellText(0, kColTrackGain), FormatDbCell(gain + 3.0));
  EXPECT_EQ(list.CellText(0, kColVolume), volumeCell);
  EXPECT_EQ(a.volume, volume);
  EXPECT_EQ(list.CellText(1, kColTrackGain), "0.00");  // unmeasured: as the batch left it
  EXPECT_EQ(list.Item(1)->gainFactor, 1.0);
  EXPECT_EQ(list.CellText(2, kColClipTrack), "Y");
  // A row that no batch has visited keeps its empty cells.
  AddFile(MakeTone(dir, "d.wav", 1.0));
  RetargetRows(list, 93.0);
  EXPECT_EQ(Cells(3), (std::vector<std::string>{"", "", "", ""}));
  EXPECT_EQ(list.CellText(0, kColTrackGain), FormatDbCell(gain + 4.0));

  // A target low enough that the quiet file no longer clips when raised.
  const QVListItem& c = *list.Item(2);
  const double safe = c.volume + 20.0 * std::log10(32767.0 / c.peak) - 0.5;
  RetargetRows(list, safe);
  EXPECT_EQ(list.CellText(2, kColClipTrack), "n");
  EXPECT_LE(c.gainFactor * c.peak, 32767.0);
  EXPECT_EQ(list.GetGainFactor(2), c.gainFactor);

  // Measuring at another target gives the same as measuring at 89 and retargeting.
  SourceList other;
  other.AddRow("a", "wav", "1.000", "705", "44,100", "16 Bit", "1", list.GetSourcePath(0), "",
               false);
  LoudnessBatchOptions options;
  options.target = 92.0;
  options.logPath = logPath;
  RunLoudnessBatch(host, other, state, engine, options);
  EXPECT_NEAR(other.Item(0)->trackGain, gain + 3.0, 1e-9);
}

}  // namespace
}  // namespace qv
