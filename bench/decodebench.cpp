// Decode benchmark: the audio layer (BASS_ChannelGetData in one-second blocks) against the
// ffmpeg program decoding the same files to nothing, both on one thread. The files are made
// with the ffmpeg program in a temporary folder: six minutes of audio in FLAC, MP3, AAC and WAV.
//
// Usage: qv_decodebench [rounds]   (default 3; the best round of each side counts)

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "app/paths.h"
#include "audio/bass.h"

namespace {

using qv::bench::RunCommand;

using Clock = std::chrono::steady_clock;

struct BenchFile {
  const char* name;
  const char* options;
};

constexpr int kSecondsPerFile = 90;
constexpr BenchFile kFiles[] = {
    {"bench.flac", "-c:a flac"},
    {"bench.mp3", "-c:a libmp3lame -b:a 192k"},
    {"bench.m4a", "-c:a aac -b:a 160k"},
    {"bench.wav", "-c:a pcm_s16le"},
};

// Seconds of audio decoded through the layer and the wall time it took, or a negative time.
double DecodeWithLayer(const std::string& path, double& audioSeconds) {
  const auto start = Clock::now();
  const HSTREAM stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                               BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  if (!stream) return -1;
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(stream, &info);
  std::vector<float> block(static_cast<size_t>(info.freq) * info.chans);
  QWORD bytes = 0;
  while (true) {
    const DWORD got = BASS_ChannelGetData(stream, block.data(),
                                          static_cast<DWORD>(block.size() * 4) | BASS_DATA_FLOAT);
    if (got == 0 || got == 0xFFFFFFFFu) break;
    bytes += got;
  }
  BASS_StreamFree(stream);
  audioSeconds = static_cast<double>(bytes) / (4.0 * info.chans * info.freq);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double DecodeWithFfmpeg(const std::string& path) {
  const auto start = Clock::now();
  if (!RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -threads 1 -i " +
                  qv::ShellQuote(path) + " -f null -")) {
    return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::string folder = (std::filesystem::temp_directory_path() / "qvbench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  const std::filesystem::path dir(folder);
  std::printf("Making %d s of audio per file in %s ...\n", kSecondsPerFile, folder.c_str());
  // Music-like material: two tones, a slow tremolo and some noise, in stereo at 44100 Hz.
  const std::string source = (dir / "source.wav").string();
  const std::string make = std::string(QV_FFMPEG) +
      " -hide_banner -nostdin -loglevel error -y -f lavfi -i \"aevalsrc=0.3*sin(2*PI*220*t)*"
      "(0.6+0.4*sin(2*PI*0.5*t))+0.2*sin(2*PI*1330*t)|0.3*sin(2*PI*330*t)+0.1*sin(2*PI*2750*t):"
      "s=44100:d=" + std::to_string(kSecondsPerFile) + "\" -f lavfi -i \"anoisesrc=a=0.05:d=" +
      std::to_string(kSecondsPerFile) + "\" -filter_complex amix=inputs=2:normalize=0 -ac 2 " +
      qv::ShellQuote(source);
  bool ok = RunCommand(make);
  for (const BenchFile& file : kFiles) {
    ok = ok && RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -i " +
                          qv::ShellQuote(source) + " " + file.options + " " +
                          qv::ShellQuote((dir / file.name).string()));
  }
  if (!ok) {
    std::fprintf(stderr, "making the files with %s failed\n", QV_FFMPEG);
    std::filesystem::remove_all(dir);
    return 1;
  }

  // The ffmpeg program's own start-up, measured on a file of a tenth of a second, is shown so
  // that the ratio can be judged without it too.
  const std::string tiny = (dir / "tiny.wav").string();
  double startup = 1e9;
  if (RunCommand(std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y -f lavfi "
                 "-i sine=d=0.1 " + qv::ShellQuote(tiny))) {
    for (int r = 0; r < 3; ++r) startup = std::min(startup, DecodeWithFfmpeg(tiny));
  }

  std::printf("\n%-12s %9s %12s %12s %8s %14s\n", "file", "audio s", "layer ms", "ffmpeg ms",
              "ratio", "w/o start-up");
  double layerTotal = 0, ffmpegTotal = 0;
  for (const BenchFile& file : kFiles) {
    const std::string path = (dir / file.name).string();
    double bestLayer = 1e9, bestFfmpeg = 1e9, audioSeconds = 0;
    for (int r = 0; r < rounds; ++r) {
      const double layer = DecodeWithLayer(path, audioSeconds);
      const double ffmpeg = DecodeWithFfmpeg(path);
      if (layer < 0 || ffmpeg < 0) {
        std::fprintf(stderr, "decoding %s failed\n", file.name);
        std::filesystem::remove_all(dir);
        return 1;
      }
      bestLayer = std::min(bestLayer, layer);
      bestFfmpeg = std::min(bestFfmpeg, ffmpeg);
    }
    layerTotal += bestLayer;
    ffmpegTotal += bestFfmpeg;
    std::printf("%-12s %9.1f %12.1f %12.1f %8.2f %14.2f\n", file.name, audioSeconds,
                bestLayer * 1000, bestFfmpeg * 1000, bestFfmpeg / bestLayer,
                (bestFfmpeg - startup) / bestLayer);
  }
  std::printf("%-12s %9s %12.1f %12.1f %8.2f %14.2f\n", "total", "", layerTotal * 1000,
              ffmpegTotal * 1000, ffmpegTotal / layerTotal,
              (ffmpegTotal - 4 * startup) / layerTotal);
  std::printf("\nratio = ffmpeg time / layer time; 1.0 or more means the layer is as fast.\n"
              "w/o start-up: the same after taking off ffmpeg's start-up (%.1f ms per run).\n",
              startup * 1000);
  std::filesystem::remove_all(dir);
  return 0;
}
