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

namespace {

// One run of RunRowJobs. The calling thread prepares, commits and reports; the workers only
// take prepared rows and work on them. `m_mutex` guards the rows' states and the ready queue.
class RowRunner {
 public:
  RowRunner(int rowCount, int workers, BatchHost& host, BatchState& state,
            const RowJobSteps& steps, int progressIntervalMs)
      : m_rowCount(std::max(0, rowCount)),
        m_workers(std::max(1, workers)),
        m_host(host),
        m_state(state),
        m_steps(steps),
        m_interval(progressIntervalMs),
        m_weights(RowWeights(m_rowCount, steps)),
        m_rows(static_cast<size_t>(m_rowCount)),
        m_ahead(m_workers + RowsAheadOfCommit(m_workers)) {
    for (const double weight : m_weights) m_totalWeight += weight;
  }

  // Runs every row; the threads it started are joined before it returns.
  RowJobsOutcome Run();
  // A worker thread's loop: the next ready row, until told to stop.
  void Work();
  // A finishing thread's loop: the next row whose work ended, until told to stop and none is
  // left.
  void Finish();

 private:
  RowState& At(int row) { return m_rows[static_cast<size_t>(row)]; }
  bool CanPrepare() const {
    return m_preparing && m_nextRow < m_rowCount && m_nextRow - m_nextCommit < m_ahead;
  }
  void WorkOn(int row, std::unique_lock<std::mutex>& lock);
  void AbandonReady();
  void EndBatch();
  bool StartWorker(int row);
  void PrepareRows();
  void WaitForARow();
  void PumpEvents();
  void CommitRows();
  void ReportProgress();

  const int m_rowCount;
  const int m_workers;
  BatchHost& m_host;
  BatchState& m_state;
  const RowJobSteps& m_steps;
  const std::chrono::milliseconds m_interval;
  const std::vector<double> m_weights;
  double m_totalWeight = 0;
  RowJobsOutcome m_outcome;

  std::mutex m_mutex;
  std::condition_variable m_workAvailable;  // to the workers: a row is ready, or stop
  std::condition_variable m_rowEvent;       // to the calling thread: a row was taken or ended
  std::condition_variable m_finishAvailable;  // to the finishing threads: a row, or stop
  std::vector<RowState> m_rows;
  std::deque<int> m_ready;  // prepared rows no worker has taken yet, in row order
  std::deque<int> m_finishing;  // rows whose work ended and whose `finish` has not started
  bool m_stopWorkers = false;
  std::vector<std::thread> m_threads;  // the workers and their finishing threads
  int m_startedWorkers = 0;

  const int m_ahead;        // rows that may be prepared ahead of the lowest one not committed
  int m_nextRow = 0;        // the next row to prepare
  int m_nextCommit = 0;     // the lowest row not committed, settled or abandoned yet
  bool m_preparing = true;  // false once no row may start (a cancel, or prepare said no)
  bool m_committing = true; // false once the batch has ended (a commit, or a failed start)
  bool m_raisedCancel = false;  // the runner set the cancel flag to stop the running rows
  int m_ended = 0;              // rows below m_nextCommit that were committed or settled
  double m_endedWeight = 0;
  double m_shownWeight = 0;     // the progress shown so far, which never goes back
  std::chrono::steady_clock::time_point m_lastProgress = std::chrono::steady_clock::now();
};

void RowRunner::Work() {
  std::unique_lock lock(m_mutex);
  while (true) {
    m_workAvailable.wait(lock, [&] {
      return m_stopWorkers || (!m_ready.empty() && m_state.CancelRequested.load() != 1);
    });
    if (m_stopWorkers) return;
    if (m_state.Pause.Paused()) {
      // No row starts while the Cancel question is open; after a Yes none starts at all.
      lock.unlock();
      m_state.Pause.WaitWhilePaused();
      lock.lock();
      continue;
    }
    const int row = m_ready.front();
    m_ready.pop_front();
    WorkOn(row, lock);
  }
}

// Works on one row with the lock released; returns with it held again.
void RowRunner::WorkOn(int row, std::unique_lock<std::mutex>& lock) {
  RowState& own = At(row);
  own.started = true;
  lock.unlock();
  m_rowEvent.notify_all();
  JobContext job;
  job.CancelRequested = &m_state.CancelRequested;
  job.ProgressCallback = [this, &own, &job](const char*) {
    {
      std::lock_guard guard(m_mutex);
      own.processedSeconds = job.ProcessedSeconds;
      own.sourceDuration = job.SourceDuration;
      if (job.SourceDuration > 0) {
        const double part = static_cast<double>(job.ProcessedSeconds) / job.SourceDuration;
        own.fraction = std::max(own.fraction, std::min(1.0, part));
      }
    }
    // While the Cancel question is open the row waits here, before its next block; the
    // cancel flag is read right after, so a Yes stops it without another block.
    m_state.Pause.WaitWhilePaused();
  };
  const int result = m_steps.work(row, job);
  lock.lock();
  own.result = result;
  if (m_steps.finish) {
    m_finishing.push_back(row);
    m_finishAvailable.notify_one();
    return;
  }
  own.done = true;
  m_rowEvent.notify_all();
}

void RowRunner::Finish() {
  std::unique_lock lock(m_mutex);
  while (true) {
    m_finishAvailable.wait(lock, [&] { return m_stopWorkers || !m_finishing.empty(); });
    if (m_finishing.empty()) return;
    const int row = m_finishing.front();
    m_finishing.pop_front();
    RowState& own = At(row);
    const int worked = own.result;
    lock.unlock();
    const int result = m_steps.finish(row, worked);
    lock.lock();
    own.result = result;
    own.done = true;
    m_rowEvent.notify_all();
  }
}

// Hands every prepared row no worker has taken back to `abandon`, in row order.
void RowRunner::AbandonReady() {
  std::deque<int> left;
  {
    std::lock_guard lock(m_mutex);
    left.swap(m_ready);
    for (const int row : left) At(row).abandoned = true;
  }
  for (const int row : left) {
    if (m_steps.abandon) m_steps.abandon(row);
  }
}

void RowRunner::EndBatch() {
  m_preparing = m_committing = false;
  if (m_state.CancelRequested.load() != 1) {
    m_raisedCancel = true;
    m_state.CancelRequested = 1;  // the rows still running stop after their block
  }
  AbandonReady();
}

// Starts one more worker for the prepared `row`; false (the row abandoned, the batch ended)
// when no thread can be started.
bool RowRunner::StartWorker(int row) {
  try {
    if (g_failThreadStart.load()) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    m_threads.emplace_back([this] { Work(); });
    ++m_startedWorkers;
    // Each worker has a finishing thread beside it, so as many rows can wait on the disk.
    if (m_steps.finish) m_threads.emplace_back([this] { Finish(); });
    return true;
  } catch (const std::system_error& error) {
    m_outcome.startError = error.code().message();
    At(row).abandoned = true;
    if (m_steps.abandon) m_steps.abandon(row);
    EndBatch();
    return false;
  }
}

// Prepares rows in order while a worker may soon want one and the rows ahead of the commit
// stay within bounds; starts the workers as the first rows come.
void RowRunner::PrepareRows() {
  while (CanPrepare()) {
    {
      std::lock_guard lock(m_mutex);
      if (static_cast<int>(m_ready.size()) >= m_workers) return;
    }
    if (m_state.CancelRequested.load() == 1 || !m_steps.prepare(m_nextRow)) {
      m_preparing = false;
      return;
    }
    const int row = m_nextRow++;
    if (m_startedWorkers < m_workers && !StartWorker(row)) return;
    {
      std::lock_guard lock(m_mutex);
      m_ready.push_back(row);
    }
    m_workAvailable.notify_one();
  }
}

// Waits (20 ms at most) until the lowest row ends or a worker takes a row.
void RowRunner::WaitForARow() {
  std::unique_lock lock(m_mutex);
  const RowState* lowest = m_nextCommit < m_nextRow ? &At(m_nextCommit) : nullptr;
  const bool canPrepare = CanPrepare();
  m_rowEvent.wait_for(lock, std::chrono::milliseconds(20), [&] {
    return (lowest && lowest->done) ||
           (canPrepare && static_cast<int>(m_ready.size()) < m_workers);
  });
}

// The row being worked on (the lowest one not committed, once a worker has it), then the
// host's events: Cancel arrives here, and no row is prepared after it.
void RowRunner::PumpEvents() {
  if (m_nextCommit < m_nextRow) {
    std::lock_guard lock(m_mutex);
    if (At(m_nextCommit).started) m_state.BatchFileIndex = m_nextCommit;
  }
  m_host.PumpMessages();
  if (m_state.CancelRequested.load() == 1 && m_preparing) {
    m_preparing = false;
    AbandonReady();
  }
}

// Commits (or settles) the finished rows in row order, from the lowest one on, with the host's
// events after each: a Cancel given while a row is shown as being worked on stops the rows
// after it from being prepared, however fast the workers are.
void RowRunner::CommitRows() {
  while (m_nextCommit < m_nextRow) {
    bool done, abandoned;
    int result;
    {
      std::lock_guard lock(m_mutex);
      const RowState& row = At(m_nextCommit);
      done = row.done;
      abandoned = row.abandoned;
      result = row.result;
    }
    if (!done && !abandoned) return;
    const int index = m_nextCommit++;
    if (abandoned) continue;
    ++m_ended;
    m_endedWeight += m_weights[static_cast<size_t>(index)];
    if (m_committing) {
      ++m_outcome.committed;
      if (!m_steps.commit(index, result)) EndBatch();
    } else if (m_steps.settle) {
      m_steps.settle(index, result);
    }
    PumpEvents();
  }
}

void RowRunner::ReportProgress() {
  const auto now = std::chrono::steady_clock::now();
  if (!m_steps.progress || now - m_lastProgress < m_interval) return;
  m_lastProgress = now;
  RowJobProgress progress;
  progress.rowCount = m_rowCount;
  progress.totalWeight = m_totalWeight;
  progress.filesDone = m_ended;
  progress.rowsStarted = m_ended;
  progress.doneWeight = m_endedWeight;
  {
    std::lock_guard lock(m_mutex);
    for (int index = m_nextCommit; index < m_nextRow; ++index) {
      const RowState& row = At(index);
      if (!row.started) continue;
      ++progress.rowsStarted;
      const double weight = m_weights[static_cast<size_t>(index)];
      if (row.done) {
        ++progress.filesDone;
        progress.doneWeight += weight;
        continue;
      }
      progress.doneWeight += weight * row.fraction;
      progress.runningRows.push_back(index);
      if (progress.lowestRow < 0) {
        progress.lowestRow = index;
        progress.lowest.ProcessedSeconds = row.processedSeconds;
        progress.lowest.SourceDuration = row.sourceDuration;
      }
    }
  }
  // Rows settled after a cancel may count less than they did running: never go back.
  m_shownWeight = std::max(m_shownWeight, progress.doneWeight);
  progress.doneWeight = m_shownWeight;
  if (progress.lowestRow >= 0) m_state.BatchFileIndex = progress.lowestRow;
  m_steps.progress(progress);
}

RowJobsOutcome RowRunner::Run() {
  PrepareRows();
  while (m_nextCommit < m_nextRow || CanPrepare()) {
    WaitForARow();
    CommitRows();
    PumpEvents();
    ReportProgress();
    PrepareRows();
  }
  {
    std::lock_guard lock(m_mutex);
    m_stopWorkers = true;
  }
  m_workAvailable.notify_all();
  m_finishAvailable.notify_all();
  for (std::thread& thread : m_threads) thread.join();
  // A batch ended by a commit (the user chose to abort) or a failed start was not cancelled:
  // the flag keeps the value it had.
  if (m_raisedCancel) m_state.CancelRequested = 0;
  return m_outcome;
}

}  // namespace

RowJobsOutcome RunRowJobs(int rowCount, int workers, BatchHost& host, BatchState& state,
                          const RowJobSteps& steps, int progressIntervalMs) {
  return RowRunner(rowCount, workers, host, state, steps, progressIntervalMs).Run();
}

}  // namespace qv
