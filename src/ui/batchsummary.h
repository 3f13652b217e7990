#pragma once

#include <string>

class QElapsedTimer;

namespace qv {

struct BatchState;

// The one-line summaries that end a batch in the status line, built from what the batch did.
// Pure functions (no widgets), shared by the window's conversion and loudness commands.

// Whole seconds as "m:ss", or "h:mm:ss" from one hour on.
std::string FormatDuration(long long seconds);

// The whole seconds a batch took by `clock` (started before it), less the time its Cancel
// question stood open.
long long BatchSeconds(const QElapsedTimer& clock, const BatchState& state);

// What a conversion batch did: rows converted, rows that failed, out of `total` rows.
// `cancelled`: the user cancelled; `aborted`: the user ended it after a failure.
struct ConversionSummary {
  int converted = 0;
  int failed = 0;
  int total = 0;
  bool cancelled = false;
  bool aborted = false;
  long long seconds = 0;
  int partial = 0;  // cancelled midway, the part written kept
};
// "Converted 12 of 12 files in 1:23." with what went wrong in brackets before " in":
// "Converted 3 of 5 files (1 failed, cancelled, 2 left partial) in 0:07.".
std::string ConversionSummaryText(const ConversionSummary& summary);

// What a loudness batch did: of the `toMeasure` rows without a measurement when it started,
// `measured` have one now; the rest could not be measured, unless the batch was cancelled.
struct LoudnessSummary {
  int measured = 0;
  int toMeasure = 0;
  bool cancelled = false;
  long long seconds = 0;
};
// "Measured 10 of 12 files (2 could not be measured) in 0:41.", "Measured 4 of 9 files
// (cancelled) in 0:12.".
std::string LoudnessSummaryText(const LoudnessSummary& summary);

}  // namespace qv
