#pragma once

#include <string>
#include <string_view>

#include "tools/toolrun.h"

namespace qv {

class BatchHost;

// The base names of the extraction's script and of the tool error reports in the working
// folder (see kWorkingFileBases).
inline constexpr const char* kExtractScriptName = "qvExtractAudioFromVideo";
inline constexpr const char* kToolErrorReportName = "qvFFMpegErrorOut";

// Extracts the sound track of `videoPath` into `tempWavPath` with the ffmpeg program under the
// tool progress window. True when the tool ended with status 0 and the WAV is not empty; a
// cancel removes the WAV and says "Import cancelled."; a failure (another status, even after
// the tool wrote part of the WAV, or no WAV) shows the tool's output and leaves the WAV to the
// caller, who removes it. `cancel` is the cancel flag of the add it belongs to (null: none):
// the window's Cancel stops the add as well as the tool.
bool ExtractAudioFromVideo(BatchHost& owner, const ToolRunner& runTool,
                           const std::string& videoPath, const std::string& tempWavPath,
                           std::atomic<int>* cancel = nullptr);

// Shows what the last tool run printed, without the tool's version banner, and keeps the whole
// output in a new report file of this instance in the working folder
// ("qvFFMpegErrorOut-<id>-XXXXXX.txt") until the program ends.
void ReportToolError(BatchHost& owner);

// The tool's output without the version banner it starts with (its version line, "built
// with"/"built on", the configuration and the library version lines); the whole output when
// it starts with no banner. Carriage returns (progress lines) become line ends.
std::string StripToolBanner(std::string_view output);

}  // namespace qv
