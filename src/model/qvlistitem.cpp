#include "model/qvlistitem.h"

#include <algorithm>

#include <cmath>
#include <sys/stat.h>

#include "app/liveregistry.h"
#include "app/paths.h"

namespace qv {

bool IsDeletableTempWav(const std::string& path, const std::string& sourcePath) {
  if (path.empty() || path == sourcePath) return false;
  const std::string name = GetFileTitle(path, true);
  const std::string prefix = kTempWavPrefix;
  return name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - 4, 4, ".wav") == 0;
}

QVListItem::~QVListItem() {
  // Only a file that is recognisably ours is removed, so a record filled wrongly can never
  // delete a user's file. A file that is already gone is fine.
  if (extracted == 1 && IsDeletableTempWav(decodePath, sourcePath)) RemoveTemporary(decodePath);
}

void QVListItem::SetPaths(const std::string& source, const std::string& tempWav,
                          bool isExtracted) {
  sourcePath = source;
  decodePath = tempWav;
  extracted = isExtracted ? 1 : 0;
  struct stat info {};
  m_hasIdentity = ::stat(source.c_str(), &info) == 0;
  m_device = m_hasIdentity ? info.st_dev : 0;
  m_inode = m_hasIdentity ? info.st_ino : 0;
}

double GainFactorFromTrackGain(double trackGain) { return std::pow(10.0, trackGain / 20.0); }

void QVListItem::ApplyTarget(double target) {
  if (hasLoudness != 1) {
    if (!hasAlbum || !measurements[Shown()].silent) return;
    albumGain = target - albumVolume;
    gainFactor = byAlbum ? GainFactorFromTrackGain(albumGain) : 1.0;
    clipTrack = byAlbum && gainFactor * albumPeak > peakLimit ? 1 : 0;
    return;
  }
  trackGain = target - volume;
  albumGain = hasAlbum ? target - albumVolume : 0.0;
  const bool album = byAlbum && hasAlbum;
  gainFactor = GainFactorFromTrackGain(album ? albumGain : trackGain);
  clipTrack = gainFactor * (album ? albumPeak : peak) > peakLimit ? 1 : 0;
}

void QVListItem::SetNormalizationView(LoudnessStandard shown, bool album, double limit,
                                      double target) {
  standard = shown;
  byAlbum = album;
  peakLimit = limit;
  const RowMeasurement& m = measurements[static_cast<int>(shown)];
  if (!m.measured) {
    volume = trackGain = peak = albumGain = 0.0;
    clipping = clipTrack = 0;
    gainFactor = 1.0;
    hasLoudness = 0;
    hasAlbum = false;
    return;
  }
  volume = m.volume;
  peak = m.peak;
  clipping = m.clipping;
  hasLoudness = 1;
  ApplyTarget(target);
}

void QVListItem::StoreMeasurement(LoudnessStandard which, RowMeasurement measurement,
                                  double target) {
  measurement.measured = true;
  measurements[static_cast<int>(which)] = std::move(measurement);
  if (which == standard) SetNormalizationView(standard, byAlbum, peakLimit, target);
}

double QVListItem::AppliedGainFactor(bool* limited) const {
  const double reference = byAlbum && hasAlbum ? albumPeak : peak;
  const bool over =
      HasNormalizationGain() && gainFactor * reference > peakLimit && reference > 0.0;
  if (limited) *limited = over;
  return over ? peakLimit / reference : gainFactor;
}

void QVListItem::SetLoudness(double measuredVolume, double measuredTrackGain,
                             double measuredPeak, int measuredClipping) {
  volume = measuredVolume;
  trackGain = measuredTrackGain;
  peak = measuredPeak;
  clipping = measuredClipping;
  hasLoudness = 1;
  // Kept as the measurement of the standard shown, so that switching the view and back
  // returns to it.
  RowMeasurement& m = measurements[static_cast<int>(standard)];
  m.measured = true;
  m.volume = volume;
  m.peak = peak;
  m.clipping = clipping;
  ApplyTarget(measuredTrackGain + measuredVolume);
  trackGain = measuredTrackGain;  // exactly as given, not as target minus volume
  if (!(byAlbum && hasAlbum)) {
    gainFactor = GainFactorFromTrackGain(trackGain);
    clipTrack = gainFactor * peak > peakLimit ? 1 : 0;
  }
}

SourceFacts FactsOfPart(const SourceFacts& file, const TimeRange& range) {
  if (range == TimeRange{} || file.rate == 0) return file;
  const audio::FrameRange frames = FramesOf(range, file.rate);
  const auto ofPart = [&frames](std::int64_t fileFrames) {
    if (fileFrames < 0) return frames.end >= 0 ? frames.end - frames.start : std::int64_t{-1};
    const std::int64_t end = frames.end >= 0 ? std::min(frames.end, fileFrames) : fileFrames;
    return std::max<std::int64_t>(0, end - frames.start);
  };
  SourceFacts part = file;
  part.samples = ofPart(file.samples);
  part.declaredSamples = file.declaredSamples >= 0 ? ofPart(file.declaredSamples) : -1;
  part.seconds = part.samples >= 0 ? static_cast<double>(part.samples) / file.rate : 0.0;
  return part;
}

}  // namespace qv
