#include "convert/conversionbatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <vector>

#include "app/paths.h"
#include "app/showmessage.h"
#include "convert/convertfile.h"
#include "convert/formats.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "tags/tags.h"

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

// Creates `path` as an empty file, exclusively and without following a link. False when the
// name is taken (the encoder then meets the taken name and fails without overwriting it).
bool ReserveEmptyFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Removes a reservation that no output filled.
void RemoveIfEmpty(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
    ::unlink(path.c_str());
  }
}

}  // namespace

int MakeUniqueDestination(std::string& path, int maxCopies,
                          const std::function<bool(const std::string&)>& alsoTaken) {
  auto taken = [&](const std::string& candidate) {
    return FileExistsNonEmpty(candidate) || (alsoTaken && alsoTaken(candidate));
  };
  if (!taken(path)) return kDestinationFree;
  const std::string folder = SourceFolder(path);
  const std::string title = GetFileTitle(path, false);
  const std::string extension = GetLowerExtension(path);
  for (int n = 1; n <= maxCopies && n < 1000000; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", n);
    const std::string candidate = JoinPath(folder, title + "-COPY" + number + "." + extension);
    if (!taken(candidate)) {
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

  // Each row in three steps: deciding its name and log records (calling thread, in row order),
  // converting it (the calling thread, or a worker), and taking the result (calling thread, in
  // row order). A parallel batch keeps the log records and the selection for the result step,
  // so the log reads as a serial run's; the serial batch shows them as each row starts.
  struct RowPlan {
    std::string decodePath;
    std::string sourcePath;
    std::string destination;
    std::string records;   // the log records of the row's start
    std::string tagLog;    // what the tag copy had to say
    int naming = kDestinationFree;
    bool reserved = false;  // an empty file made to hold the name for a parallel row
    double gain = 1.0;
    std::string errorText;
  };
  const bool parallel = options.jobs > 1;
  std::vector<RowPlan> plans(static_cast<size_t>(state.BatchFileCount));
  std::set<std::string> reservedNames;  // names handed to rows not yet taken (parallel only)
  std::function<bool(const std::string&)> isReserved;
  if (parallel) isReserved = [&](const std::string& path) { return reservedNames.count(path) > 0; };

  const auto prepare = [&](int row) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    plan.decodePath = list.GetDecodePath(row);
    plan.sourcePath = list.GetSourcePath(row);
    const std::string title = GetFileTitle(plan.sourcePath, false);
    const std::string rowFolder = options.sameFolder ? SourceFolder(plan.sourcePath) : folder;
    plan.destination = JoinPath(rowFolder, title + "." + key);
    plan.records = FormatText("\n--- Conversion # %d ---\n\n", row + 1) +
                   FormatText("Saving:\n\n   %s\n\nas:\n\n   %s\n\n", plan.sourcePath.c_str(),
                              plan.destination.c_str());
    plan.naming = MakeUniqueDestination(plan.destination, options.maxNumberedCopies, isReserved);
    if (plan.naming == kDestinationRenamed) {
      plan.records += FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                                 plan.destination.c_str());
    }
    plan.gain = options.normalize ? list.GetGainFactor(row) : 1.0;
    if (parallel && plan.naming != kDestinationAllTaken) {
      reservedNames.insert(plan.destination);
      // Held on disk too, so that no other program takes the name meanwhile; the encoder
      // replaces this empty file.
      plan.reserved = ReserveEmptyFile(plan.destination);
    } else {
      state.BatchFileIndex = row;
      log.Write(plan.records);
      list.SelectRow(row, true);
    }
    return true;
  };
  const auto work = [&](int row, JobContext& job) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (plan.naming == kDestinationAllTaken) {
      plan.errorText = ConversionErrorText(kConvertNamesTaken, job);
      return static_cast<int>(kConvertNamesTaken);
    }
    const int code = ConvertFile(plan.decodePath, plan.destination, plan.gain, key, kbps,
                                 options.faacPath, job);
    if (code == kConvertOk && options.copyTags) {
      // The row's own source carries the tags (for a video, the video file, not its WAV).
      const tags::TagCopyResult copied = tags::CopyTags(plan.sourcePath, plan.destination, key);
      plan.tagLog = copied.logText;
    }
    if (code != kConvertOk) plan.errorText = ConversionErrorText(code, job);
    return code;
  };
  const auto commit = [&](int row, int code) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    state.BatchFileIndex = row;
    if (parallel) {
      reservedNames.erase(plan.destination);
      log.Write(plan.records);
      list.SelectRow(row, true);
    }
    if (!plan.tagLog.empty()) log.Write(FormatText("\n%s\n\n---\n", plan.tagLog.c_str()));
    if (code == kConvertOk) {
      ++result.converted;
      return true;
    }
    if (plan.reserved) RemoveIfEmpty(plan.destination);
    list.SelectRow(row, false);
    if (code == kConvertCancelled) {
      result.cancelled = true;
      return false;
    }
    ++result.failed;
    const int answer =
        ShowMessage(&host, quiet, options.logPath, MB_YESNO | MB_DEFBUTTON2,
                    "Got an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:\n\n   "
                    "%s\n\nSkipping this file...\n\nAbort the batch job?  (Default: NO)",
                    plan.decodePath.c_str(), plan.destination.c_str(), plan.errorText.c_str());
    if (answer == IDYES) {
      result.abortedByUser = true;
      return false;
    }
    return true;
  };

  if (parallel) {
    RowJobSteps steps;
    steps.prepare = prepare;
    steps.work = work;
    steps.commit = commit;
    steps.progress = [&](int row, const JobContext& view) {
      state.BatchFileIndex = row;
      host.SetStatusText(ProgressText("Converting", state, view));
    };
    RunRowJobs(state.BatchFileCount, options.jobs, host, state, steps);
    // Names reserved for rows that never got their result (a cancel or an abort) are freed.
    for (const RowPlan& plan : plans) {
      if (plan.reserved && reservedNames.count(plan.destination)) RemoveIfEmpty(plan.destination);
    }
    if (state.CancelRequested.load() == 1 && !result.abortedByUser) result.cancelled = true;
  } else {
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
      prepare(row);
      if (!commit(row, work(row, job))) break;
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
