#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace qv {

class BatchHost;

inline constexpr const char* kBatchFileAnalysis = "File Analysis";
inline constexpr const char* kBatchFileConversion = "File Conversion";

// Holds the workers of a running batch while a question about the batch is open (Cancel's
// "Cancel the File Conversion?"): a worker waits at its next block until the question is
// answered, so nothing moves while the user decides, and the time it stood open can be left out
// of the batch's time. Pause and Resume on the user-interface thread; WaitWhilePaused on the
// workers.
class BatchPause {
 public:
  using Clock = std::chrono::steady_clock;

  void Pause();
  void Resume();
  // Returns at once unless paused; else when Resume is called.
  void WaitWhilePaused() const;
  bool Paused() const;
  // How long the batch has been paused since the last Reset, the pause still open included.
  Clock::duration PausedTime() const;
  // Unpaused, no time counted (a new batch).
  void Reset();

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_resumed;
  bool m_paused = false;
  Clock::time_point m_since;
  Clock::duration m_total{};
};

// The state that a running loudness or conversion batch shares with the main window. The
// batch's rows run on the workers of the row pipeline (model/batchrunner.h) while the
// user-interface thread commits their results and pumps events; Cancel sets CancelRequested,
// which every worker tests after each block. Owned by the main window's model.
// CancelRequested is atomic because the workers read it from their own threads.
struct BatchState {
  int BatchInProgress = 0;
  std::atomic<int> CancelRequested{0};
  std::string CurrentBatchName;
  // True from SetBatchControls(false) until SetBatchControls(true): the batch may still be
  // waiting for its running rows after Cancel has cleared BatchInProgress.
  bool BatchLayoutActive = false;
  // The row the status line follows (zero-based: the lowest row still running, or the row
  // being committed) and the number of rows when the batch started.
  int BatchFileIndex = 0;
  int BatchFileCount = 0;
  // Holds the workers while the Cancel question is open.
  BatchPause Pause;
};

// The progress and cancel state of the one file a job works on (a conversion or a loudness
// measurement). Each worker of the row pipeline gives its row a JobContext of its own, and the
// per-file functions write only into it, so several jobs run at once.
struct JobContext {
  // Whole seconds of the file (its length truncated toward zero), and the one-second blocks
  // handled so far.
  int SourceDuration = 0;
  int ProcessedSeconds = 0;
  // Called after every block with the operation text ("Converting", "Analyzing"); may be empty.
  std::function<void(const char* operation)> ProgressCallback;
  // Read right after the callback: 1 means stop after this block. Null: never cancelled.
  const std::atomic<int>* CancelRequested = nullptr;
  // What the batch log should say of a conversion that still counts: what damaged data in the
  // source cost, a sample rate the output could not hold; empty when there is nothing to say.
  std::string LogNote;

  bool Cancelled() const { return CancelRequested && CancelRequested->load() == 1; }
};

// Enters a batch: the batch layout, then `name`, BatchInProgress = 1, CancelRequested = 0, the
// pause cleared.
void BeginBatch(BatchState& state, BatchHost& host, const std::string& name);
// Leaves it: BatchInProgress = 0, the idle layout, and "Ready." in the status line.
void EndBatch(BatchState& state, BatchHost& host);

// The status line text of a running batch: "%s...  File %d of %d - %d:%02d of %d:%02d" with the
// operation, BatchFileIndex + 1, BatchFileCount, the processed and the total seconds as
// minutes and seconds. Converting...  File 2 of 5 - 1:07 of 3:25
std::string ProgressText(const char* operation, const BatchState& state, const JobContext& job);
}  // namespace qv
