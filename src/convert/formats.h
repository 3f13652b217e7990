#pragma once
// The output formats and the bitrates each one offers: the list of formats, the MPEG Layer-3
// format table behind the MP3 bitrates, the AAC quality table behind the AAC, MP4 and M4A
// bitrates, the WMA bitrates the encoder reports, the Opus and Vorbis bitrates, and the FLAC
// compression levels that take the bitrates' place. Both front ends fill their choices from
// here and the command-line front end checks a requested bitrate against the same lists.
// The table of output formats (OutputFormats) is the one place that knows what each format is:
// its key, its name in the format list, its bitrates, its tag format and its encoder.
// Plain data and pure functions; WmaBitrates asks the audio layer.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/bass.h"
#include "tags/tags.h"

namespace qv {

class FileEncoder;  // convert/fileencoder.h

inline constexpr int kLastFlacLevel = 8;  // FLAC's compression levels are 0 (fastest) to 8

inline constexpr int kMp3BitrateRows = 8;
inline constexpr int kMp3RateColumns = 3;
// The MP3 format table: rows 320, 256, 224, 192, 160, 128, 112, 96 kbps; columns 48000, 44100,
// 32000 Hz. Every record asks for stereo MPEG-1 Layer 3 at a constant bitrate.
extern const MPEGLAYER3WAVEFORMAT kMp3Formats[kMp3BitrateRows][kMp3RateColumns];
// The column of the MP3 format table for a sample rate, or -1 when there is none.
int Mp3RateColumn(int rate);
// A record like the table's for any rate an MP3 file can hold (MPEG-2 and 2.5 too), mono for
// one channel and stereo for more (more than two are mixed down).
MPEGLAYER3WAVEFORMAT Mp3FormatRecord(int kbps, int rate, int channels = 2);

// The bits per second a format that keeps the source's channels is written at for `kbps`
// chosen: the bitrate lists are for stereo, so more than two channels get it in proportion
// (kbps x channels / 2: 5.1 at 192 kbps is written at 576 kbit/s); mono keeps it.
std::int64_t BitsPerSecondFor(int kbps, int channels);

struct AacQuality {
  const char* options;  // the encoder program's options
  int kbps;             // the bitrate shown to the user
};
inline constexpr int kAacQualityRows = 7;
extern const AacQuality kAacQualities[kAacQualityRows];

// The kbps of the MP3 format table's record (row, column); 0 when row > 7 or column > 2.
int Mp3BitrateKbps(unsigned row, unsigned column);
// The first row whose 48000 Hz record has `kbps`, or -1.
int FindMp3BitrateRow(int kbps);
// The encoder options of the first AAC quality row with `kbps`; row 0's when none has it.
const char* AacOptionsForKbps(int kbps);

// The bitrates a format offers, as the bitrate list shows them. FLAC offers its compression
// levels instead: texts "Level %d", `kbps` the levels, `bitsPerSecond` 0.
struct BitrateList {
  std::vector<std::string> texts;  // "%d kbps"
  std::vector<int> kbps;
  std::vector<DWORD> bitsPerSecond;  // the WMA list's rates; kbps × 1000 for the others
  int defaultIndex = -1;             // -1 when the list is empty
  bool Empty() const { return texts.empty(); }
  bool Contains(int value) const;
};

BitrateList Mp3Bitrates();  // 320 kbps to 96 kbps, 192 kbps chosen
BitrateList AacBitrates();  // 218 kbps to 62 kbps, 194 kbps chosen
// The rates the WMA encoder offers at 44100 Hz stereo, in its order. 192 kbps is chosen (the
// last such entry); without one, the highest rate not above 192 kbps, else the first entry.
// Empty when the encoder offers no list (WMA cannot be written here).
BitrateList WmaBitrates();
// The same for a zero-terminated list of rates in bits per second (null: no list).
BitrateList WmaBitratesFrom(const DWORD* rates);
BitrateList FlacLevels();      // "Level 0" to "Level 8", level 5 chosen
BitrateList OpusBitrates();    // 256 kbps to 48 kbps, 128 kbps chosen
BitrateList VorbisBitrates();  // 320 kbps to 96 kbps, 192 kbps chosen

// What the bitrate list holds for a format.
enum class RateChoice {
  None,       // nothing to choose (WAV): the bitrate list is empty and disabled, kbps 0
  Kbps,       // bitrates in kbps
  FlacLevel,  // compression levels in the bitrates' place (FLAC)
};

// One output format. The conversion batch asks it: holdsTags() (whether tags and ReplayGain
// values can be written into the output), peakCheckAfterEncode() (whether a normalized output
// is measured after encoding and encoded again while its peak passes the limit: the lossy
// formats), usesBitrate() (whether the chosen bitrate reaches the encoder; 0 is passed
// otherwise) and needsEncoderBitrates (whether the format cannot be written at all when its
// encoder offers no bitrates: WMA).
struct OutputFormat {
  const char* key;        // "wav", "mp3", ...: the key the front ends and the batch pass
  const char* listName;   // "WAV", "MP3", ...: as the format list shows it
  const char* extension;  // of the output file, without the dot
  const char* codecName;  // "WAV", "MP3", "AAC", "WMA", "FLAC", "Opus", "Vorbis": in messages
  bool lossless;
  RateChoice rateChoice;
  BitrateList (*bitrates)();  // the bitrate list; null when rateChoice is None
  // The highest sample rate the format is written at (a higher source is resampled to its
  // family's rate, see audio::RateAtMost, and the log says so); 0 when the encoder keeps the
  // source's rate or has its own rule (MP3: audio::Mp3OutputRate; Opus: always 48000 Hz).
  int highestRate;
  std::optional<tags::OutputKind> tagKind;  // none: no tag container (raw AAC, ADTS)
  bool needsEncoderBitrates;                // the bitrates come from the encoder (WMA)
  std::unique_ptr<FileEncoder> (*makeEncoder)();
  // The most channels a file holds: a source of more is mixed down to stereo (and the log
  // says so). The others keep every channel (1 to 8) in the source's layout.
  int maxChannels = 8;

  bool usesBitrate() const { return rateChoice != RateChoice::None; }
  bool isFlacLevel() const { return rateChoice == RateChoice::FlacLevel; }
  bool holdsTags() const { return tagKind.has_value(); }
  bool peakCheckAfterEncode() const { return !lossless; }
  // The bitrate list; empty for WAV.
  BitrateList Bitrates() const { return bitrates ? bitrates() : BitrateList{}; }
};

// The output formats in the order the format list shows them.
std::span<const OutputFormat> OutputFormats();
// The format of `key` in any case ("mp3", "Wma", "FLAC", ...); null when there is none.
const OutputFormat* FindOutputFormat(std::string_view key);
// The bitrates of a format key in any case ("mp3", "Wma", ...): empty for WAV and unknown keys.
BitrateList BitratesForFormat(std::string_view formatKey);

// The leading decimal integer of a bitrate text ("192 kbps" gives 192); 0 when there is none.
int LeadingKbps(std::string_view text);
// The value the bitrate list's text stands for in format `formatKey` (any case): the FLAC
// level of "Level 5" (5), else LeadingKbps. -1 for a FLAC text that names no level.
int BitrateOfText(std::string_view formatKey, std::string_view text);
// The text with its ASCII letters lower-cased.
std::string LowerAscii(std::string_view text);

}  // namespace qv
