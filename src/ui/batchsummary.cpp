#include "ui/batchsummary.h"

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <vector>

#include "app/showmessage.h"
#include "model/batchstate.h"

namespace qv {

namespace {

// " (a, b)" for the parts given, "" for none.
std::string Brackets(const std::vector<std::string>& parts) {
  if (parts.empty()) return {};
  std::string text = " (";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ", ";
    text += parts[i];
  }
  return text + ")";
}

const char* Files(int count) { return count == 1 ? "file" : "files"; }

}  // namespace

std::string FormatDuration(long long seconds) {
  if (seconds < 0) seconds = 0;
  const long long hours = seconds / 3600;
  const int minutes = static_cast<int>(seconds / 60 % 60);
  const int rest = static_cast<int>(seconds % 60);
  if (hours > 0) return FormatText("%lld:%02d:%02d", hours, minutes, rest);
  return FormatText("%d:%02d", minutes, rest);
}

long long BatchSeconds(const QElapsedTimer& clock, const BatchState& state) {
  const long long paused =
      std::chrono::duration_cast<std::chrono::milliseconds>(state.Pause.PausedTime()).count();
  return std::max(0LL, clock.elapsed() - paused) / 1000;
}

std::string ConversionSummaryText(const ConversionSummary& summary) {
  std::vector<std::string> parts;
  if (summary.failed > 0) parts.push_back(FormatText("%d failed", summary.failed));
  if (summary.cancelled) parts.emplace_back("cancelled");
  if (summary.aborted) parts.emplace_back("stopped after a failure");
  if (summary.partial > 0) parts.push_back(FormatText("%d left partial", summary.partial));
  return FormatText("Converted %d of %d %s", summary.converted, summary.total,
                    Files(summary.total)) +
         Brackets(parts) + " in " + FormatDuration(summary.seconds) + ".";
}

std::string LoudnessSummaryText(const LoudnessSummary& summary) {
  std::vector<std::string> parts;
  const int missing = summary.toMeasure - summary.measured;
  if (summary.cancelled) {
    parts.emplace_back("cancelled");
  } else if (missing > 0) {
    parts.push_back(FormatText("%d could not be measured", missing));
  }
  return FormatText("Measured %d of %d %s", summary.measured, summary.toMeasure,
                    Files(summary.toMeasure)) +
         Brackets(parts) + " in " + FormatDuration(summary.seconds) + ".";
}

}  // namespace qv
