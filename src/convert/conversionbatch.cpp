#include "convert/conversionbatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "app/instance.h"
#include "app/liveregistry.h"
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

// Gives a finished file its name, failing (not replacing) when a file has the name. Returns 0,
// or the system's error with its text in `error`.
int PublishWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
  if (RenameWithoutReplacing(from, to)) return 0;
  const int failure = errno;
  error = failure == EEXIST ? "\"" + to + "\" was taken meanwhile; it was not replaced"
                            : std::string(std::strerror(failure));
  return failure;
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

// Whether `path` holds a conversion of a source last written at `sourceWritten`, from before the
// batch started: a non-empty regular file, not older than the source, written before
// `batchStart`.
bool HoldsConversion(const std::string& path, std::filesystem::file_time_type sourceWritten,
                     std::filesystem::file_time_type batchStart) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) return false;
  if (std::filesystem::file_size(path, error) == 0 || error) return false;
  const auto written = std::filesystem::last_write_time(path, error);
  return !error && written >= sourceWritten && written < batchStart;
}

// Whether the source has a conversion from before the batch under its plain output name, or,
// when that is taken by an older one (the source changed since), under one of the numbered
// names the naming rule gave it then.
bool AlreadyConverted(const std::string& destination, const std::string& source,
                      std::filesystem::file_time_type batchStart) {
  std::error_code error;
  const auto sourceWritten = std::filesystem::last_write_time(source, error);
  if (error) return false;
  if (HoldsConversion(destination, sourceWritten, batchStart)) return true;
  const std::string folder = SourceFolder(destination);
  const std::string title = GetFileTitle(destination, false);
  const std::string extension = GetLowerExtension(destination);
  std::string candidate = destination;
  for (int n = 1; n < 1000000 && DestinationTaken(candidate); ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", n);
    candidate = JoinPath(folder, title + "-COPY" + number + "." + extension);
    if (HoldsConversion(candidate, sourceWritten, batchStart)) return true;
  }
  return false;
}

}  // namespace

bool DestinationTaken(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  return !(S_ISREG(info.st_mode) && info.st_size == 0);
}

int MakeUniqueDestination(std::string& path, int maxCopies) {
  if (!DestinationTaken(path)) return kDestinationFree;
  const std::string folder = SourceFolder(path);
  const std::string title = GetFileTitle(path, false);
  const std::string extension = GetLowerExtension(path);
  for (int n = 1; n <= maxCopies && n < 1000000; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", n);
    const std::string candidate = JoinPath(folder, title + "-COPY" + number + "." + extension);
    if (!DestinationTaken(candidate)) {
      path = candidate;
      return kDestinationRenamed;
    }
  }
  return kDestinationAllTaken;
}

ConversionBatchResult RunConversionBatch(const ConversionOptions& options, SourceList& list,
                                         BatchState& state, BatchHost& host) {
  ConversionBatchResult result;
  MessagesLogged = 0;
  // Outputs written from now on are this batch's, never "converted already".
  const std::filesystem::file_time_type batchStart = std::filesystem::file_time_type::clock::now();
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
  const std::string logPath = log.Path();
  result.logPath = logPath;
  const int quiet = options.skipProblemFiles ? 1 : 0;
  result.started = true;
  result.rows.resize(static_cast<size_t>(state.BatchFileCount));

  BeginBatch(state, host, kBatchFileConversion);
  list.DeselectAll();

  // Every row goes through the same three steps: prepared on this thread in row order (its
  // paths, its gain and a hidden output file of its own, created exclusively in the
  // destination folder), converted by a worker into that hidden file (encoder, tags, close),
  // and committed on this thread in row order: the row's name is decided then, by the same
  // rule and against the same files as one file after the other would see, the log records and
  // the selection are written, and the hidden file is given its name without replacing
  // anything. So a file under a final name is always complete, and a kill at any moment leaves
  // at most a hidden file behind.
  struct RowPlan {
    std::string decodePath;
    std::string sourcePath;
    std::string plainDestination;  // the folder, the source's title and the format's extension
    std::string destination;       // the name the output gets
    std::string workPath;          // the hidden file the worker writes
    std::string tagLog;            // what the tag copy had to say
    std::string logNote;        // what damaged data cost (a conversion that still counts)
    std::string errorText;
    int naming = kDestinationFree;
    int earlyCode = kConvertOk;    // a failure known before the work starts
    double gain = 1.0;
    int heldSeconds = 0;           // what a cancelled output holds, and the source's length
    int sourceSeconds = 0;
  };
  std::vector<RowPlan> plans(static_cast<size_t>(state.BatchFileCount));
  std::set<std::string> cleanedFolders;

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
  const auto removeWork = [](RowPlan& plan) {
    if (!plan.workPath.empty()) RemoveTemporary(plan.workPath);
    plan.workPath.clear();
  };
  // Gives the hidden output the row's name. Another program may take the name meanwhile: then
  // the next free numbered name is taken, as the naming rule would have given. Returns the
  // row's code, which a failed naming turns into a write failure.
  const auto publish = [&](RowPlan& plan, int code) {
    if (plan.naming == kDestinationAllTaken) {
      removeWork(plan);
      JobContext none;
      plan.errorText = ConversionErrorText(kConvertNamesTaken, none);
      return static_cast<int>(kConvertNamesTaken);
    }
    for (int attempt = 0;; ++attempt) {
      RemoveIfEmpty(plan.destination);  // the naming rule counts an empty file as free
      std::string error;
      const int failure = PublishWithoutReplacing(plan.workPath, plan.destination, error);
      if (failure == 0) break;
      if (failure == EEXIST && attempt < 100 &&
          MakeUniqueDestination(plan.destination, options.maxNumberedCopies) !=
              kDestinationAllTaken) {
        log.Write(FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                             plan.destination.c_str()));
        continue;
      }
      removeWork(plan);
      JobContext failed;
      failed.EncoderErrorText = error;
      plan.errorText = ConversionErrorText(kConvertWriteFailed, failed);
      return static_cast<int>(kConvertWriteFailed);
    }
    UnregisterTemporary(plan.workPath);  // it has its name now: no longer ours to remove
    plan.workPath.clear();
    return code;
  };
  // Messages name the output by the name it got, never by its hidden name.
  const auto nameTexts = [](RowPlan& plan, const std::string& hidden) {
    if (hidden.empty()) return;
    ReplaceAll(plan.errorText, hidden, plan.destination);
    ReplaceAll(plan.tagLog, hidden, plan.destination);
  };
  // A cancelled row keeps what it wrote (a WAV with valid sizes), under its name and with a
  // record that says so; it is not selected and not counted as converted.
  const auto keepCancelled = [&](int row, RowPlan& plan) {
    ConversionRowReport& report = result.rows[static_cast<size_t>(row)];
    report.outcome = RowOutcome::Cancelled;
    list.SelectRow(row, false);
    if (plan.workPath.empty() || !FileExistsNonEmpty(plan.workPath)) {
      removeWork(plan);
      log.Write("Cancelled: nothing of this file was written.\n\n");
      report.text = "cancelled, nothing written";
      return;
    }
    const std::string hidden = plan.workPath;
    if (publish(plan, kConvertCancelled) != kConvertCancelled) {
      nameTexts(plan, hidden);
      log.Write(FormatText("Cancelled, and the part written could not be kept:\n\n   %s\n\n",
                           plan.errorText.c_str()));
      report.text = plan.errorText;
      return;
    }
    report.destination = plan.destination;
    report.text = FormatText("Cancelled: the file holds only %d:%02d of %d:%02d of the source.",
                             plan.heldSeconds / 60, plan.heldSeconds % 60,
                             plan.sourceSeconds / 60, plan.sourceSeconds % 60);
    log.Write(report.text + "\n\n");
    ++result.cancelledKept;
  };

  const auto prepare = [&](int row) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    plan.decodePath = list.GetDecodePath(row);
    plan.sourcePath = list.GetSourcePath(row);
    const std::string title = GetFileTitle(plan.sourcePath, false);
    std::string rowFolder = options.sameFolder ? SourceFolder(plan.sourcePath) : folder;
    const std::string subfolder =
        !options.sameFolder && options.rowSubfolder ? options.rowSubfolder(row) : std::string();
    if (!subfolder.empty()) rowFolder = JoinPath(rowFolder, subfolder);
    plan.plainDestination = JoinPath(rowFolder, title + "." + key);
    if (!subfolder.empty()) {
      // The source's sub-folder below the destination, made as needed; a file in the way is
      // never replaced (the row fails instead).
      std::error_code error;
      std::filesystem::create_directories(rowFolder, error);
      if (error || !FolderExists(&rowFolder)) {
        plan.earlyCode = kConvertCannotCreate;
        JobContext failed;
        failed.EncoderErrorText =
            "the folder " + rowFolder + " could not be made: " +
            (error ? error.message() : std::string("a file has its name"));
        plan.errorText = ConversionErrorText(kConvertCannotCreate, failed);
        return true;
      }
    }
    if (options.skipExisting && AlreadyConverted(plan.plainDestination, plan.sourcePath,
                                                 batchStart)) {
      plan.earlyCode = kConvertSkipped;
      return true;
    }
    if (options.normalize) {
      const QVListItem* item = list.Item(row);
      if (!item || item->hasLoudness != 1) {
        plan.earlyCode = kConvertNotMeasured;
        plan.errorText = ConversionErrorText(kConvertNotMeasured, JobContext{});
        return true;
      }
      plan.gain = list.GetGainFactor(row);
    }
    // What killed runs left in the folder goes first (never a file a live run still writes).
    if (cleanedFolders.insert(rowFolder).second) RemoveStaleTemporaries(rowFolder);
    plan.workPath = MakeHiddenOutput(rowFolder, key);
    if (plan.workPath.empty()) {
      JobContext failed;
      failed.EncoderErrorText = std::strerror(errno);
      plan.earlyCode = kConvertCannotCreate;
      plan.errorText = ConversionErrorText(kConvertCannotCreate, failed);
    }
    return true;
  };
  const auto work = [&](int row, JobContext& job) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (plan.earlyCode != kConvertOk) return plan.earlyCode;
    int code = ConvertFile(plan.decodePath, plan.workPath, plan.gain, key, kbps,
                           options.faacPath, job);
    plan.heldSeconds = job.ProcessedSeconds;
    plan.sourceSeconds = job.SourceDuration;
    plan.logNote = job.LogNote;
    if (code == kConvertOk && options.copyTags) {
      // The row's own source carries the tags (for a video, the video file, not its WAV).
      const tags::TagCopyResult copied = tags::CopyTags(plan.sourcePath, plan.workPath, key);
      if (copied.ok()) {
        plan.tagLog = copied.logText;
      } else {
        job.EncoderErrorText = "Could not write the tags into the converted file (" +
                               copied.error + ")";
        code = kConvertTagsFailed;
      }
    }
    if (code != kConvertOk && code != kConvertCancelled) {
      plan.errorText = ConversionErrorText(code, job);
    }
    return code;
  };
  const auto commit = [&](int row, int code) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    ConversionRowReport& report = result.rows[static_cast<size_t>(row)];
    if (code == kConvertSkipped) {
      state.BatchFileIndex = row;
      log.Write(FormatText("\n--- Conversion # %d ---\n\n", row + 1) +
                FormatText("Skipped:\n\n   %s\n\nis converted already, as:\n\n   %s\n\n",
                           plan.sourcePath.c_str(), plan.plainDestination.c_str()));
      report.outcome = RowOutcome::Skipped;
      report.code = code;
      report.destination = plan.plainDestination;
      ++result.skipped;
      return true;
    }
    startRow(row, plan);
    const std::string hidden = plan.workPath;
    if (code == kConvertOk) code = publish(plan, code);
    nameTexts(plan, hidden);
    if (!plan.logNote.empty()) log.Write(plan.logNote + "\n\n");
    if (!plan.tagLog.empty()) log.Write(FormatText("\n%s\n\n---\n", plan.tagLog.c_str()));
    report.code = code;
    report.cause = CauseOfCode(code);
    if (code == kConvertOk) {
      report.outcome = RowOutcome::Done;
      report.destination = plan.destination;
      ++result.converted;
      return true;
    }
    if (code == kConvertCancelled) {
      result.cancelled = true;
      keepCancelled(row, plan);
      return false;
    }
    removeWork(plan);
    list.SelectRow(row, false);
    report.outcome = RowOutcome::Failed;
    report.text = plan.errorText;
    ++result.failed;
    if (code == kConvertNotMeasured) ++result.notMeasured;
    const int answer =
        ShowMessage(&host, quiet, logPath, MB_YESNO | MB_DEFBUTTON2,
                    "Got an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:\n\n   "
                    "%s\n\nSkipping this file...\n\nAbort the batch job?  (Default: NO)",
                    plan.decodePath.c_str(), plan.destination.c_str(), plan.errorText.c_str());
    if (answer == IDYES) {
      result.abortedByUser = true;
      return false;
    }
    return true;
  };
  // Rows that were still running when the batch ended. After a cancel they are committed as
  // far as they got (a row that finished is converted; one stopped midway keeps its part, as
  // the cancelled row does). After an abort or a failed start they are removed: the batch
  // would not have started them one file after the other.
  const auto settle = [&](int row, int code) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (result.abortedByUser || !result.startError.empty()) {
      removeWork(plan);
      return;
    }
    if (code == kConvertOk || code == kConvertCancelled || code == kConvertSkipped) {
      commit(row, code);
      return;
    }
    // A row that failed while the cancel took effect: logged and counted, nothing asked.
    startRow(row, plan);
    removeWork(plan);
    list.SelectRow(row, false);
    ConversionRowReport& report = result.rows[static_cast<size_t>(row)];
    report.outcome = RowOutcome::Failed;
    report.code = code;
    report.cause = CauseOfCode(code);
    report.text = plan.errorText;
    ++result.failed;
    log.Write(FormatText("\nGot an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:"
                         "\n\n   %s\n\n---\n",
                         plan.decodePath.c_str(), plan.destination.c_str(),
                         plan.errorText.c_str()));
  };

  RowJobSteps steps;
  steps.prepare = prepare;
  steps.work = work;
  steps.commit = commit;
  steps.settle = [&](int row, int code) { settle(row, code); };
  steps.abandon = [&](int row) { removeWork(plans[static_cast<size_t>(row)]); };
  // One file at a time (one job, or one row): the progress of that file.
  const bool oneAtATime = options.jobs <= 1 || state.BatchFileCount == 1;
  steps.progress = [&](const RowJobProgress& progress) {
    if (progress.lowestRow < 0) return;
    state.BatchFileIndex = progress.lowestRow;
    host.SetStatusText(oneAtATime ? ProgressText("Converting", state, progress.lowest)
                                  : ParallelProgressText("Converting", progress));
  };
  const RowJobsOutcome outcome =
      RunRowJobs(state.BatchFileCount, std::max(1, options.jobs), host, state, steps);
  if (!outcome.startError.empty()) {
    result.startError = outcome.startError;
    ShowMessage(&host, 0, logPath, MB_OK | MB_ICONERROR,
                "Could not start converting another file at once (%s).  The batch was stopped; "
                "the files not converted yet were left alone.  Try fewer Files at once.",
                outcome.startError.c_str());
  }
  // Hidden files of rows that never ran (a failed start) are gone too.
  for (RowPlan& plan : plans) removeWork(plan);
  if (state.CancelRequested.load() == 1 && !result.abortedByUser) result.cancelled = true;
  log.Close();

  if (quiet && MessagesLogged) {
    const int answer = ShowMessage(
        &host, 0, {}, MB_YESNO,
        "Messages were logged during the Batch Job.  Please see this file for details:\n\n   "
        "%s\n\nDo you want to open it now?",
        logPath.c_str());
    if (answer == IDYES && options.openLog) options.openLog(logPath);
  }
  EndBatch(state, host);
  return result;
}

}  // namespace qv
