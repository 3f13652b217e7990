#include "convert/conversionbatch.h"

#include <cstdio>

#include "app/paths.h"
#include "app/showmessage.h"
#include "convert/convertfile.h"
#include "convert/formats.h"
#include "model/batchlog.h"

namespace qv {
namespace {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string TrimWhiteSpace(const std::string& text) {
  const char* blanks = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// The folder of a source path; "." for a bare file name.
std::string SourceFolder(const std::string& sourcePath) {
  if (sourcePath.find('/') == std::string::npos) return ".";
  return GetFolderPart(sourcePath);
}

}  // namespace

int MakeUniqueDestination(std::string& path, int maxCopies) {
  if (!FileExistsNonEmpty(path)) return kDestinationFree;
  const std::string folder = SourceFolder(path);
  const std::string title = GetFileTitle(path, false);
  const std::string extension = GetLowerExtension(path);
  for (int n = 1; n <= maxCopies && n < 1000000; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", n);
    const std::string candidate = JoinPath(folder, title + "-COPY" + number + "." + extension);
    if (!FileExistsNonEmpty(candidate)) {
      path = candidate;
      return kDestinationRenamed;
    }
  }
  return kDestinationAllTaken;
}

ConversionBatchResult RunConversionBatch(const ConversionOptions& options, SourceList& list,
                                         BatchState& state, BatchHost& host,
                                         BatchControls& controls) {
  ConversionBatchResult result;
  MessagesLogged = 0;
  state.BatchFileCount = list.RowCount();
  if (state.BatchFileCount < 1) {
    ShowMessage(&host, 0, {}, MB_OK,
                "No Audio Files have been added to the Convert List.  Please add some Audio "
                "Files first, thanks.");
    return result;
  }
  const std::string key = LowerAscii(options.formatKey);
  const int kbps = key == "wav" ? 0 : options.kbps;
  if (key == "wma" && WmaBitrates().Empty()) {
    ShowMessage(&host, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "WMA files cannot be written on this computer: the WMA encoder offers no "
                "bitrates.  Please choose another Output Format, thanks.");
    return result;
  }
  std::string folder;
  if (!options.sameFolder) {
    folder = TrimWhiteSpace(options.destinationFolder);
    if (folder.empty() || !FolderExists(&folder)) {
      ShowMessage(&host, 0, {}, MB_OK,
                  "The Save To directory was not found.  Please choose an existing directory, "
                  "thanks.");
      return result;
    }
  }
  BatchLog log;
  if (!log.Open(options.logPath)) {
    ShowMessage(&host, 0, {}, MB_OK | MB_ICONERROR,
                "Unable to create the Log File:\n\n   %s\n\nSorry, can't continue.",
                options.logPath.c_str());
    return result;
  }
  const int quiet = options.skipProblemFiles ? 1 : 0;
  result.started = true;

  BeginBatch(state, controls, kBatchFileConversion);
  list.DeselectAll();
  JobContext job;
  job.CancelRequested = &state.CancelRequested;
  job.ProgressCallback = [&](const char* operation) {
    ReportProgress(host, state, job, operation);
  };

  for (int row = 0; row < state.BatchFileCount; ++row) {
    if (state.CancelRequested.load() == 1) {
      result.cancelled = true;
      break;
    }
    state.BatchFileIndex = row;
    log.Write(FormatText("\n--- Conversion # %d ---\n\n", row + 1));
    const std::string decodePath = list.GetDecodePath(row);
    const std::string sourcePath = list.GetSourcePath(row);
    list.SelectRow(row, true);
    const std::string title = GetFileTitle(sourcePath, false);
    const std::string rowFolder = options.sameFolder ? SourceFolder(sourcePath) : folder;
    std::string destination = JoinPath(rowFolder, title + "." + key);
    log.Write(FormatText("Saving:\n\n   %s\n\nas:\n\n   %s\n\n", sourcePath.c_str(),
                         destination.c_str()));
    const int naming = MakeUniqueDestination(destination, options.maxNumberedCopies);
    if (naming == kDestinationRenamed) {
      log.Write(FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                           destination.c_str()));
    }
    const double gain = options.normalize ? list.GetGainFactor(row) : 1.0;
    const int code = naming == kDestinationAllTaken
                         ? kConvertNamesTaken
                         : ConvertFile(decodePath, destination, gain, key, kbps,
                                       options.faacPath, job);
    if (code == kConvertOk) {
      ++result.converted;
      continue;
    }
    list.SelectRow(row, false);
    if (code == kConvertCancelled) {
      result.cancelled = true;
      break;
    }
    ++result.failed;
    const int answer =
        ShowMessage(&host, quiet, options.logPath, MB_YESNO | MB_DEFBUTTON2,
                    "Got an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:\n\n   "
                    "%s\n\nSkipping this file...\n\nAbort the batch job?  (Default: NO)",
                    decodePath.c_str(), destination.c_str(),
                    ConversionErrorText(code, job).c_str());
    if (answer == IDYES) {
      result.abortedByUser = true;
      break;
    }
  }
  log.Close();

  if (quiet && MessagesLogged) {
    const int answer = ShowMessage(
        &host, 0, {}, MB_YESNO,
        "Messages were logged during the Batch Job.  Please see this file for details:\n\n   "
        "%s\n\nDo you want to open it now?",
        options.logPath.c_str());
    if (answer == IDYES && options.openLog) options.openLog(options.logPath);
  }
  EndBatch(state, controls, host);
  return result;
}

}  // namespace qv
