#include "convert/formats.h"

#include <cstdio>

#include "audio/outputrates.h"
#include "convert/fileencoder.h"

namespace qv {
namespace {

constexpr int kMp3RowKbps[kMp3BitrateRows] = {320, 256, 224, 192, 160, 128, 112, 96};
constexpr int kMp3ColumnRates[kMp3RateColumns] = {48000, 44100, 32000};

constexpr MPEGLAYER3WAVEFORMAT Mp3Record(int kbps, int rate, int channels = 2) {
  MPEGLAYER3WAVEFORMAT record{};
  record.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  record.wfx.nChannels = static_cast<WORD>(channels == 1 ? 1 : 2);
  record.wfx.nSamplesPerSec = static_cast<DWORD>(rate);
  record.wfx.nAvgBytesPerSec = static_cast<DWORD>(kbps * 125);  // kbit/s to bytes per second
  record.wfx.nBlockAlign = 1;
  record.wfx.wBitsPerSample = 0;
  record.wfx.cbSize = 12;  // the bytes of the Layer-3 fields after the common ones
  record.wID = 1;          // MPEG
  record.fdwFlags = 2;     // padding off
  // The bytes of one frame: 1152 samples of kbps × 1000 bits per second, as 144 × rate ÷ freq.
  record.nBlockSize = static_cast<WORD>(144 * kbps * 1000 / rate);
  record.nFramesPerBlock = 1;
  record.nCodecDelay = 0;
  return record;
}

constexpr MPEGLAYER3WAVEFORMAT kRow(int row, int column) {
  return Mp3Record(kMp3RowKbps[row], kMp3ColumnRates[column]);
}

constexpr int kFlacLevels = kLastFlacLevel + 1;  // 0 (fastest) to 8 (smallest)
constexpr int kDefaultFlacLevel = 5;
constexpr const char* kLevelPrefix = "Level ";

BitrateList ListOf(const std::vector<int>& kbps, int defaultIndex) {
  BitrateList list;
  for (int value : kbps) {
    char text[32];
    std::snprintf(text, sizeof text, "%d kbps", value);
    list.texts.emplace_back(text);
    list.kbps.push_back(value);
    list.bitsPerSecond.push_back(static_cast<DWORD>(value) * 1000);
  }
  list.defaultIndex = list.texts.empty() ? -1 : defaultIndex;
  return list;
}

}  // namespace

const MPEGLAYER3WAVEFORMAT kMp3Formats[kMp3BitrateRows][kMp3RateColumns] = {
    {kRow(0, 0), kRow(0, 1), kRow(0, 2)}, {kRow(1, 0), kRow(1, 1), kRow(1, 2)},
    {kRow(2, 0), kRow(2, 1), kRow(2, 2)}, {kRow(3, 0), kRow(3, 1), kRow(3, 2)},
    {kRow(4, 0), kRow(4, 1), kRow(4, 2)}, {kRow(5, 0), kRow(5, 1), kRow(5, 2)},
    {kRow(6, 0), kRow(6, 1), kRow(6, 2)}, {kRow(7, 0), kRow(7, 1), kRow(7, 2)},
};

const AacQuality kAacQualities[kAacQualityRows] = {
    {"-q 130 -c 22000 --mpeg-vers 4", 218}, {"-q 120 -c 20000 --mpeg-vers 4", 194},
    {"-q 110 -c 18000 --mpeg-vers 4", 158}, {"-q 100 -c 16000 --mpeg-vers 4", 129},
    {"-q 90 -c 14000 --mpeg-vers 4", 103},  {"-q 80 -c 12000 --mpeg-vers 4", 79},
    {"-q 70 -c 10000 --mpeg-vers 4", 62},
};

MPEGLAYER3WAVEFORMAT Mp3FormatRecord(int kbps, int rate, int channels) {
  // MPEG-2 and 2.5 frames hold 576 samples: half the bytes of an MPEG-1 frame at the same rate.
  MPEGLAYER3WAVEFORMAT record = Mp3Record(kbps, rate, channels);
  if (rate < 32000) record.nBlockSize = static_cast<WORD>(72 * kbps * 1000 / rate);
  return record;
}

std::int64_t BitsPerSecondFor(int kbps, int channels) {
  const std::int64_t stereo = std::int64_t{kbps} * 1000;
  return channels > 2 ? stereo * channels / 2 : stereo;
}

int Mp3RateColumn(int rate) {
  for (int column = 0; column < kMp3RateColumns; ++column) {
    if (kMp3ColumnRates[column] == rate) return column;
  }
  return -1;
}

int Mp3BitrateKbps(unsigned row, unsigned column) {
  if (row >= kMp3BitrateRows || column >= kMp3RateColumns) return 0;
  return static_cast<int>(kMp3Formats[row][column].wfx.nAvgBytesPerSec * 8 / 1000);
}

int FindMp3BitrateRow(int kbps) {
  for (unsigned row = 0; row < kMp3BitrateRows; ++row) {
    if (Mp3BitrateKbps(row, 0) == kbps) return static_cast<int>(row);
  }
  return -1;
}

const char* AacOptionsForKbps(int kbps) {
  for (const AacQuality& quality : kAacQualities) {
    if (quality.kbps == kbps) return quality.options;
  }
  return kAacQualities[0].options;
}

bool BitrateList::Contains(int value) const {
  for (int entry : kbps) {
    if (entry == value) return true;
  }
  return false;
}

BitrateList Mp3Bitrates() {
  std::vector<int> kbps;
  for (unsigned row = 0; row < kMp3BitrateRows; ++row) kbps.push_back(Mp3BitrateKbps(row, 0));
  return ListOf(kbps, 3);
}

BitrateList AacBitrates() {
  std::vector<int> kbps;
  for (const AacQuality& quality : kAacQualities) kbps.push_back(quality.kbps);
  return ListOf(kbps, 1);
}

BitrateList WmaBitrates() {
  return WmaBitratesFrom(BASS_WMA_EncodeGetRates(44100, 2, BASS_WMA_ENCODE_STANDARD));
}

BitrateList WmaBitratesFrom(const DWORD* rates) {
  BitrateList list;
  if (!rates) return list;
  int exact = -1;
  int below = -1;
  for (int i = 0; rates[i] != 0; ++i) {
    const int kbps = static_cast<int>(rates[i] / 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%d kbps", kbps);
    list.texts.emplace_back(text);
    list.kbps.push_back(kbps);
    list.bitsPerSecond.push_back(rates[i]);
    if (kbps == 192) exact = i;
    if (kbps <= 192 && (below < 0 || kbps >= list.kbps[static_cast<size_t>(below)])) below = i;
  }
  if (list.texts.empty()) return list;
  list.defaultIndex = exact >= 0 ? exact : below >= 0 ? below : 0;
  return list;
}

BitrateList FlacLevels() {
  BitrateList list;
  for (int level = 0; level < kFlacLevels; ++level) {
    list.texts.push_back(kLevelPrefix + std::to_string(level));
    list.kbps.push_back(level);
    list.bitsPerSecond.push_back(0);
  }
  list.defaultIndex = kDefaultFlacLevel;
  return list;
}

BitrateList OpusBitrates() { return ListOf({256, 192, 160, 128, 96, 64, 48}, 3); }

BitrateList VorbisBitrates() { return ListOf({320, 256, 224, 192, 160, 128, 96}, 3); }

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

namespace {

using tags::OutputKind;
constexpr auto kNoTags = std::nullopt;

// key, list name, extension, codec name, lossless, rate choice, bitrates, highest rate, tag
// kind, bitrates from the encoder, encoder, most channels (8 unless named).
const OutputFormat kFormats[] = {
    {"wav", "WAV", "wav", "WAV", true, RateChoice::None, nullptr, 0, OutputKind::Wav, false,
     MakeWavEncoder},
    {"mp3", "MP3", "mp3", "MP3", false, RateChoice::Kbps, Mp3Bitrates, 0, OutputKind::Mp3,
     false, MakeMp3Encoder, 2},
    {"aac", "AAC", "aac", "AAC", false, RateChoice::Kbps, AacBitrates, audio::kAacHighestRate,
     kNoTags, false, MakeAacEncoder},
    {"mp4", "MP4", "mp4", "AAC", false, RateChoice::Kbps, AacBitrates, audio::kAacHighestRate,
     OutputKind::Mp4, false, MakeAacEncoder},
    {"m4a", "M4A", "m4a", "AAC", false, RateChoice::Kbps, AacBitrates, audio::kAacHighestRate,
     OutputKind::Mp4, false, MakeAacEncoder},
    {"wma", "WMA", "wma", "WMA", false, RateChoice::Kbps, WmaBitrates, audio::kWmaHighestRate,
     OutputKind::Wma, true, MakeWmaEncoder, 2},
    {"flac", "FLAC", "flac", "FLAC", true, RateChoice::FlacLevel, FlacLevels, 0,
     OutputKind::Flac, false, MakeFlacEncoder},
    {"opus", "OPUS", "opus", "Opus", false, RateChoice::Kbps, OpusBitrates, 0, OutputKind::Opus,
     false, MakeOpusEncoder},
    {"ogg", "OGG", "ogg", "Vorbis", false, RateChoice::Kbps, VorbisBitrates,
     audio::kVorbisHighestRate, OutputKind::Vorbis, false, MakeVorbisEncoder},
};

}  // namespace

std::span<const OutputFormat> OutputFormats() { return kFormats; }

const OutputFormat* FindOutputFormat(std::string_view key) {
  const std::string lower = LowerAscii(key);
  for (const OutputFormat& format : kFormats) {
    if (lower == format.key) return &format;
  }
  return nullptr;
}

BitrateList BitratesForFormat(std::string_view formatKey) {
  const OutputFormat* format = FindOutputFormat(formatKey);
  return format ? format->Bitrates() : BitrateList{};
}

int LeadingKbps(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 1000000) return 0;  // no bitrate is this large
  }
  return static_cast<int>(value);
}

int BitrateOfText(std::string_view formatKey, std::string_view text) {
  const OutputFormat* format = FindOutputFormat(formatKey);
  if (!format || !format->isFlacLevel()) return LeadingKbps(text);
  const std::string_view prefix = kLevelPrefix;
  if (text.substr(0, prefix.size()) != prefix) return -1;
  const std::string_view digits = text.substr(prefix.size());
  if (digits.size() != 1 || digits[0] < '0' || digits[0] >= '0' + kFlacLevels) return -1;
  return digits[0] - '0';
}

}  // namespace qv
