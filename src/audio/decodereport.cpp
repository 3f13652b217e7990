#include "audio/decodereport.h"

#include <algorithm>
#include <cstdio>

#include "audio/bass.h"

namespace qv::audio {

std::string FramesAsMinutes(std::int64_t frames, int rate) {
  const std::int64_t seconds = rate > 0 && frames > 0 ? frames / rate : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

namespace {

std::string Seconds(std::int64_t frames, int rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", rate > 0 ? static_cast<double>(frames) / rate : 0.0);
  return text;
}

// "at 0:05" or "between 0:05 and 0:12".
std::string Where(const DecodeReport& report, int rate) {
  const std::string first = FramesAsMinutes(report.firstLossAt, rate);
  const std::string last = FramesAsMinutes(report.lastLossAt, rate);
  return first == last ? "at " + first : "between " + first + " and " + last;
}

std::string Packets(int count) {
  return std::to_string(count) + (count == 1 ? " damaged packet" : " damaged packets");
}

}  // namespace

DecodeVerdict JudgeDecode(const DecodeReport& report, int rate, std::int64_t totalFrames) {
  DecodeVerdict verdict;
  if (report.stoppedEarly) {
    std::string text = "The source file is damaged: decoding stopped at " +
                       FramesAsMinutes(report.deliveredFrames, rate);
    if (totalFrames > report.deliveredFrames) text += " of " + FramesAsMinutes(totalFrames, rate);
    if (report.stopError == BASS_ERROR_READ) {
      text = "Could not read the source file - read error at " +
             FramesAsMinutes(report.deliveredFrames, rate);
    } else if (report.stopError == BASS_ERROR_MEM) {
      text += " (out of memory)";
    }
    verdict.text = text + ", so the rest of the file is missing";
    return verdict;
  }
  // Data a parser skipped to find the next frame leaves no trace but the audio that is missing:
  // against the stream's settled length (a header's checked claim, or the frames counted), what
  // was not delivered was lost too.
  std::int64_t lost = report.lostFrames;
  if (totalFrames > report.deliveredFrames) lost = std::max(lost, totalFrames - report.deliveredFrames);
  if (lost > 0 && report.damagedPackets == 0 && report.firstLossAt < 0 &&
      static_cast<double>(lost) <= kMaxLostSeconds * rate) {
    // A few frames short of the length and nothing damaged seen: the rounding of a length, not
    // a loss worth a word.
    lost = 0;
  }
  if (lost > 0) {
    std::string what = Seconds(lost, rate) + " of audio " +
                       (report.firstLossAt >= 0 ? Where(report, rate) : "before the end");
    if (report.damagedPackets > 0) what += " (" + Packets(report.damagedPackets) + ")";
    if (static_cast<double>(lost) > kMaxLostSeconds * rate) {
      verdict.text = "The source file is damaged: " + what +
                     " could not be decoded; a file may lose at most " + Seconds(rate, rate);
      return verdict;
    }
    verdict.text = "Damaged data in the source file were skipped: " + what + ".";
  }
  verdict.complete = true;
  return verdict;
}

}  // namespace qv::audio
