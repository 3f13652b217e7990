#include "model/batchstate.h"

#include "app/host.h"
#include "app/showmessage.h"

namespace qv {

void BatchPause::Pause() {
  std::lock_guard lock(m_mutex);
  if (m_paused) return;
  m_paused = true;
  m_since = Clock::now();
}

void BatchPause::Resume() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_paused) return;
    m_paused = false;
    m_total += Clock::now() - m_since;
  }
  m_resumed.notify_all();
}

void BatchPause::WaitWhilePaused() const {
  std::unique_lock lock(m_mutex);
  m_resumed.wait(lock, [this] { return !m_paused; });
}

bool BatchPause::Paused() const {
  std::lock_guard lock(m_mutex);
  return m_paused;
}

BatchPause::Clock::duration BatchPause::PausedTime() const {
  std::lock_guard lock(m_mutex);
  return m_total + (m_paused ? Clock::now() - m_since : Clock::duration{});
}

void BatchPause::Reset() {
  {
    std::lock_guard lock(m_mutex);
    m_paused = false;
    m_total = {};
  }
  m_resumed.notify_all();
}

void BeginBatch(BatchState& state, BatchHost& host, const std::string& name) {
  host.SetBatchControls(false);
  state.CurrentBatchName = name;
  state.BatchInProgress = 1;
  state.CancelRequested = 0;
  state.Pause.Reset();
}

void EndBatch(BatchState& state, BatchHost& host) {
  state.BatchInProgress = 0;
  host.SetBatchControls(true);
  host.SetStatusText("Ready.");
}

std::string ProgressText(const char* operation, const BatchState& state, const JobContext& job) {
  BatchProgress progress;
  progress.operation = operation;
  progress.oneFile = true;
  progress.fileIndex = state.BatchFileIndex;
  progress.rowCount = state.BatchFileCount;
  progress.processedSeconds = job.ProcessedSeconds;
  progress.fileSeconds = job.SourceDuration;
  return StatusTextOf(progress);
}

}  // namespace qv
