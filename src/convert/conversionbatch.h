#pragma once
// The conversion batch: converts every row of the source file list, in list order, into the
// chosen format; names each destination so that no existing file is written over; logs the
// batch to QV_Log.txt; asks what to do when a file fails (or, skipping problem files, only logs
// it); reports progress and stays cancellable between one-second blocks. Written once against
// the host interfaces, so the main window and the command-line front end run the same batch.
// User-interface thread only.

#include <functional>
#include <string>
#include <vector>

#include "app/host.h"
#include "convert/convertfile.h"
#include "model/batchstate.h"
#include "model/sourcelist.h"

namespace qv {

// What a conversion batch is asked to do, as values: the window fills it from its controls, the
// command-line front end from its arguments.
struct ConversionOptions {
  std::string formatKey;          // the format's name in any case: "wav", "MP3", ...
  int kbps = 0;                   // the chosen bitrate; not read for WAV
  bool sameFolder = false;        // each output beside its source
  bool skipProblemFiles = false;  // a failed file is only logged (quiet mode)
  std::string destinationFolder;  // the Save To text, used when sameFolder is off
  bool normalize = false;         // apply each row's gain factor
  std::string faacPath;           // the AAC encoder program
  std::string logPath;            // QV_Log.txt
  // Opens the log for the user (the answer Yes to the question at the end); may be empty.
  std::function<void(const std::string& logPath)> openLog;
  // The numbered names tried for a taken destination before the file fails.
  int maxNumberedCopies = 999999;
  // Carry each source's tags and front cover into its output (the window always does).
  bool copyTags = true;
  // How many files are converted at once (worker threads of the row pipeline; 1 is the same
  // pipeline with one worker). Names, log records, messages and the selection are committed in
  // row order on the calling thread whatever the number.
  int jobs = 1;
  // The sub-folder below the destination folder that a row's output goes to ("" or empty
  // function: the destination itself), relative, created as needed. Not read with sameFolder.
  std::function<std::string(int row)> rowSubfolder;
  // A row whose plain output name is a non-empty file not older than its source, and that was
  // there before the batch started, is skipped (the library converted before).
  bool skipExisting = false;
  // The loudness standard the rows were measured in, and album gain instead of track gain:
  // both for the gains applied (each row's AppliedGainFactor, which keeps to the peak limit)
  // and for the ReplayGain tags.
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  bool byAlbum = false;
  // Each output is measured after it is written and gets REPLAYGAIN_TRACK_GAIN and _PEAK (with
  // byAlbum also the ALBUM pair, over the outputs of its album in this batch), relative to the
  // standard's reference level. The album's outputs get their names once the album's last row
  // is done, so no file under its final name lacks its album tags.
  bool replayGainTags = false;
};

// How one row ended.
enum class RowOutcome {
  NotRun,     // the batch ended before the row started
  Done,       // the output is complete under its final name
  Cancelled,  // stopped by a cancel; what was written is kept under its name (see the log)
  Failed,     // nothing was published; `cause` and `text` say why
  Skipped,    // its output was there already (skipExisting)
};

struct ConversionRowReport {
  RowOutcome outcome = RowOutcome::NotRun;
  FailureCause cause = FailureCause::None;
  int code = kConvertOk;
  std::string destination;  // the name the output got (Done, Cancelled with a file kept)
  std::string text;         // the failure's text, or what a cancel kept
};

struct ConversionBatchResult {
  // False when the batch stopped before its first row (empty list, missing folder, no log, no
  // WMA encoder): then nothing was written and normalization stays as it was.
  bool started = false;
  int converted = 0;
  int failed = 0;
  int cancelledKept = 0;  // rows cancelled midway whose partial output was kept
  int notMeasured = 0;    // rows to be normalized without a loudness measurement (failed too)
  int skipped = 0;        // rows whose output was there already
  bool cancelled = false;
  bool abortedByUser = false;  // answered Yes to "Abort the batch job?"
  std::string startError;      // a worker could not be started: the batch ended (see text)
  std::string logPath;         // the log the batch wrote
  std::vector<ConversionRowReport> rows;  // one per row of the list
};

// Runs the batch. After it the rows that are still selected are exactly those converted without
// error. The caller stops the preview first and, when `started` is true, switches normalization
// off afterwards (it applies to one batch only, however the batch ended).
ConversionBatchResult RunConversionBatch(const ConversionOptions& options, SourceList& list,
                                         BatchState& state, BatchHost& host);

// Whether a destination name is taken: anything but an empty regular file has it (a non-empty
// file, a link, even a dangling one, a folder).
bool DestinationTaken(const std::string& path);

enum DestinationCheck {
  kDestinationFree = 0,     // no non-empty file has the name; the path is unchanged
  kDestinationRenamed = 1,  // the name was taken; the path now names the first free copy
  kDestinationAllTaken = -1,  // every numbered copy is taken too; the path is unchanged
};
// Checks a destination path against existing files: when its name is taken (DestinationTaken),
// the path becomes "<folder>/<title>-COPY<nnnnnn>.<extension>" with the first n from 1
// to `maxCopies` whose name is free.
int MakeUniqueDestination(std::string& path, int maxCopies = 999999);

}  // namespace qv
