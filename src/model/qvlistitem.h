#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "audio/framerange.h"

namespace qv {

// The two ways of measuring loudness: the ReplayGain 1.0 analysis (a volume in dB, 89.0 for the
// reference pink noise) and EBU R128 integrated loudness (LUFS).
enum class LoudnessStandard { ReplayGain1 = 0, R128 = 1 };
inline constexpr int kLoudnessStandards = 2;

// One standard's measurement of a row's file.
struct RowMeasurement {
  bool measured = false;
  // Measured and found silent (R128: every block below the absolute gate): no loudness of its
  // own, so no track gain, but a member of its album, whose gain it takes.
  bool silent = false;
  double volume = 0.0;  // dB (ReplayGain 1.0) or LUFS (R128)
  // The peak a peak limit applies to, on the 16-bit scale: the largest sample (ReplayGain 1.0)
  // or the true peak (R128).
  double peak = 0.0;
  int clipping = 0;     // a sample reached full scale
  double range = 0.0;   // loudness range in LU (R128)
  // What an album's loudness is computed from, with the other titles of the album: the window
  // levels (ReplayGain 1.0: bin << 18 | count, see PackLevel) or the energies of the gated
  // 400 ms blocks (R128).
  std::vector<std::uint32_t> levels;
  std::vector<float> blocks;
};

// A histogram entry of the ReplayGain window levels, packed: 14 bits of bin, 18 of count (a
// larger count takes several entries).
inline constexpr std::uint32_t kLevelCountBits = 18;
inline constexpr std::uint32_t kLevelCountMax = (1u << kLevelCountBits) - 1;
inline std::uint32_t PackLevel(int bin, std::uint32_t count) {
  return static_cast<std::uint32_t>(bin) << kLevelCountBits | count;
}
inline int LevelBinOf(std::uint32_t packed) { return static_cast<int>(packed >> kLevelCountBits); }
inline std::uint32_t LevelCountOf(std::uint32_t packed) { return packed & kLevelCountMax; }

// The part of a file a row covers, in seconds: from `start` to `end`, where a negative end
// means the end of the file. The default is the whole file.
struct TimeRange {
  double start = 0;
  double end = -1;
  bool operator==(const TimeRange&) const = default;
};

// A time range as the source frames the audio layer decodes, at `rate` Hz (each end rounded to
// the nearest frame, so a CD frame of 1/75 s is exact at 44100 and 48000 Hz).
inline audio::FrameRange FramesOf(const TimeRange& range, unsigned rate) {
  return {range.start > 0 ? std::llround(range.start * rate) : 0,
          range.end >= 0 ? std::llround(range.end * rate) : -1};
}

// A source file's own tags as its row keeps them from the add to the conversion, so neither the
// output's name nor its tag copy reads the file again: the text fields, with what the reading
// could not read and what it left out on purpose, packed into one string (see tags::StoreTags;
// a few hundred bytes for typical tags), and the front cover described instead of held: its
// size and a fingerprint of its bytes, which the conversion finds again among the pictures its
// decoder reads anyway. `kept` is false when the tags were not read or were too long to keep
// (long lyrics): whoever needs them then reads the file.
struct SourceTags {
  bool kept = false;
  std::string packed;
  std::uint32_t coverBytes = 0;  // 0: no cover
  std::uint64_t coverPrint = 0;
};

// What the add found of a row's source: the probe's numbers (the cells show them as text) and
// the file's tags.
struct SourceFacts {
  std::uint64_t size = 0;   // bytes
  std::int64_t kbps = 0;    // average kbit/s; 0 when the length is unknown
  unsigned rate = 0;        // Hz
  unsigned bits = 0;        // bits per sample of the source; 0 for lossy or float data
  unsigned channels = 0;
  std::uint64_t channelMask = 0;  // the channels' speakers (FFmpeg's AV_CH_* bits); 0 unknown
  bool floating = false;    // lossless floating-point samples
  double seconds = 0.0;     // the length; 0 when unknown
  std::int64_t samples = -1;        // the length in sample frames; -1 when unknown
  // The length in sample frames that the file's header declares, unchecked (a file cut short
  // declares more than `samples`); -1 when it declares none.
  std::int64_t declaredSamples = -1;
  // The file as the probe saw it (size above, and the modification time in nanoseconds since
  // the epoch), so a file changed since can be probed again.
  std::int64_t modifiedNs = 0;
  SourceTags fileTags;
};

// The facts of the part `range` of a file whose facts are `file`: its length in frames and
// seconds (cut at the file's end), its declared length likewise; the rest is the file's.
SourceFacts FactsOfPart(const SourceFacts& file, const TimeRange& range);

// The record behind one row of the source file list: the paths the program works with, the part
// of the file it covers, what the probe found (the probe columns are drawn from it) and the
// loudness results with the gain that normalized conversion applies. Owned by its row (see
// SourceList); destroying the record of an extracted video deletes its temporary WAV.
// User-interface thread only.
class QVListItem {
 public:
  QVListItem(int rowPosition, int rowSerial) : position(rowPosition), serial(rowSerial) {}
  ~QVListItem();
  QVListItem(const QVListItem&) = delete;
  QVListItem& operator=(const QVListItem&) = delete;

  // Stores the source path, the temporary WAV path and the extracted flag, and remembers which
  // file the source path names (so ContainsFile recognises it under another spelling).
  void SetPaths(const std::string& source, const std::string& tempWav, bool isExtracted);

  // The path to decode: the temporary WAV for an extracted video, else the source file.
  const std::string& GetDecodePath() const { return extracted ? decodePath : sourcePath; }

  // Recomputes trackGain, albumGain, gainFactor and clipTrack for a new target; rows without a
  // measurement keep their neutral values (a silent row of an album: its album gain only).
  void ApplyTarget(double target);
  // Whether normalization has a gain for the row: it is measured, or it is a silent row of an
  // album normalized by album gain.
  bool HasNormalizationGain() const {
    return hasLoudness == 1 || (byAlbum && hasAlbum && measurements[Shown()].silent);
  }
  // The index of the standard the view shows, into `measurements`.
  int Shown() const { return static_cast<int>(standard); }

  // Shows the measurement of `shown` in the view fields (volume, peak, clipping, hasLoudness;
  // a standard not measured yet leaves the row unmeasured), chooses the album or the track
  // gain and the peak limit (16-bit scale), and applies `target`.
  void SetNormalizationView(LoudnessStandard shown, bool byAlbum, double limit, double target);

  // Stores a measurement of `which`; when it is the standard shown, the view follows.
  void StoreMeasurement(LoudnessStandard which, RowMeasurement measurement, double target);

  // The factor normalization multiplies the samples by: gainFactor, lowered where it would
  // take the peak (the album's with album gain) above the peak limit. `limited` says whether
  // it was lowered.
  double AppliedGainFactor(bool* limited = nullptr) const;

  // Stores a successful measurement: the volume, the track gain for the target in force, the
  // peak and the clipping flag; derives gainFactor and clipTrack and marks the row measured.
  void SetLoudness(double measuredVolume, double measuredTrackGain, double measuredPeak,
                   int measuredClipping);

  // True when `device`/`inode` name the file the source path named when SetPaths ran.
  bool IsSameFile(dev_t device, ino_t inode) const {
    return m_hasIdentity && m_device == device && m_inode == inode;
  }

  std::int32_t position;
  std::int32_t serial;
  double volume = 0.0;      // dB: 89.0 minus the title gain of the analysis
  double trackGain = 0.0;   // dB: target minus volume
  double peak = 0.0;        // largest absolute sample, full scale 32767.0
  std::int32_t clipping = 0;
  std::int32_t clipTrack = 0;
  // 10^(gain / 20) of the track gain (or of the album gain with album normalization), applied to
  // every sample when normalizing, up to the peak limit (AppliedGainFactor).
  double gainFactor = 1.0;
  std::int32_t hasLoudness = 0;
  // The album the row belongs to (its album tag with its album artist, or its folder), read
  // once, when a measurement or a conversion's album gate first needs it, and again after the
  // file changed (SourceList::RefreshChangedRows empties it); and the album's loudness and
  // largest peak in the standard shown.
  std::string albumKey;
  bool hasAlbum = false;
  double albumVolume = 0.0;
  double albumPeak = 0.0;
  double albumGain = 0.0;  // dB: target minus albumVolume
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;  // the standard the view shows
  bool byAlbum = false;          // gainFactor follows the album gain
  double peakLimit = 32767.0;    // the 16-bit peak the applied gain keeps to
  RowMeasurement measurements[kLoudnessStandards];
  std::int32_t extracted = 0;
  TimeRange range;  // the part of the source the row stands for
  // Tags of the row's own that replace the source file's fields of the same name (an empty
  // list removes the field): a track of an album image gets its title, artist, number and
  // album from the sheet. Empty for a plain file. Names as in tags::FieldMap.
  std::map<std::string, std::vector<std::string>> tags;
  SourceFacts facts;
  std::string sourcePath;
  std::string decodePath;
  // How the row's last conversion ended, where the window marks the row: its output was left
  // partial by a cancel, or it was converted with a note in the log (damaged data skipped, a
  // lowered rate, samples clipped). `markNote` says so in the log's words (the row's tooltip).
  enum class Mark : std::uint8_t { None, Partial, Noted };
  Mark mark = Mark::None;
  std::string markNote;

 private:
  bool m_hasIdentity = false;
  dev_t m_device = 0;
  ino_t m_inode = 0;
};

// The length of a row's decoded file as its add measured it, for a decoder that would otherwise
// read the file's end again; not known for a track, whose facts are its part's.
inline audio::KnownLength KnownLengthOf(const QVListItem& item) {
  if (!(item.range == TimeRange{})) return {};
  return {item.facts.samples, item.facts.size, item.facts.modifiedNs};
}

// The sample multiplier of a gain in dB: the amplitude ratio 10^(gain / 20), so +6.02 dB
// doubles every sample and 0 dB leaves it unchanged.
double GainFactorFromTrackGain(double trackGain);
// Full scale on the 16-bit sample scale that peaks are measured on.
inline constexpr double kFullScale = 32767.0;

// True when `path` may be deleted as a temporary WAV of this program: a file named
// qvAudioTemp*.wav that is not the row's own source file.
bool IsDeletableTempWav(const std::string& path, const std::string& sourcePath);

}  // namespace qv
