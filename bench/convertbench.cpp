// Conversion benchmark: ConvertFile against the ffmpeg program doing the same conversions, one
// file at a time, single-threaded, with the same encoders and settings: 16-bit WAV, MP3 at
// 192 kbit/s (LAME, quality 3, joint stereo), AAC at 194 kbit/s with a 20 kHz bandwidth
// (FFmpeg's AAC encoder; ours runs in qvfaac), WMA at 192 kbit/s (wmav2 in ASF), FLAC at
// compression level 5, Opus at 128 kbit/s VBR (libopus, resampled to 48 kHz with swresample
// on both sides) and Vorbis at a nominal 192 kbit/s (libvorbis). The sources
// are ten 3-minute 44.1 kHz stereo FLAC files of music-like material (chords with a beat over
// pink noise), made once with the ffmpeg program and kept in a cache folder.
//
// A second table runs the conversion batch over the same files with one job and with as many
// jobs as the process has cores, and prints the speedup.
//
// Usage: qv_convertbench [--files N] [--seconds S] [--rounds R]
//                        [--only wav,mp3,aac,wma,flac,opus,ogg]
//   The best of R rounds (default 1) of each side counts. The ratio is ffmpeg time / our
//   time: 1.0 or more means ConvertFile is at least as fast.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "app/paths.h"
#include "audio/bass.h"
#include "app/host.h"
#include "convert/conversionbatch.h"
#include "convert/convertfile.h"
#include "model/batchrunner.h"
#include "model/sourcelist.h"

namespace {

using qv::bench::RunCommand;
using qv::bench::QuietHost;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Target {
  const char* key;
  int kbps;
  const char* ffmpegOptions;
  const char* extension;
};

constexpr Target kTargets[] = {
    {"wav", 0, "-c:a pcm_s16le", "wav"},
    {"mp3", 192, "-c:a libmp3lame -b:a 192k -compression_level 3 -joint_stereo 1", "mp3"},
    {"aac", 194, "-c:a aac -b:a 194k -cutoff 20000 -f adts", "aac"},
    {"wma", 192, "-c:a wmav2 -b:a 192k", "wma"},
    {"flac", 5, "-c:a flac -compression_level 5", "flac"},
    {"opus", 128, "-c:a libopus -b:a 128k", "opus"},
    {"ogg", 192, "-c:a libvorbis -b:a 192k", "ogg"},
};

std::string CacheFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-convertbench-" +
         std::to_string(::getuid());
}

// The i-th source: a different chord and beat per file, and pink noise, in stereo.
bool MakeSource(const std::string& path, int index, int seconds) {
  const double base = 196.0 + 23.0 * index;
  char graph[1024];
  std::snprintf(graph, sizeof graph,
                "aevalsrc=exprs='0.22*sin(2*PI*%.1f*t)*(0.6+0.4*sin(2*PI*%.2f*t))+"
                "0.15*sin(2*PI*%.1f*t)+0.1*sin(2*PI*%.1f*t)*gt(mod(t\\,0.5)\\,0.25)|"
                "0.2*sin(2*PI*%.1f*t)+0.14*sin(2*PI*%.1f*t)*(0.5+0.5*sin(2*PI*%.2f*t))':"
                "s=44100:d=%d[tone];"
                "anoisesrc=color=pink:amplitude=0.08:seed=%d:r=44100:d=%d,"
                "pan=stereo|c0=c0|c1=c0[noise];"
                "[tone][noise]amix=inputs=2:normalize=0",
                base, 1.5 + 0.1 * index, base * 1.25, base * 2.0, base * 1.5, base * 3.0,
                0.7 + 0.05 * index, seconds, 17 + index, seconds);
  const std::string command = std::string(QV_FFMPEG) +
                              " -hide_banner -nostdin -loglevel error -y -filter_complex \"" +
                              graph + "\" -c:a flac " + qv::ShellQuote(path);
  return RunCommand(command);
}

std::vector<std::string> Sources(int files, int seconds) {
  const std::string folder = CacheFolder() + "/" + std::to_string(seconds) + "s";
  fs::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < files; ++i) {
    const std::string path = folder + "/music" + std::to_string(i) + ".flac";
    if (!fs::exists(path) || fs::file_size(path) < 1000) {
      std::fprintf(stderr, "making %s\n", path.c_str());
      if (!MakeSource(path + ".part.flac", i, seconds)) return {};
      fs::rename(path + ".part.flac", path);
    }
    paths.push_back(path);
  }
  return paths;
}

double TimeOurs(const Target& target, const std::vector<std::string>& sources,
                const std::string& outFolder, const std::string& faac) {
  fs::remove_all(outFolder);
  fs::create_directories(outFolder);
  const auto start = Clock::now();
  for (size_t i = 0; i < sources.size(); ++i) {
    qv::JobContext job;
    const std::string out = outFolder + "/out" + std::to_string(i) + "." + target.extension;
    const qv::ConvertResult result =
        qv::ConvertFile(sources[i], out, 1.0, target.key, target.kbps, faac, job);
    if (!result.ok()) {
      std::fprintf(stderr, "ConvertFile %s: %s\n", target.key,
                   qv::ConversionErrorText(result).c_str());
      return -1;
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimeFfmpeg(const Target& target, const std::vector<std::string>& sources,
                  const std::string& outFolder) {
  fs::remove_all(outFolder);
  fs::create_directories(outFolder);
  const auto start = Clock::now();
  for (size_t i = 0; i < sources.size(); ++i) {
    const std::string out = outFolder + "/out" + std::to_string(i) + "." + target.extension;
    const std::string command = std::string(QV_FFMPEG) +
                                " -hide_banner -nostdin -loglevel error -threads 1 "
                                "-filter_threads 1 -i " +
                                qv::ShellQuote(sources[i]) + " -map 0:a " +
                                target.ffmpegOptions + " " + qv::ShellQuote(out);
    if (!RunCommand(command)) {
      std::fprintf(stderr, "ffmpeg failed: %s\n", command.c_str());
      return -1;
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string FaacPath(const char* argv0) {
  if (const char* env = std::getenv("QV_QVFAAC")) return env;
  // The bench lives in <build>/bench, qvfaac in <build>/src/qvfaac.
  const fs::path self = fs::canonical(fs::path(argv0));
  return (self.parent_path().parent_path() / "src/qvfaac/qvfaac").string();
}

// The conversion batch over every source with `jobs` files at once.
double TimeBatch(const Target& target, const std::vector<std::string>& sources,
                 const std::string& outFolder, const std::string& faac, int jobs) {
  fs::remove_all(outFolder);
  fs::create_directories(outFolder);
  qv::SourceList list;
  for (const std::string& source : sources) {
    list.AddRow(qv::GetFileTitle(source, false), "flac", "", "", "", "", "", source, "", false);
  }
  QuietHost host;
  qv::BatchState state;
  qv::ConversionOptions options;
  options.formatKey = target.key;
  options.kbps = target.kbps;
  options.destinationFolder = outFolder;
  options.faacPath = faac;
  options.logPath = outFolder + "/QV_Log.txt";
  options.copyTags = false;
  options.jobs = jobs;
  const auto start = Clock::now();
  const qv::ConversionBatchResult result = qv::RunConversionBatch(options, list, state, host);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result.started || result.failed > 0) {
    std::fprintf(stderr, "the %s batch failed\n", target.key);
    return -1;
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 10, seconds = 180, rounds = 1;
  std::string only = "wav,mp3,aac,wma,flac,opus,ogg";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--files")) files = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
  }
  const std::string faac = FaacPath(argv[0]);
  const std::vector<std::string> sources = Sources(files, seconds);
  if (sources.empty()) {
    std::fprintf(stderr, "could not make the sources\n");
    return 1;
  }
  char scratchPattern[] = "/tmp/qv-convertbench-out-XXXXXX";
  const char* scratchDir = ::mkdtemp(scratchPattern);
  if (!scratchDir) return 1;
  const std::string scratch = scratchDir;

  std::printf("%d files of %d s (44.1 kHz stereo FLAC), best of %d round(s), single-threaded\n",
              files, seconds, rounds);
  std::printf("%-10s %12s %12s %8s\n", "format", "ConvertFile", "ffmpeg", "ratio");
  int shortfalls = 0;
  for (const Target& target : kTargets) {
    if (only.find(target.key) == std::string::npos) continue;
    double ours = 1e30, theirs = 1e30;
    for (int r = 0; r < rounds; ++r) {
      const double a = TimeOurs(target, sources, scratch + "/ours", faac);
      const double b = TimeFfmpeg(target, sources, scratch + "/ffmpeg");
      if (a < 0 || b < 0) return 1;
      ours = std::min(ours, a);
      theirs = std::min(theirs, b);
    }
    const double ratio = theirs / ours;
    if (ratio < 1.0) ++shortfalls;
    char label[32];
    std::snprintf(label, sizeof label, "%s %d", target.key, target.kbps);
    std::printf("%-10s %11.2fs %11.2fs %8.2f\n", target.kbps ? label : target.key, ours, theirs,
                ratio);
    std::fflush(stdout);
  }

  const int cores = qv::AvailableCores();
  std::printf("\nconversion batch, %d files: one job against %d jobs (goal: speedup >= %.1f)\n",
              files, cores, 0.9 * cores);
  std::printf("%-10s %12s %12s %8s\n", "format", "--jobs 1", "--jobs N", "speedup");
  for (const Target& target : kTargets) {
    if (only.find(target.key) == std::string::npos) continue;
    double serial = 1e30, parallel = 1e30;
    for (int r = 0; r < rounds; ++r) {
      const double a = TimeBatch(target, sources, scratch + "/serial", faac, 1);
      const double b = TimeBatch(target, sources, scratch + "/parallel", faac, cores);
      if (a < 0 || b < 0) return 1;
      serial = std::min(serial, a);
      parallel = std::min(parallel, b);
    }
    const double speedup = serial / parallel;
    if (std::strcmp(target.key, "mp3") == 0 && speedup < 0.9 * cores) ++shortfalls;
    char label[32];
    std::snprintf(label, sizeof label, "%s %d", target.key, target.kbps);
    std::printf("%-10s %11.2fs %11.2fs %8.2f\n", target.kbps ? label : target.key, serial,
                parallel, speedup);
    std::fflush(stdout);
  }
  fs::remove_all(scratch);
  return shortfalls == 0 ? 0 : 2;
}
