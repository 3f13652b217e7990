#pragma once
// Fixtures for the tag tests: short audio files made by the ffmpeg program (with its own tag
// writers), ID3v2 tags assembled byte by byte (for damaged and oversized frames), and the view
// of a file through the ffprobe program.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/paths.h"

namespace qv::test {

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs `program` with `args` (already quoted) quietly; true on exit status 0.
inline bool RunQuiet(const std::string& program, const std::string& args) {
  const std::string command = program + " " + args + " >/dev/null 2>&1 </dev/null";
  return std::system(command.c_str()) == 0;
}

inline std::string FfmpegProgram() { return QV_FFMPEG; }

// ffprobe lives beside ffmpeg.
inline std::string FfprobeProgram() {
  std::string path = QV_FFMPEG;
  const auto slash = path.rfind('/');
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "ffprobe";
}

inline bool Ffmpeg(const std::string& args) {
  return RunQuiet(FfmpegProgram(), "-hide_banner -nostdin -loglevel error -y " + args);
}

// ---- ID3v2 tags by hand ----

inline std::string BigEndian(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

inline std::string SyncSafe(std::uint32_t value) {
  std::string out;
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((value >> (7 * i)) & 0x7F));
  return out;
}

// One frame of a version 2.3 or 2.4 tag. `sizeOverride` >= 0 stores a wrong size.
inline std::string Id3Frame(int version, const std::string& id, const std::string& payload,
                            long long sizeOverride = -1) {
  const auto size = static_cast<std::uint32_t>(sizeOverride >= 0 ? sizeOverride : payload.size());
  return id + (version == 4 ? SyncSafe(size) : BigEndian(size, 4)) + std::string(2, '\0') +
         payload;
}

// A text frame in UTF-8 (2.4) or Latin-1 (2.3); values separated by a zero byte.
inline std::string Id3Text(int version, const std::string& id, const std::string& text) {
  return Id3Frame(version, id, std::string(1, version == 4 ? '\3' : '\0') + text);
}

inline std::string Id3UserText(int version, const std::string& description,
                               const std::string& text) {
  return Id3Frame(version, "TXXX",
                  std::string(1, version == 4 ? '\3' : '\0') + description + '\0' + text);
}

inline std::string Id3Comment(int version, const std::string& text) {
  return Id3Frame(version, "COMM", std::string(1, version == 4 ? '\3' : '\0') + "eng" +
                                       std::string(1, '\0') + text);
}

inline std::string Id3Picture(int version, const std::string& mime, const std::string& data,
                              char type = '\3') {
  return Id3Frame(version, "APIC", std::string(1, '\0') + mime + '\0' + type + '\0' + data);
}

// The tag: header, frames, `padding` zero bytes. `sizeOverride` >= 0 stores a wrong size.
inline std::string Id3Tag(int version, const std::vector<std::string>& frames,
                          std::size_t padding = 0, long long sizeOverride = -1) {
  std::string body;
  for (const auto& frame : frames) body += frame;
  body += std::string(padding, '\0');
  const auto size = static_cast<std::uint32_t>(sizeOverride >= 0 ? sizeOverride : body.size());
  return "ID3" + std::string(1, static_cast<char>(version)) + std::string(2, '\0') +
         SyncSafe(size) + body;
}

// ---- ffprobe ----

// The container-level tags as ffprobe shows them ("TAG:title=..." lines), names as printed.
// FFmpeg shows an Ogg file's comment packet as its stream's tags.
inline std::map<std::string, std::string> FfprobeTags(const std::string& path,
                                                       const std::string& scratch) {
  const std::string out = scratch + "/ffprobe.txt";
  const auto dot = path.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
  const char* entries = ext == "ogg" || ext == "opus" ? "stream_tags" : "format_tags";
  const std::string command = FfprobeProgram() + " -v error -show_entries " + entries +
                              " -of default=nw=1 " +
                              ShellQuote(path) + " > " + ShellQuote(out) + " 2>/dev/null";
  std::map<std::string, std::string> tags;
  if (std::system(command.c_str()) != 0) return tags;
  std::ifstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TAG:", 0) != 0) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
  }
  return tags;
}

// One value ffprobe shows for `entry` ("stream=duration_ts"), of the first stream; empty when
// it shows none.
inline std::string FfprobeValue(const std::string& path, const std::string& entry,
                                const std::string& scratch) {
  const std::string out = scratch + "/ffprobe-value.txt";
  const std::string command = FfprobeProgram() + " -v error -select_streams a:0 -show_entries " +
                              entry + " -of default=nw=1:nk=1 " + ShellQuote(path) + " > " +
                              ShellQuote(out) + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  return line;
}

// The bytes of the first attached picture as the ffmpeg program extracts it (empty: none).
inline std::string FfmpegCover(const std::string& path, const std::string& scratch) {
  const std::string out = scratch + "/ffmpeg-cover.bin";
  std::remove(out.c_str());
  if (!Ffmpeg("-i " + ShellQuote(path) + " -map 0:v:0 -c copy -frames:v 1 -f data " +
              ShellQuote(out))) {
    return {};
  }
  return ReadBytes(out);
}

}  // namespace qv::test
