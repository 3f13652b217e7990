#pragma once
// Helpers for the conversion tests: sources made with the ffmpeg program or our own WAV writer,
// and reading an output back through the ffmpeg program.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "app/paths.h"
#include "audio/audiotestutil.h"

namespace qv::test {

inline std::string Qvfaac() {
  const char* path = std::getenv("QV_QVFAAC");
  return path ? path : "qvfaac";
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::uint32_t Le(const std::string& bytes, size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<size_t>(i)));
  }
  return value;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// What the ffmpeg program makes of a file: its first audio stream decoded to 32-bit floats.
struct FfmpegView {
  bool ok = false;
  int rate = 0;
  int channels = 0;
  double seconds = 0;
  std::string log;
};

inline FfmpegView DecodeWithFfmpeg(const std::string& path, const std::string& scratchFolder) {
  FfmpegView view;
  const std::string raw = scratchFolder + "/ffmpeg-view.raw";
  const std::string log = scratchFolder + "/ffmpeg-view.log";
  const std::string command = std::string(QV_FFMPEG) + " -hide_banner -nostdin -y -i " +
                              ShellQuote(path) + " -map 0:a:0 -c:a pcm_f32le -f f32le " +
                              ShellQuote(raw) + " 2> " + ShellQuote(log);
  view.ok = std::system(command.c_str()) == 0;
  view.log = ReadBytes(log);
  // The output stream's line: "Stream #0:0: Audio: pcm_f32le, 44100 Hz, stereo, flt, ..."
  const size_t output = view.log.find("Output #0");
  const std::string tail = output == std::string::npos ? "" : view.log.substr(output);
  std::smatch match;
  if (std::regex_search(tail, match,
                        std::regex("pcm_f32le, ([0-9]+) Hz, (mono|stereo|([0-9]+) channels)"))) {
    view.rate = std::stoi(match[1]);
    view.channels = match[2] == "mono" ? 1 : match[2] == "stereo" ? 2 : std::stoi(match[3]);
  }
  struct stat st {};
  if (view.ok && view.rate > 0 && view.channels > 0 && ::stat(raw.c_str(), &st) == 0) {
    view.seconds = static_cast<double>(st.st_size) / (4.0 * view.channels * view.rate);
  }
  std::remove(raw.c_str());
  return view;
}

// The length in seconds the ffprobe program (beside ffmpeg) gives a file; -1 when it gives none.
inline double FfprobeSeconds(const std::string& path) {
  const std::string ffmpeg = QV_FFMPEG;
  const std::string command = ffmpeg.substr(0, ffmpeg.rfind('/') + 1) +
                              "ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                              ShellQuote(path);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  double seconds = -1;
  if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
  ::pclose(pipe);
  return seconds;
}

// A source of music-like material: a chord with a beat, `seconds` long.
inline bool MakeMusic(const std::string& path, double seconds, int rate, int channels) {
  const std::string expr =
      "aevalsrc=exprs='0.25*sin(2*PI*220*t)+0.2*sin(2*PI*277*t)*(0.6+0.4*sin(2*PI*2*t))+"
      "0.15*sin(2*PI*330*t)':s=" +
      std::to_string(rate) + ":d=" + std::to_string(seconds);
  return RunFfmpeg("-f lavfi -i \"" + expr + "\" -ac " + std::to_string(channels) + " " +
                   ShellQuote(path));
}

}  // namespace qv::test
