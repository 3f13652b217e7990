#pragma once

#include <string>
#include <string_view>

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

// The tool's output without the version banner it starts with (its version line, "built
// with"/"built on", the configuration and the library version lines); the whole output when
// it starts with no banner. Carriage returns (progress lines) become line ends.
std::string StripToolBanner(std::string_view output);

}  // namespace qv
