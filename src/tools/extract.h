#pragma once

#include <string>

#include "tools/toolrun.h"

namespace qv {

class BatchHost;

// Extracts the sound track of `videoPath` into `tempWavPath` with the ffmpeg program under the
// tool progress window. True when the WAV exists and is not empty afterwards; a cancel deletes
// it and says "Import cancelled.", a failure shows the tool's output.
bool ExtractAudioFromVideo(BatchHost& owner, const ToolRunner& runTool,
                           const std::string& videoPath, const std::string& tempWavPath);

// Shows what the last tool run printed, without the tool's version banner.
void ReportToolError(BatchHost& owner);

}  // namespace qv
