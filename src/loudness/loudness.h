#pragma once
// The loudness batch: measuring files with the analysis engine, storing the results in the rows
// of the source file list, and recomputing the rows' gains when the normalization target
// changes. Core code over BatchHost, SourceList and BatchState, so the window and
// the command-line front end run the same batch. The batch runs on the user-interface thread
// and measures on the row pipeline's workers (model/batchrunner.h); every per-file function
// writes only into its own JobContext and engine.

#include <string>
#include <vector>

#include "loudness/loudnessengine.h"
#include "model/batchstate.h"
#include "model/qvlistitem.h"
#include "model/sourcelist.h"
#include "tags/tags.h"

namespace qv {

class BatchHost;
class BatchLog;

// Result codes of a measurement.
enum LoudnessCode : int {
  kLoudnessMeasured = 0,
  // A channel count outside 1 to 8, or a sample rate the engine has no filters for.
  kLoudnessUnsupported = 1,
  // The file cannot be opened (or the row has no path), or reading failed in the middle.
  kLoudnessCannotRead = 2,
  // Damaged data: decoding stopped before the end of the file, or lost more than a second. A
  // measurement of part of the file is not the file's loudness.
  kLoudnessDamaged = 3,
  // Not one complete 50 ms window (ReplayGain 1.0) or 400 ms block (R128).
  kLoudnessTooShort = 6,
  // R128: every block lies below the -70 LUFS gate (silence); no loudness to normalize from.
  kLoudnessSilent = 7,
  kLoudnessCancelled = 100,
};

inline constexpr double kReferenceVolume = 89.0;
// The reference level of R128 gains (ReplayGain 2.0's): a gain of 0 dB plays at -18 LUFS.
inline constexpr double kReferenceLoudness = -18.0;
inline constexpr const char* kAnalyzingText = "Analyzing";

// What each standard's target means: its default, its range, its unit, its gain reference.
struct StandardInfo {
  const char* key;         // "replaygain1", "r128": the command line's and the configuration's
  const char* name;        // as the Normalization dialog lists it
  const char* unit;        // "dB", "LUFS"
  double defaultTarget;
  double minimumTarget;
  double maximumTarget;
  double reference;        // the level a ReplayGain tag's gain is relative to
  double defaultPeakLimit;  // dBFS (sample peak) or dBTP (true peak)
};
const StandardInfo& InfoOf(LoudnessStandard standard);
// "replaygain1" or "r128" (any case); false for anything else.
bool StandardFromKey(const std::string& key, LoudnessStandard& standard);

struct LoudnessResult {
  int code = kLoudnessCannotRead;
  double volume = 0.0;     // dB: 89.0 minus the title gain
  double trackGain = 0.0;  // dB: target minus volume
  int clipping = 0;        // 1 when the peak reaches full scale
  double peak = 0.0;       // largest |sample| x 32767.0 over all channels
  // Why the file was not measured (codes 2 and 3 after a read error or damaged data), or what
  // damaged data cost a measurement that still counts (code 0). For the batch log.
  std::string reason;
  // The whole measurement on code 0: volume (dB or LUFS), peak for the limit, range, and what
  // an album's loudness is computed from.
  RowMeasurement measurement;
};

// Measures one file in `standard`, as AnalyzeFile below; R128 takes 1 to 8 channels (weighted
// by their speakers) and any rate from 8000 to 384000 Hz, its volume is the integrated
// loudness, its peak the true peak. ReplayGain measures more than two channels as their stereo
// downmix (audio::StereoMixMatrix), as MP3 and WMA files get them.
// `engine` serves ReplayGain 1.0 (one of its own is made when null).
// `range` is the part of the file measured (a track of an album image); `known` the file's
// length as its add measured it, if any.
LoudnessResult MeasureFile(LoudnessStandard standard, const std::string& path, double target,
                           JobContext& job, LoudnessEngine* engine = nullptr,
                           const audio::FrameRange& range = {},
                           const audio::KnownLength& known = {});

// The log line of a measurement: "Volume: 84.21 dB, peak -0.35 dBFS" or
// "Loudness: -16.20 LUFS, range 6.1 LU, true peak -0.52 dBTP".
std::string MeasurementText(LoudnessStandard standard, const RowMeasurement& measurement);

// The album a file belongs to: its album tag with the album artist (or artist), or, without an
// album tag, its folder. Takes the file's tags kept since the add (`fileTags`), or reads them,
// with a row's own tags over them (the sheet's album of a track of an album image); any thread.
std::string AlbumKeyOf(const std::string& sourcePath, const tags::FieldMap& rowTags = {},
                       const SourceTags* fileTags = nullptr);

// An album's volume (dB or LUFS) from its titles' measurements taken together: ReplayGain 1.0
// from their window levels added up, R128 from their blocks gated together. -HUGE_VAL when the
// titles hold too little to measure.
double AlbumVolume(LoudnessStandard standard, const std::vector<const RowMeasurement*>& titles);

// Computes every album's loudness and peak from its measured rows (in the standard the rows
// show) and gives the rows their album gain for `target`; rows not measured have none. Then
// rewrites the Album Gain and Clip Track cells of every measured row.
void UpdateAlbums(SourceList& list, double target);

// The normalization view of every row: the standard shown, track or album gain, the peak limit
// in dB (dBFS or dBTP), the target; then the albums and all loudness cells.
void SetNormalizationView(SourceList& list, LoudnessStandard standard, bool byAlbum,
                          double peakLimitDb, double target);

// A peak limit in dB as the 16-bit peak it allows.
double PeakLimitOnScale(double peakLimitDb);

// Measures one file: decodes it one second at a time as floating-point samples, feeds them on
// the 16-bit scale to `engine` and tracks the peak. Before the first block sets
// job.SourceDuration (whole seconds) and job.ProcessedSeconds = 0; after every block counts a
// second, calls job.ProgressCallback with "Analyzing" and stops when job.Cancelled().
// Codes: 0 with the results, 1, 2, 3, 6, 100 (see LoudnessCode); on any code but 0 the values
// are 0.0, 0.0, 0, and the peak so far. Only a decode that reached the end of the file counts.
LoudnessResult AnalyzeFile(LoudnessEngine& engine, const std::string& path, double target,
                           JobContext& job);
// The same with an engine of its own.
LoudnessResult AnalyzeFile(const std::string& path, double target, JobContext& job);

// Measures the file of a row (its decode path) and, on code 0, stores the results in `item`
// and marks it measured. Code 2 for an empty path; on any code but 0 the record is unchanged.
int CalculateLoudness(QVListItem& item, double target, JobContext& job, LoudnessEngine& engine);

// Writes the loudness cells of a row from its record: Volume, Track Gain and Album Gain "%.2f"
// (Album Gain empty without an album), Clipping and Clip Track "Y" or "n".
void WriteLoudnessCells(SourceList& list, int row);

// The inputs of a loudness batch.
struct LoudnessBatchOptions {
  double target = kReferenceVolume;  // the normalization target in dB or LUFS
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  std::string logPath;               // the batch log (QV_Log.txt), emptied when the batch starts
  // A log the caller keeps open across batches (the window's); null: the batch's own.
  BatchLog* heldLog = nullptr;
  // How many files are measured at once (workers of the row pipeline; one worker uses the
  // caller's engine, more get an engine each). The log lines and cells are written in row
  // order on the calling thread whatever the number.
  int jobs = 1;
};

// What a loudness batch did.
struct LoudnessBatchResult {
  bool started = false;  // false: refused before its first row (empty list, no log)
  int toMeasure = 0;     // rows without a loudness when it started
  int measured = 0;      // rows that got a loudness
  int silent = 0;        // rows measured and found silent (no loudness of their own)
  int failed = 0;        // rows that could not be measured
  bool cancelled = false;
  // Each row that could not be measured, with why (LoudnessResult::reason; may be empty).
  struct Failure {
    int row = 0;
    std::string reason;
  };
  std::vector<Failure> notMeasured;
};

// The batch over the whole list: tells the user and stops when the list is empty or the log
// cannot be created; else enters the batch layout ("File Analysis"), measures every row not yet
// measured (`options.jobs` at once), writes the two log lines of every row and fills the cells
// of each in row order, and ends with "Ready.". A cancel stops every running file after its
// current block; the first of them in row order stays unmeasured with empty cells, and no row
// after it is recorded.
LoudnessBatchResult RunLoudnessBatch(BatchHost& host, SourceList& list, BatchState& state,
                                     LoudnessEngine& engine, const LoudnessBatchOptions& options);

// A new normalization target: every measured row gets the gains for `target` (ApplyTarget) and
// its Track Gain and Clip Track cells are rewritten. Volume, Clipping and unmeasured rows stay.
void RetargetRows(SourceList& list, double target);

}  // namespace qv
