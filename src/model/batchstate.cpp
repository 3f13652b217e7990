#include "model/batchstate.h"

#include "app/host.h"

namespace qv {

void BeginBatch(BatchState& state, BatchControls& controls, const std::string& name) {
  controls.SetBatchControls(false);
  state.CurrentBatchName = name;
  state.BatchInProgress = 1;
  state.CancelRequested = 0;
}

void EndBatch(BatchState& state, BatchControls& controls, BatchHost& host) {
  state.BatchInProgress = 0;
  controls.SetBatchControls(true);
  host.SetStatusText("Ready.");
}

}  // namespace qv
