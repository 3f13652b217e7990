#include "tools/extract.h"

namespace qv {

// Placeholder until the tool runner lands: no sound track can be extracted yet.
bool ExtractAudioFromVideo(BatchHost&, const ToolRunner&, const std::string&, const std::string&) {
  return false;
}

void ReportToolError(BatchHost&) {}

}  // namespace qv
