#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace qv {

// The record behind one row of the source file list: the paths the program works with and the
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

  // Recomputes trackGain, gainFactor and clipTrack for a new target; rows without a
  // measurement keep their neutral values.
  void ApplyTarget(double target);

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
  double gainFactor = 1.0;  // 10^(trackGain / 20), applied to every sample when normalizing
  std::int32_t hasLoudness = 0;
  std::int32_t extracted = 0;
  std::string sourcePath;
  std::string decodePath;

 private:
  bool m_hasIdentity = false;
  dev_t m_device = 0;
  ino_t m_inode = 0;
};

// The sample multiplier of a gain in dB: the amplitude ratio 10^(gain / 20), so +6.02 dB
// doubles every sample and 0 dB leaves it unchanged.
double GainFactorFromTrackGain(double trackGain);
// Full scale on the 16-bit sample scale that peaks are measured on.
inline constexpr double kFullScale = 32767.0;

// True when `path` may be deleted as a temporary WAV of this program: a file named
// qvAudioTemp*.wav that is not the row's own source file.
bool IsDeletableTempWav(const std::string& path, const std::string& sourcePath);

}  // namespace qv
