// Surround benchmark: a 5.1 FLAC (side surrounds, a tone and pink noise per speaker, 600 s by
// default, made once with the ffmpeg program and cached) converted by ConvertFile to FLAC
// (level 5) and to Opus (128 kbps chosen: 384 kbit/s for six channels), against the ffmpeg
// program doing the same single-threaded. libopus takes 5.1 only with back surrounds, so the
// ffmpeg side maps the layout with aformat, as our encoder does with swresample.
//
// Usage: qv_surroundbench [--seconds S] [--rounds R]
//   The best of R rounds (default 1) of each side counts. The ratio is ffmpeg time / our time:
//   1.0 or more means ConvertFile is at least as fast.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/paths.h"
#include "benchsupport.h"
#include "convert/convertfile.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Target {
  const char* key;
  int kbps;
  const char* ffmpegOptions;
};

constexpr Target kTargets[] = {
    {"flac", 5, "-c:a flac -compression_level 5"},
    {"opus", 128, "-af aformat=channel_layouts=5.1 -c:a libopus -b:a 384k"},
};

std::string Source(int seconds) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-surroundbench-" + std::to_string(::getuid());
  fs::create_directories(folder);
  const std::string path = folder + "/surround" + std::to_string(seconds) + "s.flac";
  if (fs::exists(path)) return path;
  std::string tones;
  for (const int hz : {220, 277, 330, 55, 440, 554}) {
    tones += (tones.empty() ? "" : "|") + std::string("0.2*sin(2*PI*") + std::to_string(hz) +
             "*t)*(0.6+0.4*sin(2*PI*1.5*t))";
  }
  const std::string d = std::to_string(seconds);
  const std::string command =
      std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -filter_complex \"" +
      "aevalsrc=exprs='" + tones + "':c=5.1(side):s=48000:d=" + d + "[tone];" +
      "anoisesrc=color=pink:amplitude=0.05:r=48000:d=" + d +
      ",pan=5.1(side)|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[noise];" +
      "[tone][noise]amix=inputs=2:normalize=0\" -c:a flac " + qv::ShellQuote(path + ".part.flac");
  std::fprintf(stderr, "making %s\n", path.c_str());
  if (!qv::bench::RunCommand(command)) return {};
  fs::rename(path + ".part.flac", path);
  return path;
}

double TimeOurs(const Target& target, const std::string& source, const std::string& out) {
  fs::remove(out);
  qv::JobContext job;
  const auto start = Clock::now();
  const qv::ConvertResult result = qv::ConvertFile(source, out, 1.0, target.key, target.kbps, "", job);
  if (!result.ok()) {
    std::fprintf(stderr, "ConvertFile %s: %s\n", target.key,
                 qv::ConversionErrorText(result).c_str());
    return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimeFfmpeg(const Target& target, const std::string& source, const std::string& out) {
  fs::remove(out);
  const std::string command = std::string(QV_FFMPEG) +
                              " -hide_banner -nostdin -loglevel error -threads 1 "
                              "-filter_threads 1 -i " +
                              qv::ShellQuote(source) + " " + target.ffmpegOptions + " " +
                              qv::ShellQuote(out);
  const auto start = Clock::now();
  if (!qv::bench::RunCommand(command)) {
    std::fprintf(stderr, "ffmpeg failed: %s\n", command.c_str());
    return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600, rounds = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  const std::string source = Source(seconds);
  if (source.empty()) {
    std::fprintf(stderr, "could not make the source\n");
    return 1;
  }
  char scratchPattern[] = "/tmp/qv-surroundbench-out-XXXXXX";
  const char* scratch = ::mkdtemp(scratchPattern);
  if (!scratch) return 1;
  std::printf("5.1 FLAC of %d s, best of %d\n%-6s %10s %10s %8s\n", seconds, rounds, "format",
              "ours s", "ffmpeg s", "ratio");
  int failed = 0;
  for (const Target& target : kTargets) {
    double ours = 1e30, theirs = 1e30;
    const std::string extension = std::string(".") + target.key;
    for (int r = 0; r < rounds; ++r) {
      const double a = TimeOurs(target, source, std::string(scratch) + "/ours" + extension);
      const double b = TimeFfmpeg(target, source, std::string(scratch) + "/ffmpeg" + extension);
      if (a < 0 || b < 0) {
        ++failed;
        break;
      }
      ours = std::min(ours, a);
      theirs = std::min(theirs, b);
    }
    std::printf("%-6s %10.2f %10.2f %8.2f\n", target.key, ours, theirs, theirs / ours);
  }
  fs::remove_all(scratch);
  return failed ? 1 : 0;
}
