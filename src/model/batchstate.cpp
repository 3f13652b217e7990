#include "model/batchstate.h"

#include "app/host.h"
#include "app/showmessage.h"

namespace qv {

void BeginBatch(BatchState& state, BatchHost& host, const std::string& name) {
  host.SetBatchControls(false);
  state.CurrentBatchName = name;
  state.BatchInProgress = 1;
  state.CancelRequested = 0;
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
