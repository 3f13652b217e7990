#include "audio/decodereport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

namespace {

// Why decoding stopped before the end of the file (and the end of the audio it declares).
std::string StopText(const DecodeReport& report, int rate, std::int64_t expected) {
  const std::string at = FramesAsMinutes(report.deliveredFrames, rate);
  if (report.stopError == BASS_ERROR_READ) {
    const std::string why =
        report.systemError != 0 ? " (" + std::string(std::strerror(report.systemError)) + ")" : "";
    return "Could not read the source file - read error at " + at + why +
           ", so the rest of the file is missing";
  }
  std::string text = "The source file is damaged: decoding stopped at " + at;
  if (expected > report.deliveredFrames && FramesAsMinutes(expected, rate) != at) {
    text += " of " + FramesAsMinutes(expected, rate);
  }
  if (report.stopError == BASS_ERROR_MEM) text += " (out of memory)";
  return text + ", so the rest of the file is missing";
}

// The text of a file that holds less than it declares and lost nothing on the way: a failure
// when more than a second is missing, else a log record.
std::string CutShortText(const DecodeReport& report, int rate, std::int64_t lost, bool fails) {
  const std::string declared = FramesAsMinutes(report.declaredFrames, rate);
  if (fails) {
    return "The source file was cut short: it holds " +
           FramesAsMinutes(report.deliveredFrames, rate) + " of audio but declares " + declared;
  }
  return "The source file was cut short: the last " + Seconds(lost, rate) + " of the " +
         declared + " it declares are missing.";
}

// What damaged data cost: a failure when more than a second, else a log record.
std::string DamageText(const DecodeReport& report, int rate, std::int64_t lost, bool fails) {
  std::string what = Seconds(lost, rate) + " of audio " +
                     (report.firstLossAt >= 0 ? Where(report, rate) : "before the end");
  if (report.damagedPackets > 0) what += " (" + Packets(report.damagedPackets) + ")";
  if (fails) {
    return "The source file is damaged: " + what +
           " could not be decoded; a file may lose at most " + Seconds(rate, rate);
  }
  return "Damaged data in the source file were skipped: " + what + ".";
}

}  // namespace

DecodeVerdict JudgeDecode(const DecodeReport& report, int rate, std::int64_t totalFrames) {
  DecodeVerdict verdict;
  const double limit = kMaxLostSeconds * rate;
  const bool declared = report.declaredFrames > 0;
  // The audio the file should hold: what its header declares, else the stream's settled length
  // (a header's checked claim, Ogg's last page, or the frames counted).
  const std::int64_t expected = declared ? report.declaredFrames : totalFrames;
  // A few frames short and nothing damaged seen: the rounding of a length. A length that was
  // only settled (counted, or checked) is rounded more coarsely than a declared one.
  const double slack = declared ? kLengthSlackSeconds * rate : limit;
  const auto reaches = [&](std::int64_t frames, double within) {
    return expected > 0 && static_cast<double>(frames) + within >= static_cast<double>(expected);
  };
  // Data that cannot be read once the audio is all there is junk after the last packet, not
  // lost audio: a demuxer that gives up there, or packets the decoder refuses there.
  const bool stoppedAtJunk = report.stoppedEarly && report.stopError == BASS_ERROR_FILEFORM &&
                             reaches(report.deliveredFrames, limit);
  const bool refusedJunk = !report.stoppedEarly && report.firstLossAt >= 0 &&
                           reaches(report.deliveredFrames, slack) &&
                           reaches(report.firstLossAt, slack);
  if (report.stoppedEarly && !stoppedAtJunk) {
    verdict.text = StopText(report, rate, expected);
    return verdict;
  }
  // Whatever fills a gap (silence a decoder inserts, or nothing), what was not delivered of
  // the expected length was lost too, also data a parser skipped without a trace.
  const std::int64_t shortfall = std::max<std::int64_t>(0, expected - report.deliveredFrames);
  std::int64_t lost = std::max(refusedJunk ? 0 : report.lostFrames, shortfall);
  const bool damageSeen = !refusedJunk && (report.damagedPackets > 0 || report.firstLossAt >= 0);
  if (!damageSeen && static_cast<double>(lost) <= slack) lost = 0;
  // The file ends early and nothing before its last second was lost: it was cut short.
  const bool cutShort = declared && shortfall > 0 && shortfall >= report.lostFrames &&
                        (report.firstLossAt < 0 || report.firstLossAt + rate >= report.deliveredFrames);
  const bool fails = static_cast<double>(lost) > limit;
  if (lost > 0) {
    verdict.text = cutShort ? CutShortText(report, rate, lost, fails)
                            : DamageText(report, rate, lost, fails);
    if (fails) return verdict;
  }
  if (stoppedAtJunk || refusedJunk) {
    verdict.text += std::string(verdict.text.empty() ? "" : " ") +
                    "The source file ends in unreadable data after its audio, which was "
                    "ignored.";
  }
  verdict.complete = true;
  return verdict;
}

}  // namespace qv::audio
