#pragma once
// Runs the per-row work of a batch on several worker threads while everything that the user
// sees happens on the calling thread, in row order, exactly as a serial run would do it: the
// rows are prepared in order (names decided, log records written), worked on in parallel, and
// their results committed in order (messages, cells, selection). Workers touch only their own
// JobContext and what their job owns. The calling thread pumps the host's events while it
// waits, so Cancel works; a cancel stops every worker after its current block.

#include <functional>

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
  // rows already running are cancelled and waited for, and are not committed.
  std::function<bool(int row, int result)> commit;
  // Calling thread, at most every `progressIntervalMs` while rows run: the lowest running row and
  // its context (for the status line). May be empty.
  std::function<void(int row, const JobContext& job)> progress;
};

// Runs rows 0 .. rowCount-1 with at most `workers` at once (1: one after the other, still on a
// worker thread). `state.CancelRequested` is every job's cancel flag. Returns the number of rows
// committed.
int RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
               const RowJobSteps& steps, int progressIntervalMs = 100);

// The number of cores this process may run on (sched_getaffinity), at least 1.
int AvailableCores();

}  // namespace qv
