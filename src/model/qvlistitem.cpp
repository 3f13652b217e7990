#include "model/qvlistitem.h"

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
  if (hasLoudness != 1) return;
  trackGain = target - volume;
  gainFactor = GainFactorFromTrackGain(trackGain);
  clipTrack = gainFactor * peak > kFullScale ? 1 : 0;
}

void QVListItem::SetLoudness(double measuredVolume, double measuredTrackGain,
                             double measuredPeak, int measuredClipping) {
  volume = measuredVolume;
  trackGain = measuredTrackGain;
  peak = measuredPeak;
  clipping = measuredClipping;
  gainFactor = GainFactorFromTrackGain(trackGain);
  clipTrack = gainFactor * peak > kFullScale ? 1 : 0;
  hasLoudness = 1;
}

}  // namespace qv
