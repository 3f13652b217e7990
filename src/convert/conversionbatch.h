#pragma once
// The conversion batch: converts every row of the source file list into the chosen format,
// `jobs` rows at once on the row pipeline's workers (model/batchrunner.h), and takes their
// results in list order; names each destination so that no existing file is written over; logs
// the batch to QV_Log.txt; asks what to do when a file fails (or, skipping problem files, only
// logs it); reports progress, and every running row stays cancellable between one-second
// blocks. It wires four stages that are tested alone: the output planner (where a row's output
// goes, with what gain), the row converter (a worker's work into a hidden file), the publisher
// (the name, the no-replace rename, the log's records) and the album gate. Written once
// against the host interface, so the main window and the command-line front end run the same
// batch. Called on the user-interface thread, where the results are committed.

#include <functional>
#include <string>
#include <vector>

#include "app/host.h"
#include "convert/conversionoptions.h"
#include "convert/convertfile.h"
#include "convert/nametemplate.h"
#include "convert/publisher.h"
#include "model/batchstate.h"
#include "model/sourcelist.h"

namespace qv {

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
  ConvertCode code = ConvertCode::Ok;
  std::string destination;  // the name the output got (Done, Cancelled with a file kept)
  std::string text;         // the failure's text, or what a cancel kept
  // What the log says of a converted row beyond its names: damaged data skipped, a lowered
  // rate, channels mixed down, samples clipped; empty when nothing.
  std::string note;
  double workSeconds = 0;   // the time a worker spent on the row
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

// The tags a row's output name is made from (name templates): read from the row's source file.
NameFields NameFieldsOf(const QVListItem& item);

// What a batch would do with one row, without doing it.
struct PlannedRow {
  std::string source;
  std::string output;  // the name it would get (a skipped row: its earlier output's)
  std::string action;  // "convert", "skip", "replace", "number" or "fail"
  std::string cause;   // why a row would fail
};

// The dry run: plans every row as RunConversionBatch would (names from tags, what happens to
// an existing output, numbered names for clashes, in row order) against the files as they are
// now, and creates, converts and writes nothing, not even a log. A missing destination folder
// counts as empty.
std::vector<PlannedRow> PlanConversionBatch(const ConversionOptions& options,
                                            const SourceList& list);

// The first line of a message, without the blanks around it and a closing full stop: a
// failure's cause in brief (the command line's one-line problems, its JSON "cause").
std::string FirstLine(const std::string& text);

// Runs the batch. After it the rows that are still selected are exactly those converted without
// error. The caller stops the preview first and, when `started` is true, switches normalization
// off afterwards (it applies to one batch only, however the batch ended).
ConversionBatchResult RunConversionBatch(const ConversionOptions& options, SourceList& list,
                                         BatchState& state, BatchHost& host);

}  // namespace qv
