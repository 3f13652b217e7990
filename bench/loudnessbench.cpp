// Loudness benchmark, two figures.
//
// (a) The analysis engine alone at 96000 Hz stereo on signals made in memory, against a plain
//     implementation of the same filters that this program carries as its baseline: one
//     channel after the other, the equal-loudness filter, then the high-pass, then the squares,
//     each over one window held in a buffer with its history in front. Both must give the same
//     title gain, bit for bit, and the same histogram on every signal; the figures are samples
//     per second (both channels counted) and times real time.
// (b) AnalyzeFile (decoding in one-second blocks and the analysis) on WAV, FLAC and MP3 files
//     made with the ffmpeg program, against `ffmpeg -threads 1 -i FILE -af replaygain -f null -`
//     on the same files; ratio = ffmpeg time / AnalyzeFile time.
// (c) The loudness batch over eight such files with one job against one job per core.
//
// Usage: qv_loudnessbench [rounds]   (default 3; the best round of each side counts)

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "app/paths.h"
#include "loudness/loudness.h"
#include "loudness/loudnessengine.h"
#include "loudness/replaygaincoefficients.h"
#include "app/host.h"
#include "model/batchrunner.h"
#include "model/batchstate.h"
#include "model/sourcelist.h"

namespace {

using qv::bench::RunCommand;
using qv::bench::QuietHost;

using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979323846;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline: the analysis written plainly, one channel at a time, per window.
class PlainAnalysis {
 public:
  bool Start(int rate) {
    const int index = qv::ReplayGainRateIndex(rate);
    if (index < 0) return false;
    m_yule = qv::kYuleCoefficients[index];
    m_butter = qv::kButterCoefficients[index];
    m_window = static_cast<int>(std::ceil(rate * 0.05));
    for (Channel& c : m_channels) c = Channel{};
    m_inWindow = 0;
    m_histogram.fill(0);
    return true;
  }

  void Analyze(const double* left, const double* right, std::size_t n) {
    const double* input[2] = {left, right};
    std::size_t pos = 0;
    while (pos < n) {
      const std::size_t take = std::min(n - pos, static_cast<std::size_t>(m_window - m_inWindow));
      for (int ch = 0; ch < 2; ++ch) {
        Channel& c = m_channels[ch];
        // Input with its 10 samples of history in front.
        for (std::size_t i = 0; i < take; ++i) c.in[kHistory + i] = input[ch][pos + i];
        double* x = c.in + kHistory;
        double* y = c.stage + kHistory + m_inWindow;
        double* z = c.out + kHistory + m_inWindow;
        const double* xs = x;
        for (std::size_t i = 0; i < take; ++i) {
          double acc = 1e-10 + xs[i] * m_yule[0];
          for (int k = 1; k <= 10; ++k) {
            acc = acc - y[static_cast<std::ptrdiff_t>(i) - k] * m_yule[2 * k - 1];
            acc = acc + xs[static_cast<std::ptrdiff_t>(i) - k] * m_yule[2 * k];
          }
          y[i] = acc;
        }
        for (std::size_t i = 0; i < take; ++i) {
          const auto j = static_cast<std::ptrdiff_t>(i);
          double acc = y[j] * m_butter[0];
          acc = acc - z[j - 1] * m_butter[1];
          acc = acc + y[j - 1] * m_butter[2];
          acc = acc - z[j - 2] * m_butter[3];
          acc = acc + y[j - 2] * m_butter[4];
          z[j] = acc;
        }
        for (std::size_t i = 0; i < take; ++i) c.sum += z[i] * z[i];
        // The last 10 inputs become the history of the next chunk.
        for (int k = 0; k < kHistory; ++k) c.in[k] = c.in[take + static_cast<std::size_t>(k)];
      }
      pos += take;
      m_inWindow += static_cast<int>(take);
      if (m_inWindow == m_window) {
        const double power = (m_channels[0].sum + m_channels[1].sum) / m_window * 0.5;
        const double level = 1000.0 * std::log10(power + 1e-37);
        int bin = level <= 0.0 ? 0 : (level >= 11999.0 ? 11999 : static_cast<int>(level));
        ++m_histogram[static_cast<std::size_t>(bin)];
        for (Channel& c : m_channels) {
          c.sum = 0.0;
          for (int k = 0; k < kHistory; ++k) {
            c.stage[k] = c.stage[m_window + k];
            c.out[k] = c.out[m_window + k];
          }
        }
        m_inWindow = 0;
      }
    }
  }

  std::uint32_t BinCount(int bin) const { return m_histogram[static_cast<std::size_t>(bin)]; }

  double TitleGain() const {
    std::uint64_t total = 0;
    for (std::uint32_t n : m_histogram) total += n;
    if (total == 0) return qv::NotEnoughSamples;
    auto upper = static_cast<std::int64_t>(std::ceil(static_cast<double>(total) * (1.0 - 0.95)));
    int i = 11999;
    for (; i > 0; --i) {
      upper -= m_histogram[static_cast<std::size_t>(i)];
      if (upper <= 0) break;
    }
    return 64.82 - i / 100.0;
  }

 private:
  static constexpr int kHistory = 10;
  static constexpr int kMaxWindow = 4800;
  struct Channel {
    double in[kHistory + kMaxWindow] = {};
    double stage[kHistory + kMaxWindow] = {};
    double out[kHistory + kMaxWindow] = {};
    double sum = 0.0;
  };
  const double* m_yule = nullptr;
  const double* m_butter = nullptr;
  int m_window = 0;
  int m_inWindow = 0;
  Channel m_channels[2];
  std::array<std::uint32_t, 12000> m_histogram{};
};

struct Signal {
  const char* name;
  std::vector<double> left, right;
};

std::vector<Signal> MakeSignals(int rate, int seconds) {
  const std::size_t n = static_cast<std::size_t>(rate) * seconds;
  std::vector<Signal> signals;
  Signal music{"music", std::vector<double>(n), std::vector<double>(n)};
  Signal noise{"noise", std::vector<double>(n), std::vector<double>(n)};
  Signal tone{"tone", std::vector<double>(n), std::vector<double>(n)};
  Signal silence{"silence", std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    state = state * 1664525u + 1013904223u;
    const double white = (static_cast<double>(state >> 8) / 16777216.0) * 2.0 - 1.0;
    const double tremolo = 0.6 + 0.4 * std::sin(2 * kPi * 0.5 * t);
    music.left[i] = 9000.0 * std::sin(2 * kPi * 220 * t) * tremolo +
                    4000.0 * std::sin(2 * kPi * 1330 * t) + 1500.0 * white;
    music.right[i] = 9000.0 * std::sin(2 * kPi * 330 * t) + 3000.0 * std::sin(2 * kPi * 2750 * t) -
                     1500.0 * white;
    noise.left[i] = 20000.0 * white * (0.5 + 0.5 * std::sin(2 * kPi * 0.2 * t));
    noise.right[i] = 12000.0 * white;
    tone.left[i] = 30000.0 * std::sin(2 * kPi * 1000 * t);
    tone.right[i] = tone.left[i];
  }
  signals.push_back(std::move(music));
  signals.push_back(std::move(noise));
  signals.push_back(std::move(tone));
  signals.push_back(std::move(silence));
  return signals;
}

int EngineFigures(int rounds) {
  constexpr int kRate = 96000;
  constexpr int kSeconds = 30;
  constexpr std::size_t kBlock = kRate;  // one-second blocks, as the batch feeds them
  std::printf("(a) engine alone, %d Hz stereo, %d s per signal, one-second blocks\n\n", kRate,
              kSeconds);
  std::printf("%-9s %14s %14s %11s %11s %8s  %s\n", "signal", "engine Ms/s", "plain Ms/s",
              "engine xRT", "plain xRT", "speedup", "title gains");
  const std::vector<Signal> signals = MakeSignals(kRate, kSeconds);
  auto engine = std::make_unique<qv::LoudnessEngine>();
  auto plain = std::make_unique<PlainAnalysis>();
  double engineTotal = 0, plainTotal = 0;
  bool identical = true;
  for (const Signal& s : signals) {
    double bestEngine = 1e9, bestPlain = 1e9, engineGain = 0, plainGain = 0;
    const std::size_t n = s.left.size();
    for (int r = 0; r < rounds; ++r) {
      auto start = Clock::now();
      engine->StartAnalysis(kRate);
      for (std::size_t pos = 0; pos < n; pos += kBlock) {
        engine->AnalyzeBlock(s.left.data() + pos, s.right.data() + pos,
                             std::min(kBlock, n - pos), 2);
      }
      engineGain = engine->TakeTitleGain();
      bestEngine = std::min(bestEngine, Since(start));

      start = Clock::now();
      plain->Start(kRate);
      for (std::size_t pos = 0; pos < n; pos += kBlock) {
        plain->Analyze(s.left.data() + pos, s.right.data() + pos, std::min(kBlock, n - pos));
      }
      plainGain = plain->TitleGain();
      bestPlain = std::min(bestPlain, Since(start));
    }
    // Outside the timing: the whole histograms must agree too, not only the percentile.
    engine->StartAnalysis(kRate);
    plain->Start(kRate);
    for (std::size_t pos = 0; pos < n; pos += kBlock) {
      const std::size_t count = std::min(kBlock, n - pos);
      engine->AnalyzeBlock(s.left.data() + pos, s.right.data() + pos, count, 2);
      plain->Analyze(s.left.data() + pos, s.right.data() + pos, count);
    }
    bool sameBins = true;
    for (int b = 0; b < qv::LoudnessEngine::kHistogramBins; ++b) {
      sameBins = sameBins && engine->BinCount(b) == plain->BinCount(b);
    }
    engine->TakeTitleGain();
    const bool same = engineGain == plainGain && sameBins;
    identical = identical && same;
    engineTotal += bestEngine;
    plainTotal += bestPlain;
    const double samples = 2.0 * static_cast<double>(n);
    std::printf("%-9s %14.2f %14.2f %11.1f %11.1f %8.2f  %.2f / %.2f %s\n", s.name,
                samples / bestEngine / 1e6, samples / bestPlain / 1e6, kSeconds / bestEngine,
                kSeconds / bestPlain, bestPlain / bestEngine, engineGain, plainGain,
                same ? "identical" : "DIFFERENT");
  }
  const double samples = 2.0 * kRate * kSeconds * static_cast<double>(signals.size());
  const double audio = static_cast<double>(kSeconds) * static_cast<double>(signals.size());
  std::printf("%-9s %14.2f %14.2f %11.1f %11.1f %8.2f  %s\n\n", "total",
              samples / engineTotal / 1e6, samples / plainTotal / 1e6, audio / engineTotal,
              audio / plainTotal, plainTotal / engineTotal,
              identical ? "all identical" : "NOT IDENTICAL");
  return identical ? 0 : 1;
}

// The wall time of the ffmpeg program's analysis, and the track gain it printed.
double AnalyzeWithFfmpeg(const std::string& path, const std::string& report, double& gain) {
  const auto start = Clock::now();
  if (!RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel info -threads 1 -i " +
                  qv::ShellQuote(path) + " -af replaygain -f null - 2> " +
                  qv::ShellQuote(report))) {
    return -1;
  }
  const double seconds = Since(start);
  gain = NAN;
  if (FILE* f = std::fopen(report.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
      if (const char* at = std::strstr(line, "track_gain = ")) gain = std::atof(at + 13);
    }
    std::fclose(f);
  }
  return seconds;
}

int FileFigures(int rounds) {
  constexpr int kSeconds = 120;
  struct BenchFile {
    const char* name;
    const char* options;
  };
  const BenchFile files[] = {
      {"bench.wav", "-c:a pcm_s16le"},
      {"bench.flac", "-c:a flac"},
      {"bench.mp3", "-c:a libmp3lame -b:a 192k"},
  };
  std::string folder = (std::filesystem::temp_directory_path() / "qvbench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  const std::filesystem::path dir(folder);
  const std::string source = (dir / "source.wav").string();
  bool ok = RunCommand(
      std::string(QV_FFMPEG) +
      " -hide_banner -nostdin -loglevel error -y -f lavfi -i \"aevalsrc=0.3*sin(2*PI*220*t)*"
      "(0.6+0.4*sin(2*PI*0.5*t))+0.2*sin(2*PI*1330*t)|0.3*sin(2*PI*330*t)+0.1*sin(2*PI*2750*t):"
      "s=44100:d=" + std::to_string(kSeconds) + "\" -f lavfi -i \"anoisesrc=a=0.05:d=" +
      std::to_string(kSeconds) + "\" -filter_complex amix=inputs=2:normalize=0 -ac 2 " +
      qv::ShellQuote(source));
  for (const BenchFile& file : files) {
    ok = ok && RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -i " +
                          qv::ShellQuote(source) + " " + file.options + " " +
                          qv::ShellQuote((dir / file.name).string()));
  }
  if (!ok) {
    std::fprintf(stderr, "making the files with %s failed\n", QV_FFMPEG);
    std::filesystem::remove_all(dir);
    return 1;
  }
  // The ffmpeg program's own start-up, measured on a tenth of a second, is shown so that the
  // ratio can be judged without it too.
  const std::string tiny = (dir / "tiny.wav").string();
  double startup = 1e9;
  if (RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -f lavfi "
                 "-i sine=d=0.1 " + qv::ShellQuote(tiny))) {
    double ignored = 0;
    for (int r = 0; r < 3; ++r) {
      startup = std::min(startup, AnalyzeWithFfmpeg(tiny, (dir / "tiny.txt").string(), ignored));
    }
  }
  std::printf("(b) AnalyzeFile against ffmpeg -af replaygain, %d s of 44100 Hz stereo per file\n\n",
              kSeconds);
  std::printf("%-11s %14s %11s %8s %13s  %s\n", "file", "AnalyzeFile ms", "ffmpeg ms", "ratio",
              "w/o start-up", "title gain / ffmpeg's track gain");
  double oursTotal = 0, ffmpegTotal = 0;
  auto engine = std::make_unique<qv::LoudnessEngine>();
  for (const BenchFile& file : files) {
    const std::string path = (dir / file.name).string();
    double bestOurs = 1e9, bestFfmpeg = 1e9;
    qv::LoudnessResult result;
    double ffmpegGain = NAN;
    for (int r = 0; r < rounds; ++r) {
      qv::JobContext job;
      const auto start = Clock::now();
      result = qv::AnalyzeFile(*engine, path, qv::kReferenceVolume, job);
      bestOurs = std::min(bestOurs, Since(start));
      const double theirs = AnalyzeWithFfmpeg(path, (dir / "report.txt").string(), ffmpegGain);
      if (result.code != qv::kLoudnessMeasured || theirs < 0) {
        std::fprintf(stderr, "analysing %s failed\n", file.name);
        std::filesystem::remove_all(dir);
        return 1;
      }
      bestFfmpeg = std::min(bestFfmpeg, theirs);
    }
    oursTotal += bestOurs;
    ffmpegTotal += bestFfmpeg;
    std::printf("%-11s %14.1f %11.1f %8.2f %13.2f  %+.2f / %+.2f dB\n", file.name,
                bestOurs * 1000, bestFfmpeg * 1000, bestFfmpeg / bestOurs,
                (bestFfmpeg - startup) / bestOurs, result.trackGain, ffmpegGain);
  }
  const double runs = static_cast<double>(std::size(files));
  std::printf("%-11s %14.1f %11.1f %8.2f %13.2f\n", "total", oursTotal * 1000, ffmpegTotal * 1000,
              ffmpegTotal / oursTotal, (ffmpegTotal - runs * startup) / oursTotal);
  std::printf("\nratio = ffmpeg time / AnalyzeFile time; 1.0 or more means AnalyzeFile is as "
              "fast.\nw/o start-up: the same after taking off ffmpeg's start-up (%.1f ms per "
              "run).\n", startup * 1000);

  // (c) The batch with one job and with one job per core, over the files above (each twice
  // under another name, so the list has more rows than cores), every row measured afresh.
  const int cores = qv::AvailableCores();
  std::vector<std::string> rows;
  for (int copy = 0; copy < 2; ++copy) {
    for (const BenchFile& file : files) {
      const std::string path = (dir / (std::to_string(copy) + file.name)).string();
      std::filesystem::copy_file(dir / file.name, path);
      rows.push_back(path);
    }
  }
  double best[2] = {1e9, 1e9};
  for (int r = 0; r < rounds; ++r) {
    for (int which = 0; which < 2; ++which) {
      qv::SourceList list;
      for (const std::string& path : rows) {
        list.AddRow(qv::GetFileTitle(path, false), "", "", "", "", "", "", path, "", false);
      }
      QuietHost host;
      qv::BatchState state;
      qv::LoudnessBatchOptions options;
      options.logPath = (dir / "QV_Log.txt").string();
      options.jobs = which == 0 ? 1 : cores;
      const auto start = Clock::now();
      qv::RunLoudnessBatch(host, list, state, *engine, options);
      best[which] = std::min(best[which], Since(start));
    }
  }
  std::printf("\n(c) the loudness batch, %zu files: --jobs 1 %.2f s, --jobs %d %.2f s, speedup "
              "%.2f (goal >= %.1f)\n", rows.size(), best[0], cores, best[1], best[0] / best[1],
              0.9 * cores);
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int engineStatus = EngineFigures(rounds);
  const int fileStatus = FileFigures(rounds);
  return engineStatus != 0 ? engineStatus : fileStatus;
}
