#pragma once
// The row pipeline of every batch: the per-row work runs on worker threads (one worker is the
// same pipeline, not a second loop) while everything that the user sees happens on the calling
// thread, in row order, exactly as one file after the other would do it: the rows are prepared
// in order, worked on by the workers, and their results committed in order (names, log
// records, messages, cells, selection). Workers touch only their own JobContext and what their
// job owns. The calling thread pumps the host's events while it waits, so Cancel works; a
// cancel stops every worker after its current block.

#include <functional>
#include <string>

#include "model/batchstate.h"

namespace qv {

class BatchHost;

struct RowJobSteps {
  // Calling thread, in row order, before the row's work starts. False: the batch ends here
  // (nothing of this row runs and nothing later is prepared).
  std::function<bool(int row)> prepare;
  // A worker thread: the row's work with its own context. Returns the row's result code.
  std::function<int(int row, JobContext& job)> work;
  // Calling thread, in row order, after the row's work ended. False: the batch ends here; the
  // rows already running are cancelled, waited for and handed to `settle`.
  std::function<bool(int row, int result)> commit;
  // Calling thread, in row order: a row whose work ended after the batch had ended (it was
  // running when a commit said false, or when a worker could not be started). May be empty.
  std::function<void(int row, int result)> settle;
  // Calling thread: a row that was prepared but whose worker could not be started. May be
  // empty.
  std::function<void(int row)> abandon;
  // Calling thread, at most every `progressIntervalMs` while rows run (for the status line).
  // May be empty.
  std::function<void(const struct RowJobProgress& progress)> progress;
};

// Where a parallel batch stands. Durations are those the rows' jobs reported (SourceDuration);
// a row reports its duration once its work has started.
struct RowJobProgress {
  int rowCount = 0;
  int rowsStarted = 0;         // rows whose work has started (ended or running)
  int filesDone = 0;           // rows whose work has ended
  int lowestRow = -1;          // the lowest row still running
  JobContext lowest;           // its progress values (only SourceDuration and ProcessedSeconds)
  double doneSeconds = 0;      // the durations of the rows whose work has ended
  double runningSeconds = 0;   // the durations of the rows running
  double processedSeconds = 0; // the seconds processed of the rows running
  int rowsWithDuration = 0;    // started rows that reported a duration above 0
};

// The batch's overall percentage (0 to 100) by seconds processed: the seconds of the finished
// rows and those processed of the running rows, against the total, where each row not started
// yet counts with the mean duration of the started rows. Files done against the row count when
// no row has reported a duration.
int OverallPercent(const RowJobProgress& progress);

// The status text of a parallel batch: "<operation>...  <done> of <count> files done - <n>%".
std::string ParallelProgressText(const char* operation, const RowJobProgress& progress);

struct RowJobsOutcome {
  int committed = 0;  // rows handed to `commit`
  // Empty, or why a worker thread could not be started (the system's reason): the batch
  // ended there, the rows running were cancelled and settled.
  std::string startError;
};

// Runs rows 0 .. rowCount-1 with at most `workers` at once (1: one after the other, on one
// worker thread). `state.CancelRequested` is every job's cancel flag. Never throws.
RowJobsOutcome RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
                          const RowJobSteps& steps, int progressIntervalMs = 100);

// A test seam: while set, starting a worker thread fails as a process limit would make it.
void SetThreadStartFailureForTesting(bool fail);

// The number of cores this process may run on (sched_getaffinity), at least 1.
int AvailableCores();

}  // namespace qv
