#pragma once
// Helpers for the audio layer's tests: fixtures made with the ffmpeg program or written by hand,
// and whole-file decoding through the layer.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/paths.h"
#include "audio/bass.h"

namespace qv::test {

// Runs the ffmpeg program quietly with `args` (paths already quoted). True on exit status 0.
inline bool RunFfmpeg(const std::string& args) {
  const std::string command =
      std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y " + args;
  return std::system(command.c_str()) == 0;
}

// The test signal: a different tone in every channel at half scale.
inline double TestSignal(long frame, int channel, int rate) {
  constexpr double kPi = 3.14159265358979323846;
  return 0.5 * std::sin(2.0 * kPi * (440.0 + 110.0 * channel) * frame / rate);
}

inline void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Writes a 16-bit PCM WAV of TestSignal and returns its samples as the decoder should give them.
inline std::vector<float> WriteTestWav16(const std::string& path, int rate, int channels,
                                         long frames) {
  std::string data;
  std::vector<float> expected;
  for (long i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const auto value = static_cast<std::int16_t>(std::lround(TestSignal(i, c, rate) * 32767));
      PutLe(data, static_cast<std::uint16_t>(value), 2);
      expected.push_back(static_cast<float>(value) / 32768.0f);
    }
  }
  std::string header = "RIFF";
  PutLe(header, static_cast<std::uint32_t>(36 + data.size()), 4);
  header += "WAVEfmt ";
  PutLe(header, 16, 4);
  PutLe(header, 1, 2);
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 2), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 2), 2);
  PutLe(header, 16, 2);
  header += "data";
  PutLe(header, static_cast<std::uint32_t>(data.size()), 4);
  std::ofstream(path, std::ios::binary) << header << data;
  return expected;
}

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string Quote(const std::string& path) { return ShellQuote(path); }

struct Decoded {
  HSTREAM handle = 0;
  BASS_CHANNELINFO info{};
  QWORD lengthBytes = 0;
  std::vector<float> samples;
  int endCode = 0;  // the error code when the data ended
  qv::audio::DecodeReport report;  // how decoding went, read when the data ended
};

// Opens `path` as a decoding float stream and reads it to the end in blocks of `blockFrames`.
// Leaves handle 0 (and endCode = the open error) when it cannot be opened; frees the stream.
// With `range`, only that part of the file.
inline Decoded DecodeFile(const std::string& path, long blockFrames = 4410,
                          const qv::audio::FrameRange& range = {}) {
  Decoded result;
  constexpr DWORD kFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
  result.handle = range.Whole() ? BASS_StreamCreateFile(0, path.c_str(), 0, 0, kFlags)
                                : QV_StreamCreateFileRange(path.c_str(), kFlags, range);
  if (!result.handle) {
    result.endCode = BASS_ErrorGetCode();
    return result;
  }
  BASS_ChannelGetInfo(result.handle, &result.info);
  result.lengthBytes = BASS_ChannelGetLength(result.handle, BASS_POS_BYTE);
  std::vector<float> block(static_cast<size_t>(blockFrames) * (result.info.chans ? result.info.chans : 1));
  for (int guard = 0; guard < 1000000; ++guard) {
    const DWORD got = BASS_ChannelGetData(result.handle, block.data(),
                                          static_cast<DWORD>(block.size() * 4) | BASS_DATA_FLOAT);
    if (got == 0xFFFFFFFFu || got == 0) {
      result.endCode = BASS_ErrorGetCode();
      QV_ChannelGetDecodeReport(result.handle, &result.report);
      break;
    }
    result.samples.insert(result.samples.end(), block.begin(), block.begin() + got / 4);
  }
  BASS_StreamFree(result.handle);
  return result;
}

// Feeds a decoding stream to `write` in one-second blocks, as the converter does. Returns false
// as soon as `write` refuses a block.
template <typename Write>
bool PumpBlocks(HSTREAM stream, Write write) {
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(stream, &info);
  std::vector<float> block(static_cast<size_t>(info.freq) * info.chans);
  while (true) {
    const DWORD got = BASS_ChannelGetData(stream, block.data(),
                                          static_cast<DWORD>(block.size() * 4));
    if (got == 0 || got == 0xFFFFFFFFu) return true;
    if (!write(block.data(), got)) return false;
  }
}

}  // namespace qv::test
