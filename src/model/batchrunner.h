#pragma once
// The row pipeline of every batch: the per-row work runs on N long-lived worker threads (one
// worker is the same pipeline, not a second loop) while everything that the user sees happens
// on the calling thread, in row order, exactly as one file after the other would do it: the
// rows are prepared in order, worked on by whichever worker is free, and their results
// committed in order (names, log records, messages, cells, selection). A worker takes the next
// prepared row as soon as its row's work ends; a finished row waits for its commit without
// holding a worker, and at most a bounded number of rows wait so (RowsAheadOfCommit). A row's
// last step that only waits (`finish`: a flush to the disk) runs on a finishing thread beside
// each worker, so the worker goes on to its next row; the row is committed after it.
// Workers touch only their own JobContext and what their job owns. The calling thread pumps
// the host's events while it waits, so Cancel works; a cancel stops every worker after its
// current block, and rows prepared but not started are handed back (`abandon`).

#include <functional>
#include <string>
#include <vector>

#include "app/host.h"
#include "model/batchstate.h"

namespace qv {

struct RowJobSteps {
  // Calling thread, in row order, before the row's work starts. False: the batch ends here
  // (nothing of this row runs and nothing later is prepared).
  std::function<bool(int row)> prepare;
  // A worker thread: the row's work with its own context. Returns the row's result code.
  std::function<int(int row, JobContext& job)> work;
  // A finishing thread, after `work` with its result: the last step of a row's work that only
  // waits (a flush to the disk), so that the worker takes its next row meanwhile. Returns the
  // row's result code; the row is committed only after it. May be empty.
  std::function<int(int row, int result)> finish;
  // Calling thread, in row order, after the row's work ended. False: the batch ends here; the
  // rows already running are cancelled, waited for and handed to `settle`.
  std::function<bool(int row, int result)> commit;
  // Calling thread, in row order: a row whose work ended after the batch had ended (it was
  // running when a commit said false, or when a worker could not be started). May be empty.
  std::function<void(int row, int result)> settle;
  // Calling thread, in row order: a row that was prepared but never started (the batch ended
  // first, or no worker could be started). May be empty.
  std::function<void(int row)> abandon;
  // The length of a row's source in seconds as the probe found it, or 0 when unknown; read
  // once per row when the batch starts, to weigh the overall percentage. May be empty (every
  // row then weighs the same).
  std::function<double(int row)> rowSeconds;
  // Calling thread, at most every `progressIntervalMs` while rows run (for the status line).
  // May be empty.
  std::function<void(const struct RowJobProgress& progress)> progress;
};

// Where a parallel batch stands.
struct RowJobProgress {
  int rowCount = 0;
  int rowsStarted = 0;  // rows whose work has started (ended or running)
  int filesDone = 0;    // rows whose work has ended
  int lowestRow = -1;   // the lowest row still running
  JobContext lowest;    // its progress values (only SourceDuration and ProcessedSeconds)
  std::vector<int> runningRows;  // the rows being worked on, lowest first
  // The whole batch's weight (each row's probed length; a row of unknown length weighs the
  // mean of the known ones) and the part of it done: a finished row counts whole, a running
  // one by the share of its length processed. So the percentage only moves forward.
  double totalWeight = 0;
  double doneWeight = 0;
};

// The batch's overall percentage (0 to 100): the weight done against the whole; files done
// against the row count when no weight is known.
int OverallPercent(const RowJobProgress& progress);

// What the host is shown of a batch: with `oneFile` (one job, or one row) the lowest running
// row and how far it is, else the files done; the overall percentage either way.
BatchProgress ProgressOf(const char* operation, bool oneFile, const BatchState& state,
                         const RowJobProgress& progress);
// The status text of a parallel batch: "<operation>...  <done> of <count> files done - <n>%".
std::string ParallelProgressText(const char* operation, const RowJobProgress& progress);

struct RowJobsOutcome {
  int committed = 0;  // rows handed to `commit`
  // Empty, or why a worker thread could not be started (the system's reason): the batch
  // ended there, the rows running were cancelled and settled.
  std::string startError;
};

// How many rows may be prepared ahead of the lowest row not committed yet, beyond one per
// worker: finished rows wait for their commit as files on the disk, not as memory, so a slow
// early row never idles the workers behind it.
int RowsAheadOfCommit(int workers);

// Runs rows 0 .. rowCount-1 on `workers` threads (1: one after the other, on one worker
// thread). `state.CancelRequested` is every job's cancel flag. Never throws.
RowJobsOutcome RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
                          const RowJobSteps& steps, int progressIntervalMs = 100);

// A test seam: while set, starting a worker thread fails as a process limit would make it.
void SetThreadStartFailureForTesting(bool fail);

// The number of cores this process may run on (sched_getaffinity), at least 1.
int AvailableCores();

}  // namespace qv
