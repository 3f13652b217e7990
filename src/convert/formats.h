#pragma once
// The output formats and the bitrates each one offers: the list of formats, the MPEG Layer-3
// format table behind the MP3 bitrates, the AAC quality table behind the AAC, MP4 and M4A
// bitrates, the WMA bitrates the encoder reports, the Opus and Vorbis bitrates, and the FLAC
// compression levels that take the bitrates' place. Both front ends fill their choices from
// here and the command-line front end checks a requested bitrate against the same lists.
// Plain data and pure functions; WmaBitrates asks the audio layer.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "audio/bass.h"

namespace qv {

// The output formats in the order the format list shows them. Lower-cased, an entry is the
// output file's extension and the encoder key.
inline constexpr std::array<const char*, 9> kOutputFormats = {
    "WAV", "MP3", "AAC", "MP4", "M4A", "WMA", "FLAC", "OPUS", "OGG"};

inline constexpr int kMp3BitrateRows = 8;
inline constexpr int kMp3RateColumns = 3;
// The MP3 format table: rows 320, 256, 224, 192, 160, 128, 112, 96 kbps; columns 48000, 44100,
// 32000 Hz. Every record asks for stereo MPEG-1 Layer 3 at a constant bitrate.
extern const MPEGLAYER3WAVEFORMAT kMp3Formats[kMp3BitrateRows][kMp3RateColumns];
// The column of the MP3 format table for a sample rate, or -1 when there is none.
int Mp3RateColumn(int rate);
// A record like the table's for any rate an MP3 file can hold (MPEG-2 and 2.5 too).
MPEGLAYER3WAVEFORMAT Mp3FormatRecord(int kbps, int rate);

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

// What the bitrate list does for the format shown in the format list (compared exactly).
enum class BitrateKind { None, Mp3, Aac, Wma, Flac, Opus, Vorbis, Unknown };
// "WAV" None; "MP3" Mp3; "AAC", "MP4", "M4A" Aac; "WMA" Wma; "FLAC" Flac; "OPUS" Opus; "OGG"
// Vorbis; any other text Unknown.
BitrateKind BitrateKindOf(std::string_view formatText);
// The bitrates of a format key in any case ("mp3", "Wma", ...): empty for WAV and unknown keys.
BitrateList BitratesForFormat(std::string_view formatKey);

// The leading decimal integer of a bitrate text ("192 kbps" gives 192); 0 when there is none.
int LeadingKbps(std::string_view text);
// The value the bitrate list's text stands for in format `formatKey` (any case): the FLAC
// level of "Level 5" (5), else LeadingKbps. -1 for a FLAC text that names no level.
int BitrateOfText(std::string_view formatKey, std::string_view text);
// The text with its ASCII letters lower-cased.
std::string LowerAscii(std::string_view text);
// Whether `formatKey` (any case) names an output format.
bool IsOutputFormat(std::string_view formatKey);

}  // namespace qv
