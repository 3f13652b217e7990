#include "model/batchrunner.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/host.h"
#include "app/showmessage.h"

namespace qv {
namespace {

// One row's state while the batch runs. A worker writes it under the runner's mutex.
struct RowState {
  bool started = false;   // a worker took it
  bool done = false;      // its work ended; `result` holds the code
  bool abandoned = false; // prepared, never started: handed back to `abandon`
  int result = 0;
  double fraction = 0;    // the share of its length processed, never lower than before
  int processedSeconds = 0;
  int sourceDuration = 0;
};

std::atomic<bool> g_failThreadStart{false};

}  // namespace

int AvailableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

int RowsAheadOfCommit(int workers) { return std::max(64, 16 * std::max(1, workers)); }

int OverallPercent(const RowJobProgress& progress) {
  if (progress.rowCount <= 0) return 100;
  const double part = progress.totalWeight > 0
                          ? progress.doneWeight / progress.totalWeight
                          : static_cast<double>(progress.filesDone) / progress.rowCount;
  return std::clamp(static_cast<int>(100.0 * part), 0, 100);
}

BatchProgress ProgressOf(const char* operation, bool oneFile, const BatchState& state,
                         const RowJobProgress& progress) {
  BatchProgress shown;
  shown.operation = operation;
  shown.rowCount = progress.rowCount;
  shown.filesDone = progress.filesDone;
  shown.percent = OverallPercent(progress);
  shown.oneFile = oneFile;
  shown.fileIndex = state.BatchFileIndex;
  shown.processedSeconds = progress.lowest.ProcessedSeconds;
  shown.fileSeconds = progress.lowest.SourceDuration;
  return shown;
}

std::string ParallelProgressText(const char* operation, const RowJobProgress& progress) {
  BatchState none;
  return StatusTextOf(ProgressOf(operation, false, none, progress));
}

void SetThreadStartFailureForTesting(bool fail) { g_failThreadStart = fail; }

namespace {

// Each row's weight in the overall percentage: its probed length, or the mean of the known
// lengths where it has none (every row 1 when none is known).
std::vector<double> RowWeights(int rowCount, const RowJobSteps& steps) {
  std::vector<double> weights(static_cast<size_t>(rowCount), 0.0);
  double known = 0;
  int knownRows = 0;
  for (int row = 0; steps.rowSeconds && row < rowCount; ++row) {
    const double seconds = steps.rowSeconds(row);
    if (!(seconds > 0)) continue;
    weights[static_cast<size_t>(row)] = seconds;
    known += seconds;
    ++knownRows;
  }
  const double fill = knownRows > 0 ? known / knownRows : 1.0;
  for (double& weight : weights) {
    if (weight <= 0) weight = fill;
  }
  return weights;
}

}  // namespace

RowJobsOutcome RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
                          const RowJobSteps& steps, int progressIntervalMs) {
  workers = std::max(1, workers);
  rowCount = std::max(0, rowCount);
  RowJobsOutcome outcome;
  const std::vector<double> weights = RowWeights(rowCount, steps);
  double totalWeight = 0;
  for (const double weight : weights) totalWeight += weight;

  std::mutex mutex;
  std::condition_variable workAvailable;  // to the workers: a row is ready, or they may stop
  std::condition_variable rowEvent;       // to this thread: a row was taken or finished
  std::vector<RowState> rows(static_cast<size_t>(rowCount));
  std::deque<int> ready;  // prepared rows no worker has taken yet, in row order
  bool stopWorkers = false;
  std::vector<std::thread> threads;

  int nextRow = 0;      // the next row to prepare
  int nextCommit = 0;   // the lowest row not committed, settled or abandoned yet
  bool preparing = true;   // false once no row may start (a cancel, or prepare said no)
  bool committing = true;  // false once the batch has ended (a commit, or a failed start)
  bool raisedCancel = false;  // the runner set the cancel flag to stop the running rows
  int ended = 0;              // rows below nextCommit that were committed or settled
  double endedWeight = 0;
  const int ahead = workers + RowsAheadOfCommit(workers);
  auto lastProgress = std::chrono::steady_clock::now();
  double shownWeight = 0;

  const auto worker = [&] {
    std::unique_lock lock(mutex);
    while (true) {
      workAvailable.wait(lock, [&] {
        return stopWorkers || (!ready.empty() && state.CancelRequested.load() != 1);
      });
      if (stopWorkers) return;
      const int row = ready.front();
      ready.pop_front();
      RowState& own = rows[static_cast<size_t>(row)];
      own.started = true;
      lock.unlock();
      rowEvent.notify_all();
      JobContext job;
      job.CancelRequested = &state.CancelRequested;
      job.ProgressCallback = [&mutex, &own, &job](const char*) {
        std::lock_guard guard(mutex);
        own.processedSeconds = job.ProcessedSeconds;
        own.sourceDuration = job.SourceDuration;
        if (job.SourceDuration > 0) {
          own.fraction = std::max(
              own.fraction, std::min(1.0, static_cast<double>(job.ProcessedSeconds) /
                                              job.SourceDuration));
        }
      };
      const int result = steps.work(row, job);
      lock.lock();
      own.result = result;
      own.done = true;
      rowEvent.notify_all();
    }
  };
  // Hands every prepared row no worker has taken back to `abandon`, in row order.
  const auto abandonReady = [&] {
    std::deque<int> left;
    {
      std::lock_guard lock(mutex);
      left.swap(ready);
      for (const int row : left) rows[static_cast<size_t>(row)].abandoned = true;
    }
    for (const int row : left) {
      if (steps.abandon) steps.abandon(row);
    }
  };
  const auto endBatch = [&] {
    preparing = committing = false;
    if (state.CancelRequested.load() != 1) {
      raisedCancel = true;
      state.CancelRequested = 1;  // the rows still running stop after their block
    }
    abandonReady();
  };
  // Prepares rows in order while a worker may soon want one and the rows ahead of the commit
  // stay within bounds; starts the workers as the first rows come.
  const auto prepareRows = [&] {
    while (preparing && nextRow < rowCount && nextRow - nextCommit < ahead) {
      {
        std::lock_guard lock(mutex);
        if (static_cast<int>(ready.size()) >= workers) return;
      }
      if (state.CancelRequested.load() == 1 || !steps.prepare(nextRow)) {
        preparing = false;
        return;
      }
      const int row = nextRow++;
      if (static_cast<int>(threads.size()) < workers) {
        try {
          if (g_failThreadStart.load()) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
          }
          threads.emplace_back(worker);
        } catch (const std::system_error& error) {
          outcome.startError = error.code().message();
          rows[static_cast<size_t>(row)].abandoned = true;
          if (steps.abandon) steps.abandon(row);
          endBatch();
          return;
        }
      }
      {
        std::lock_guard lock(mutex);
        ready.push_back(row);
      }
      workAvailable.notify_one();
    }
  };
  // The row being worked on (the lowest one not committed, once a worker has it), then the
  // host's events: Cancel arrives here, and no row is prepared after it.
  const auto pumpEvents = [&] {
    if (nextCommit < nextRow) {
      std::lock_guard lock(mutex);
      if (rows[static_cast<size_t>(nextCommit)].started) state.BatchFileIndex = nextCommit;
    }
    host.PumpMessages();
    if (state.CancelRequested.load() == 1 && preparing) {
      preparing = false;
      abandonReady();
    }
  };
  // Commits (or settles) the finished rows in row order, from the lowest one on, with the
  // host's events after each: a Cancel given while a row is shown as being worked on stops
  // the rows after it from being prepared, however fast the workers are.
  const auto commitRows = [&] {
    while (nextCommit < nextRow) {
      RowState& row = rows[static_cast<size_t>(nextCommit)];
      bool done, abandoned;
      int result;
      {
        std::lock_guard lock(mutex);
        done = row.done;
        abandoned = row.abandoned;
        result = row.result;
      }
      if (!done && !abandoned) return;
      const int index = nextCommit++;
      if (abandoned) continue;
      ++ended;
      endedWeight += weights[static_cast<size_t>(index)];
      if (committing) {
        ++outcome.committed;
        if (!steps.commit(index, result)) endBatch();
      } else if (steps.settle) {
        steps.settle(index, result);
      }
      pumpEvents();
    }
  };
  const auto reportProgress = [&] {
    RowJobProgress progress;
    progress.rowCount = rowCount;
    progress.totalWeight = totalWeight;
    progress.filesDone = ended;
    progress.rowsStarted = ended;
    progress.doneWeight = endedWeight;
    {
      std::lock_guard lock(mutex);
      for (int index = nextCommit; index < nextRow; ++index) {
        const RowState& row = rows[static_cast<size_t>(index)];
        if (!row.started) continue;
        ++progress.rowsStarted;
        const double weight = weights[static_cast<size_t>(index)];
        if (row.done) {
          ++progress.filesDone;
          progress.doneWeight += weight;
          continue;
        }
        progress.doneWeight += weight * row.fraction;
        if (progress.lowestRow < 0) {
          progress.lowestRow = index;
          progress.lowest.ProcessedSeconds = row.processedSeconds;
          progress.lowest.SourceDuration = row.sourceDuration;
        }
      }
    }
    // Rows settled after a cancel may count less than they did running: never go back.
    shownWeight = std::max(shownWeight, progress.doneWeight);
    progress.doneWeight = shownWeight;
    if (progress.lowestRow >= 0) state.BatchFileIndex = progress.lowestRow;
    steps.progress(progress);
  };

  prepareRows();
  while (nextCommit < nextRow || (preparing && nextRow < rowCount)) {
    {
      std::unique_lock lock(mutex);
      const RowState* lowest = nextCommit < nextRow ? &rows[static_cast<size_t>(nextCommit)]
                                                    : nullptr;
      const bool canPrepare = preparing && nextRow < rowCount && nextRow - nextCommit < ahead;
      rowEvent.wait_for(lock, std::chrono::milliseconds(20), [&] {
        return (lowest && lowest->done) ||
               (canPrepare && static_cast<int>(ready.size()) < workers);
      });
    }
    commitRows();
    pumpEvents();
    const auto now = std::chrono::steady_clock::now();
    if (steps.progress && now - lastProgress >= std::chrono::milliseconds(progressIntervalMs)) {
      lastProgress = now;
      reportProgress();
    }
    prepareRows();
  }
  {
    std::lock_guard lock(mutex);
    stopWorkers = true;
  }
  workAvailable.notify_all();
  for (std::thread& thread : threads) thread.join();
  // A batch ended by a commit (the user chose to abort) or a failed start was not cancelled:
  // the flag keeps the value it had.
  if (raisedCancel) state.CancelRequested = 0;
  return outcome;
}

}  // namespace qv
