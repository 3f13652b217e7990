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

#include "app/host.h"
#include "app/showmessage.h"

namespace qv {
namespace {

// One row in flight. The worker writes `result` and `done` under the runner's mutex; the
// progress values are copied out under the same mutex.
struct Slot {
  int row = 0;
  JobContext job;
  int processedSeconds = 0;
  int sourceDuration = 0;
  int result = 0;
  bool done = false;
  std::thread thread;
};

}  // namespace

int AvailableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

int OverallPercent(const RowJobProgress& progress) {
  if (progress.rowCount <= 0) return 100;
  const double known = progress.doneSeconds + progress.runningSeconds;
  double part;
  if (progress.rowsWithDuration <= 0 || known <= 0) {
    part = static_cast<double>(progress.filesDone) / progress.rowCount;
  } else {
    const double mean = known / progress.rowsWithDuration;
    const int notStarted = std::max(0, progress.rowCount - progress.rowsStarted);
    part = (progress.doneSeconds + progress.processedSeconds) / (known + notStarted * mean);
  }
  const int percent = static_cast<int>(100.0 * part);
  return std::clamp(percent, 0, 100);
}

std::string ParallelProgressText(const char* operation, const RowJobProgress& progress) {
  return FormatText("%s...  %d of %d files done - %d%%", operation, progress.filesDone,
                    progress.rowCount, OverallPercent(progress));
}

namespace {
std::atomic<bool> g_failThreadStart{false};
}  // namespace

void SetThreadStartFailureForTesting(bool fail) { g_failThreadStart = fail; }

RowJobsOutcome RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
                          const RowJobSteps& steps, int progressIntervalMs) {
  if (workers < 1) workers = 1;
  RowJobsOutcome outcome;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::unique_ptr<Slot>> running;  // in row order
  int nextRow = 0;
  bool preparing = true;   // false once a row may not start (a cancel, or prepare said no)
  bool committing = true;  // false once the batch has ended (a commit, or a failed start)
  bool raisedCancel = false;  // the runner set the cancel flag to stop the running rows
  auto lastProgress = std::chrono::steady_clock::now();
  // The rows taken off the running queue (their work has ended).
  int poppedRows = 0;
  int poppedWithDuration = 0;
  double poppedSeconds = 0;

  const auto endBatch = [&] {
    preparing = committing = false;
    if (state.CancelRequested.load() != 1) {
      raisedCancel = true;
      state.CancelRequested = 1;  // the rows still running stop after their block
    }
  };
  // Starts the row's worker; false (with the reason kept) when no thread could be started.
  const auto start = [&](int row) {
    auto slot = std::make_unique<Slot>();
    slot->row = row;
    slot->job.CancelRequested = &state.CancelRequested;
    Slot* raw = slot.get();
    raw->job.ProgressCallback = [&mutex, raw](const char*) {
      std::lock_guard lock(mutex);
      raw->processedSeconds = raw->job.ProcessedSeconds;
      raw->sourceDuration = raw->job.SourceDuration;
    };
    try {
      if (g_failThreadStart.load()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      raw->thread = std::thread([&, raw] {
        const int result = steps.work(raw->row, raw->job);
        {
          std::lock_guard lock(mutex);
          raw->result = result;
          raw->done = true;
        }
        changed.notify_all();
      });
    } catch (const std::system_error& error) {
      outcome.startError = error.code().message();
      return false;
    }
    running.push_back(std::move(slot));
    return true;
  };

  while (true) {
    while (preparing && nextRow < rowCount && static_cast<int>(running.size()) < workers) {
      if (state.CancelRequested.load() == 1 || !steps.prepare(nextRow)) {
        preparing = false;
        break;
      }
      if (!start(nextRow)) {
        if (steps.abandon) steps.abandon(nextRow);
        endBatch();
        break;
      }
      ++nextRow;
    }
    if (running.empty()) break;

    Slot& first = *running.front();
    state.BatchFileIndex = first.row;  // the row being worked on: the lowest one running
    bool firstDone;
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, std::chrono::milliseconds(20), [&] { return first.done; });
      firstDone = first.done;
    }
    host.PumpMessages();  // Cancel arrives here
    if (firstDone) {
      first.thread.join();
      const int row = first.row;
      const int result = first.result;
      {
        std::lock_guard lock(mutex);
        ++poppedRows;
        if (first.sourceDuration > 0) ++poppedWithDuration;
        poppedSeconds += first.sourceDuration;
      }
      running.pop_front();
      if (committing) {
        ++outcome.committed;
        if (!steps.commit(row, result)) endBatch();
      } else if (steps.settle) {
        steps.settle(row, result);
      }
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (steps.progress && now - lastProgress >= std::chrono::milliseconds(progressIntervalMs)) {
      lastProgress = now;
      RowJobProgress progress;
      progress.rowCount = rowCount;
      progress.filesDone = poppedRows;
      progress.doneSeconds = poppedSeconds;
      progress.rowsWithDuration = poppedWithDuration;
      progress.rowsStarted = poppedRows + static_cast<int>(running.size());
      {
        std::lock_guard lock(mutex);
        for (const auto& slot : running) {
          if (slot->sourceDuration > 0) ++progress.rowsWithDuration;
          if (slot->done) {
            ++progress.filesDone;
            progress.doneSeconds += slot->sourceDuration;
            continue;
          }
          if (progress.lowestRow < 0) {
            progress.lowestRow = slot->row;
            progress.lowest.ProcessedSeconds = slot->processedSeconds;
            progress.lowest.SourceDuration = slot->sourceDuration;
          }
          progress.runningSeconds += slot->sourceDuration;
          progress.processedSeconds += std::min(slot->processedSeconds, slot->sourceDuration);
        }
      }
      steps.progress(progress);
    }
  }
  // A batch ended by a commit (the user chose to abort) or a failed start was not cancelled:
  // the flag keeps the value it had.
  if (raisedCancel) state.CancelRequested = 0;
  return outcome;
}

}  // namespace qv
