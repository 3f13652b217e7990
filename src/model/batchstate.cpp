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
  return FormatText("%s...  File %d of %d - %d:%02d of %d:%02d", operation,
                    state.BatchFileIndex + 1, state.BatchFileCount, job.ProcessedSeconds / 60,
                    job.ProcessedSeconds % 60, job.SourceDuration / 60, job.SourceDuration % 60);
}

void ReportProgress(BatchHost& host, const BatchState& state, const JobContext& job,
                    const char* operation) {
  host.SetStatusText(ProgressText(operation, state, job));
  for (int i = 0; i < 10; ++i) host.PumpMessages();
}

}  // namespace qv
