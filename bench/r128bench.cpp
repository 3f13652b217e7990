// R128 benchmark: the program's loudness measurement of a file (MeasureFile in R128: decoding
// through the audio layer in one-second blocks into R128Engine with the true peak) against
// `ffmpeg -threads 1 -i FILE -af ebur128=peak=true:framelog=verbose -f null -` (the filter's
// per-frame lines left out, which only cost it time), and libebur128 fed from the same
// decoder (integrated loudness and true peak) for reference. The files, ten minutes of 44.1 kHz
// stereo in WAV and FLAC, are made with the ffmpeg program in a temporary folder.
//
// Then where our time goes: decoding alone, decoding into the engine without the true peak (the
// same samples given to an engine started at 192 kHz, where the true peak is the sample peak and
// the K-weighting and gating are the same work per sample), and with it.
//
// Usage: qv_r128bench [rounds]   (default 3; the best round of each side counts)

#include <ebur128.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "app/paths.h"
#include "audio/bass.h"
#include "audio/ownedstream.h"
#include "loudness/loudness.h"
#include "loudness/r128engine.h"
#include "model/batchstate.h"

namespace {

using qv::bench::RunCommand;

using Clock = std::chrono::steady_clock;

constexpr int kSeconds = 600;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Db(double linear) { return 20.0 * std::log10(linear); }

struct LibraryDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

struct Result {
  double seconds = -1.0;  // negative: failed
  double integrated = NAN;
  double truePeakDb = NAN;
};

enum class Sink { kNothing, kEngineWithoutTruePeak, kEngine, kLibrary };

// Opens and decodes the file in one-second blocks, handing every block to the sink.
Result Measure(const std::string& path, Sink sink, qv::R128Engine& engine) {
  Result result;
  const auto start = Clock::now();
  const qv::OwnedStream stream(qv::OpenFloatDecoder(path));
  BASS_CHANNELINFO info{};
  if (stream.get() == 0 || !BASS_ChannelGetInfo(stream.get(), &info)) return result;
  const int channels = static_cast<int>(info.chans);
  const int rate = static_cast<int>(info.freq);
  std::unique_ptr<ebur128_state, LibraryDeleter> library;
  if (sink == Sink::kLibrary) {
    library.reset(ebur128_init(info.chans, info.freq, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK));
    if (!library) return result;
  } else if (sink != Sink::kNothing) {
    if (!engine.Start(sink == Sink::kEngine ? rate : 192000, channels)) return result;
  }
  std::vector<float> block(info.freq * static_cast<std::size_t>(channels));
  const auto blockBytes = static_cast<DWORD>(block.size() * sizeof(float));
  for (;;) {
    const DWORD bytes = BASS_ChannelGetData(stream.get(), block.data(),
                                            blockBytes | BASS_DATA_FLOAT);
    if (bytes == 0xFFFFFFFFu || bytes == 0) break;
    const std::size_t frames = bytes / sizeof(float) / static_cast<std::size_t>(channels);
    if (sink == Sink::kLibrary) {
      ebur128_add_frames_float(library.get(), block.data(), frames);
    } else if (sink != Sink::kNothing) {
      engine.AddFrames(block.data(), frames);
    }
  }
  if (sink == Sink::kLibrary) {
    ebur128_loudness_global(library.get(), &result.integrated);
    double peak = 0.0;
    for (unsigned c = 0; c < info.chans; ++c) {
      double channelPeak = 0.0;
      ebur128_true_peak(library.get(), c, &channelPeak);
      peak = std::max(peak, channelPeak);
    }
    result.truePeakDb = Db(peak);
  } else if (sink != Sink::kNothing) {
    const qv::R128Measurement m = engine.Finish();
    result.integrated = m.integrated;
    result.truePeakDb = Db(m.truePeak);
  }
  result.seconds = Since(start);
  return result;
}

// The program's own measurement of a file in R128 (MeasureFile: decoding, the damage check and
// the engine, as the loudness batch runs it).
Result MeasureAsTheProgramDoes(const std::string& path) {
  Result result;
  const auto start = Clock::now();
  qv::JobContext job;
  const qv::LoudnessResult measured =
      qv::MeasureFile(qv::LoudnessStandard::R128, path, qv::kReferenceLoudness, job);
  if (measured.code != qv::kLoudnessMeasured) return result;
  result.seconds = Since(start);
  result.integrated = measured.volume;
  result.truePeakDb = Db(measured.peak / qv::kFullScale);
  return result;
}

// The wall time of the ffmpeg program's measurement, with the integrated loudness and true peak
// of its summary.
Result MeasureWithFfmpeg(const std::string& path, const std::string& report) {
  Result result;
  const auto start = Clock::now();
  if (!RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -nostats -threads 1 -i " +
                  qv::ShellQuote(path) + " -af ebur128=peak=true:framelog=verbose -f null - 2> " +
                  qv::ShellQuote(report))) {
    return result;
  }
  result.seconds = Since(start);
  if (FILE* f = std::fopen(report.c_str(), "r")) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      const char* text = line + std::strspn(line, " \t");
      // The summary's lines; the per-frame lines have other text first.
      if (std::strncmp(text, "I:", 2) == 0) result.integrated = std::atof(text + 2);
      if (std::strncmp(text, "Peak:", 5) == 0) result.truePeakDb = std::atof(text + 5);
    }
    std::fclose(f);
  }
  return result;
}

void KeepBest(Result& best, const Result& run) {
  if (run.seconds < 0) {
    best.seconds = -1e9;  // stays negative: the failure is reported
    return;
  }
  if (best.seconds < 0 && best.seconds > -1e9) best = run;
  if (run.seconds < best.seconds) best = run;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::string folder = (std::filesystem::temp_directory_path() / "qvr128bench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  const std::filesystem::path dir(folder);
  // Two tones under a slow swell, a treble tone and pink noise: the loudness moves by several
  // LU and the crests lie between samples now and then.
  const std::string seconds = std::to_string(kSeconds);
  const std::string wav = (dir / "bench.wav").string();
  const std::string flac = (dir / "bench.flac").string();
  bool ok = RunCommand(
      std::string(QV_FFMPEG) +
      " -hide_banner -nostdin -loglevel error -y -f lavfi -i \"aevalsrc=0.3*sin(2*PI*220*t)*"
      "(0.55+0.45*sin(2*PI*0.05*t))+0.2*sin(2*PI*3150*t)|0.3*sin(2*PI*330*t)*(0.55+0.45*cos(2*PI*"
      "0.03*t))+0.15*sin(2*PI*5512*t+1):s=44100:d=" + seconds + "\" -f lavfi -i \"anoisesrc=c=pink:s=7:"
      "a=0.15:r=44100:d=" + seconds + "\" -filter_complex amix=inputs=2:normalize=0 -ac 2 "
      "-c:a pcm_s16le " + qv::ShellQuote(wav));
  ok = ok && RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -i " +
                        qv::ShellQuote(wav) + " -c:a flac " + qv::ShellQuote(flac));
  if (!ok) {
    std::fprintf(stderr, "making the files with %s failed\n", QV_FFMPEG);
    std::filesystem::remove_all(dir);
    return 1;
  }

  std::printf("R128 measurement of %d s of 44100 Hz stereo, best of %d rounds; times in s,\n"
              "ratio = ffmpeg / ours, I in LUFS, true peak (TP) in dBTP\n\n", kSeconds, rounds);
  std::printf("%-10s %7s %7s %7s %6s  %8s %8s %8s %6s  %7s %7s %7s\n", "file", "ours", "ffmpeg",
              "libebur", "ratio", "I ours", "I ffmpeg", "I lib", "diff", "TP ours", "TP ffm",
              "TP lib");
  auto engine = std::make_unique<qv::R128Engine>();
  struct Breakdown {
    const char* name;
    double decode, gating, full;
  };
  std::vector<Breakdown> breakdowns;
  int status = 0;
  for (const std::string& path : {wav, flac}) {
    Result ours, ffmpeg, library, decode, gating;
    ours.seconds = ffmpeg.seconds = library.seconds = decode.seconds = gating.seconds = -1;
    for (int r = 0; r < rounds; ++r) {
      KeepBest(decode, Measure(path, Sink::kNothing, *engine));
      KeepBest(gating, Measure(path, Sink::kEngineWithoutTruePeak, *engine));
      KeepBest(ours, MeasureAsTheProgramDoes(path));
      KeepBest(library, Measure(path, Sink::kLibrary, *engine));
      KeepBest(ffmpeg, MeasureWithFfmpeg(path, (dir / "report.txt").string()));
    }
    const char* name = path == wav ? "bench.wav" : "bench.flac";
    if (ours.seconds < 0 || ffmpeg.seconds < 0 || library.seconds < 0 || decode.seconds < 0 ||
        gating.seconds < 0) {
      std::fprintf(stderr, "measuring %s failed\n", name);
      status = 1;
      continue;
    }
    std::printf("%-10s %7.3f %7.3f %7.3f %6.2f  %8.2f %8.2f %8.2f %+6.2f  %7.2f %7.2f %7.2f\n",
                name, ours.seconds, ffmpeg.seconds, library.seconds,
                ffmpeg.seconds / ours.seconds, ours.integrated, ffmpeg.integrated,
                library.integrated, ours.integrated - ffmpeg.integrated, ours.truePeakDb,
                ffmpeg.truePeakDb, library.truePeakDb);
    if (ffmpeg.seconds / ours.seconds < 1.5 || std::fabs(ours.integrated - ffmpeg.integrated) > 0.1) {
      status = 1;
    }
    breakdowns.push_back({name, decode.seconds, gating.seconds, ours.seconds});
  }
  std::printf("\nwhere our time goes (s; goal: ratio >= 1.5, |diff| <= 0.1 LU)\n");
  std::printf("%-10s %9s %22s %16s %11s %11s\n", "file", "decoding", "+ K-weighting, gating",
              "+ true peak", "gating", "true peak");
  for (const Breakdown& b : breakdowns) {
    std::printf("%-10s %9.3f %22.3f %16.3f %11.3f %11.3f\n", b.name, b.decode, b.gating, b.full,
                b.gating - b.decode, b.full - b.gating);
  }
  std::filesystem::remove_all(dir);
  return status;
}
