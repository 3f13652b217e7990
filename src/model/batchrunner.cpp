#include "model/batchrunner.h"

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "app/host.h"

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

int RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
               const RowJobSteps& steps, int progressIntervalMs) {
  if (workers < 1) workers = 1;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::unique_ptr<Slot>> running;  // in row order
  int nextRow = 0;
  int committed = 0;
  bool preparing = true;   // false once a row may not start (a cancel, or prepare said no)
  bool committing = true;  // false once a commit ended the batch
  bool raisedCancel = false;  // a commit ended the batch and the runner set the cancel flag
  auto lastProgress = std::chrono::steady_clock::now();

  auto start = [&](int row) {
    auto slot = std::make_unique<Slot>();
    slot->row = row;
    slot->job.CancelRequested = &state.CancelRequested;
    Slot* raw = slot.get();
    raw->job.ProgressCallback = [&mutex, raw](const char*) {
      std::lock_guard lock(mutex);
      raw->processedSeconds = raw->job.ProcessedSeconds;
      raw->sourceDuration = raw->job.SourceDuration;
    };
    raw->thread = std::thread([&, raw] {
      const int result = steps.work(raw->row, raw->job);
      {
        std::lock_guard lock(mutex);
        raw->result = result;
        raw->done = true;
      }
      changed.notify_all();
    });
    running.push_back(std::move(slot));
  };

  while (true) {
    while (preparing && nextRow < rowCount && static_cast<int>(running.size()) < workers) {
      if (state.CancelRequested.load() == 1 || !steps.prepare(nextRow)) {
        preparing = false;
        break;
      }
      start(nextRow++);
    }
    if (running.empty()) break;

    Slot& first = *running.front();
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
      running.pop_front();
      if (committing) {
        ++committed;
        if (!steps.commit(row, result)) {
          preparing = committing = false;
          if (state.CancelRequested.load() != 1) {
            raisedCancel = true;
            state.CancelRequested = 1;  // the rows still running stop after their block
          }
        }
      }
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (steps.progress && now - lastProgress >= std::chrono::milliseconds(progressIntervalMs)) {
      lastProgress = now;
      JobContext view;
      {
        std::lock_guard lock(mutex);
        view.ProcessedSeconds = first.processedSeconds;
        view.SourceDuration = first.sourceDuration;
      }
      steps.progress(first.row, view);
    }
  }
  // A batch ended by a commit (the user chose to abort) was not cancelled: the flag keeps the
  // value it had, as after a serial run.
  if (raisedCancel) state.CancelRequested = 0;
  return committed;
}

}  // namespace qv
