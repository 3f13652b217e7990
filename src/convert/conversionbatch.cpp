#include "convert/conversionbatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/paths.h"
#include "app/renamefile.h"
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

// Creates an empty file with a hidden, unique name in `folder` ending in ".<extension>",
// exclusively and private to us. Empty when the folder refuses it.
std::string MakeHiddenFile(const std::string& folder, const std::string& extension) {
  std::string pattern = JoinPath(folder, ".quorvin-XXXXXX." + extension);
  const int fd = ::mkostemps(pattern.data(), static_cast<int>(extension.size()) + 1, O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  return pattern;
}

// Gives a finished file its name, failing (not replacing) when a file has the name.
bool PublishWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
  if (RenameWithoutReplacing(from, to)) return true;
  const int failure = errno;
  error = failure == EEXIST ? "\"" + to + "\" was taken meanwhile; it was not replaced"
                            : std::string(std::strerror(failure));
  return false;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Removes an empty regular file (never a link).
void RemoveIfEmpty(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
    ::unlink(path.c_str());
  }
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

  // Each row in three steps: preparing it (calling thread, in row order), converting it (the
  // calling thread, or a worker), and taking the result (calling thread, in row order).
  //
  // A serial batch decides the row's name and writes its log records as the row starts. A
  // parallel batch cannot decide the name then: whether an earlier row leaves a file of that
  // name is only known once that row has ended. So each parallel row is written under a hidden
  // name of its own, created exclusively in the destination folder before its worker starts,
  // and gets its real name when its result is taken, in row order, by the same rule and with
  // the same files on disk as in a serial run. The log records and the selection are written
  // then too, so the log reads as a serial run's.
  struct RowPlan {
    std::string decodePath;
    std::string sourcePath;
    std::string plainDestination;  // the folder, the source's title and the format's extension
    std::string destination;       // the name the output gets
    std::string workPath;          // where the converter writes: the destination, or a hidden name
    std::string tagLog;            // what the tag copy had to say
    std::string errorText;
    int naming = kDestinationFree;
    double gain = 1.0;
    bool hidden = false;  // written under a hidden name that still has to be given its name
    bool deferred = false;  // no hidden name could be made: converted when its result is taken
  };
  // A single row runs serially: there is nothing to share out.
  const bool parallel = options.jobs > 1 && state.BatchFileCount > 1;
  std::vector<RowPlan> plans(static_cast<size_t>(state.BatchFileCount));

  // Decides the row's name and writes its log records and its selection.
  const auto startRow = [&](int row, RowPlan& plan) {
    state.BatchFileIndex = row;
    plan.destination = plan.plainDestination;
    log.Write(FormatText("\n--- Conversion # %d ---\n\n", row + 1) +
              FormatText("Saving:\n\n   %s\n\nas:\n\n   %s\n\n", plan.sourcePath.c_str(),
                         plan.destination.c_str()));
    plan.naming = MakeUniqueDestination(plan.destination, options.maxNumberedCopies);
    if (plan.naming == kDestinationRenamed) {
      log.Write(FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                           plan.destination.c_str()));
    }
    list.SelectRow(row, true);
  };
  const auto convert = [&](RowPlan& plan, JobContext& job) {
    if (plan.naming == kDestinationAllTaken) {
      plan.errorText = ConversionErrorText(kConvertNamesTaken, job);
      return static_cast<int>(kConvertNamesTaken);
    }
    const int code = ConvertFile(plan.decodePath, plan.workPath, plan.gain, key, kbps,
                                 options.faacPath, job);
    if (code == kConvertOk && options.copyTags) {
      // The row's own source carries the tags (for a video, the video file, not its WAV).
      plan.tagLog = tags::CopyTags(plan.sourcePath, plan.workPath, key).logText;
    }
    if (code != kConvertOk) plan.errorText = ConversionErrorText(code, job);
    return code;
  };
  // Gives a hidden output its row's name; an output that holds nothing is removed, as a
  // serial run would not have left one. Returns the row's code, which a failed naming turns
  // into a write failure.
  const auto place = [&](RowPlan& plan, int code) {
    if (!plan.hidden) return code;
    plan.hidden = false;
    if (plan.naming == kDestinationAllTaken || !FileExistsNonEmpty(plan.workPath)) {
      ::unlink(plan.workPath.c_str());
      return code;
    }
    std::string error;
    RemoveIfEmpty(plan.destination);  // the naming rule counts an empty file as free
    if (!PublishWithoutReplacing(plan.workPath, plan.destination, error)) {
      ::unlink(plan.workPath.c_str());
      if (code == kConvertOk || code == kConvertCancelled) {
        JobContext failed;
        failed.EncoderErrorText = error;
        plan.errorText = ConversionErrorText(kConvertWriteFailed, failed);
        code = kConvertWriteFailed;
      }
    }
    // Messages name the output by the name it got.
    ReplaceAll(plan.errorText, plan.workPath, plan.destination);
    ReplaceAll(plan.tagLog, plan.workPath, plan.destination);
    return code;
  };

  const auto prepare = [&](int row) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    plan.decodePath = list.GetDecodePath(row);
    plan.sourcePath = list.GetSourcePath(row);
    const std::string title = GetFileTitle(plan.sourcePath, false);
    const std::string rowFolder = options.sameFolder ? SourceFolder(plan.sourcePath) : folder;
    plan.plainDestination = JoinPath(rowFolder, title + "." + key);
    plan.gain = options.normalize ? list.GetGainFactor(row) : 1.0;
    if (!parallel) {
      startRow(row, plan);
      plan.workPath = plan.destination;
      return true;
    }
    plan.workPath = MakeHiddenFile(rowFolder, key);
    plan.hidden = !plan.workPath.empty();
    plan.deferred = !plan.hidden;
    return true;
  };
  const auto work = [&](int row, JobContext& job) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (plan.deferred) return static_cast<int>(kConvertOk);  // converted at its commit
    return convert(plan, job);
  };
  const auto commit = [&](int row, int code) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (parallel) {
      startRow(row, plan);
      if (plan.deferred) {
        // The folder refused a hidden name; the row is converted here under its own name, so
        // its result is the one a serial run gives.
        plan.workPath = plan.destination;
        JobContext job;
        job.CancelRequested = &state.CancelRequested;
        job.ProgressCallback = [&](const char* operation) {
          ReportProgress(host, state, job, operation);
        };
        code = convert(plan, job);
      }
      code = place(plan, code);
    }
    if (!plan.tagLog.empty()) log.Write(FormatText("\n%s\n\n---\n", plan.tagLog.c_str()));
    if (code == kConvertOk) {
      ++result.converted;
      return true;
    }
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
    steps.progress = [&](const RowJobProgress& progress) {
      if (progress.lowestRow >= 0) state.BatchFileIndex = progress.lowestRow;
      host.SetStatusText(ParallelProgressText("Converting", progress));
    };
    RunRowJobs(state.BatchFileCount, options.jobs, host, state, steps);
    // Rows still running when a cancel ended the batch keep what they wrote (a cancelled WAV
    // is complete up to its last block), under the name a serial run would give. After an
    // abort they are removed: a serial run would not have started them.
    for (RowPlan& plan : plans) {
      if (!plan.hidden) continue;
      if (result.abortedByUser) {
        ::unlink(plan.workPath.c_str());
        continue;
      }
      plan.destination = plan.plainDestination;
      plan.naming = MakeUniqueDestination(plan.destination, options.maxNumberedCopies);
      place(plan, kConvertCancelled);
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
