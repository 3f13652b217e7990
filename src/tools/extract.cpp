#include "tools/extract.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

#include "app/host.h"
#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "tools/consolepipe.h"

namespace qv {
namespace {

std::string_view TrimLeft(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "ffmpeg version 5.1.9-0+deb12u1 Copyright (c) 2000-2026 the FFmpeg developers", and the
// same first line of the tool's siblings.
bool IsVersionLine(std::string_view line) {
  line = TrimLeft(line);
  const size_t word = line.find(" version ");
  if (word == std::string_view::npos || word == 0) return false;
  for (size_t i = 0; i < word; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(line[i])) && line[i] != '_') return false;
  }
  return StartsWith(line, "ffmpeg version ") ||
         line.find("Copyright") != std::string_view::npos;
}

// "  libavutil      57. 28.100 / 57. 28.100"
bool IsLibraryVersionLine(std::string_view line) {
  line = TrimLeft(line);
  if (!StartsWith(line, "lib")) return false;
  size_t i = 3;
  while (i < line.size() && std::isalpha(static_cast<unsigned char>(line[i]))) ++i;
  if (i == 3 || i >= line.size() || line[i] != ' ') return false;
  while (i < line.size() && line[i] == ' ') ++i;
  return i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) &&
         line.find(" / ") != std::string_view::npos;
}

bool IsBannerLine(std::string_view line) {
  const std::string_view trimmed = TrimLeft(line);
  return IsVersionLine(line) || StartsWith(trimmed, "built with ") ||
         StartsWith(trimmed, "built on ") || StartsWith(trimmed, "configuration:") ||
         IsLibraryVersionLine(line);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, end + 1));
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

std::string StripToolBanner(std::string_view output) {
  std::string text;
  text.reserve(output.size());
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i] != '\r') text += output[i];
    else if (i + 1 >= output.size() || output[i + 1] != '\n') text += '\n';
  }
  const std::vector<std::string_view> lines = SplitLines(text);
  // The banner is recognised only where the output starts: a later line holding the same
  // words (a file name in an error line) is part of the report.
  size_t first = 0;
  if (!lines.empty() &&
      (IsVersionLine(lines[0]) || lines[0].find("built on") != std::string_view::npos)) {
    while (first < lines.size() && IsBannerLine(lines[first])) ++first;
    if (first == 0) first = 1;  // a first line with "built on" that looks like nothing else
  }
  std::string report;
  for (size_t i = first; i < lines.size(); ++i) report += lines[i];
  return report;
}

namespace {

// The cause of a failed extraction in words, from the phrases FFmpeg's tools print for it;
// empty when none is recognised.
std::string ToolFailureCause(std::string_view report) {
  static constexpr struct {
    const char* phrase;
    const char* cause;
  } kCauses[] = {
      {"does not contain any stream", "the file holds no audio stream"},
      {"matches no streams", "the file holds no audio stream"},
      {"No such file or directory", "the file does not exist (No such file or directory)"},
      {"Permission denied", "the file cannot be read (Permission denied)"},
      {"Invalid data found when processing input",
       "the file is not audio or video in a format the converter reads"},
      {"Decoder (codec", "the file's audio codec is not supported"},
      {"Input/output error", "the file could not be read (Input/output error)"},
      {"No space left on device", "the working folder's disk is full"},
  };
  for (const auto& known : kCauses) {
    if (report.find(known.phrase) != std::string_view::npos) return known.cause;
  }
  return {};
}

}  // namespace

void ReportToolError(BatchHost& owner) {
  // The whole output is kept for the user while the program runs, under a name of this
  // instance; the reports go when the program ends.
  static std::vector<TemporaryFile> reports;
  int fd = -1;
  TemporaryFile record(MakeWorkingFile(kToolErrorReportName, ".txt", &fd));
  if (!record.Empty()) {
    if (std::FILE* file = ::fdopen(fd, "w")) {
      const bool written =
          std::fputs(ToolOutputText().c_str(), file) >= 0 && std::fputc('\n', file) != EOF;
      // A report cut short (a full disk) is removed at once.
      if (std::fclose(file) == 0 && written) reports.push_back(std::move(record));
    } else {
      ::close(fd);
    }
  }
  const std::string report = StripToolBanner(ToolOutputText());
  const std::string cause = ToolFailureCause(report);
  ShowMessage(&owner, 0, std::string(), MB_OK,
              "The conversion command failed%s.  The output from the converter is:\n\n%s",
              cause.empty() ? "" : (": " + cause).c_str(), report.c_str());
}

bool ExtractAudioFromVideo(BatchHost& owner, const ToolRunner& runTool,
                           const std::string& videoPath, const std::string& tempWavPath,
                           std::atomic<int>* cancel) {
  ToolRunRequest request;
  request.title = "Extracting Audio From Video";
  request.caption = "Importing:";
  request.subject = FormatText("\"%s\" to Temp File", videoPath.c_str());
  request.scriptName = kExtractScriptName;
  request.inputPath = videoPath;
  request.outputPath = tempWavPath;
  request.toolOptions = Settings().FfmpegAudioOptions;
  request.cancel = cancel;
  const int result = runTool ? runTool(request) : kToolFailed;
  if (result == kToolCancelled) {
    RemoveTemporary(tempWavPath);
    ShowMessage(&owner, 0, std::string(), MB_OK, "Import cancelled.");
    return false;
  }
  // A tool that failed may have written part of the WAV (a full disk): that is no sound track.
  if (result == kToolEnded && FileExistsNonEmpty(tempWavPath)) return true;
  ReportToolError(owner);
  return false;
}

}  // namespace qv
