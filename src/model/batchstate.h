#pragma once

#include <string>

namespace qv {

class BatchHost;

inline constexpr const char* kBatchFileAnalysis = "File Analysis";
inline constexpr const char* kBatchFileConversion = "File Conversion";

// The state that a running loudness or conversion batch shares with the main window. The
// batch runs on the user-interface thread and pumps events between blocks; Cancel sets
// CancelRequested, which the batch tests after each block. Owned by the main window's model.
struct BatchState {
  int BatchInProgress = 0;
  int CancelRequested = 0;
  std::string CurrentBatchName;
  // True from SetBatchControls(false) until SetBatchControls(true): the batch loop may still
  // be running after Cancel has cleared BatchInProgress.
  bool BatchLayoutActive = false;
};

// What a batch needs of the window besides messages: switching between the batch layout (only
// Minimize, Exit and Cancel usable) and the idle layout.
class BatchControls {
 public:
  virtual ~BatchControls() = default;
  // idle false: the batch layout; idle true: the idle layout.
  virtual void SetBatchControls(bool idle) = 0;
};

// Enters a batch: the batch layout, then `name`, BatchInProgress = 1, CancelRequested = 0.
void BeginBatch(BatchState& state, BatchControls& controls, const std::string& name);
// Leaves it: BatchInProgress = 0, the idle layout, and "Ready." in the status line.
void EndBatch(BatchState& state, BatchControls& controls, BatchHost& host);

}  // namespace qv
