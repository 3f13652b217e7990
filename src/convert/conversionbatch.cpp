#include "convert/conversionbatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/renamefile.h"
#include "app/showmessage.h"
#include "convert/convertfile.h"
#include "convert/formats.h"
#include "loudness/loudness.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "tags/tags.h"

namespace qv {
namespace {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// How far an encoded output's peak may lie above the limit (0.05 dB, the precision of a true
// peak estimate), and what a second encoding takes off besides the excess (0.1 dB).
constexpr double kPeakTolerance = 1.0057731;
constexpr double kPeakMargin = 0.98855309;

// The ReplayGain pair of a gain in dB and a peak on the 16-bit scale, as players read them.
void AddReplayGainPair(tags::FieldMap& fields, const char* which, double gainDb, double peak) {
  const std::string prefix = std::string("REPLAYGAIN_") + which;
  fields[prefix + "_GAIN"] = {FormatFixed(gainDb, 2) + " dB"};
  fields[prefix + "_PEAK"] = {FormatFixed(peak / kFullScale, 6)};
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
    std::string gainNote;          // the gain applied, when the peak limit lowered it
    // Normalizing into a lossy format: the peak the output must keep to (16-bit scale), checked
    // on the encoded output; 0 when there is nothing to check.
    double outputPeakLimit = 0.0;
    // ReplayGain tags: the output's own measurement, the tags written into it, its album.
    RowMeasurement output;
    bool outputMeasured = false;
    tags::TagSet writtenTags;
    int album = -1;                // the album's index in `albums`, -1 without album tags
    bool pending = false;          // done, waiting for its album's last row to be published
  };
  std::vector<RowPlan> plans(static_cast<size_t>(state.BatchFileCount));
  std::set<std::string> cleanedFolders;
  const bool albumTags = options.replayGainTags && options.byAlbum && tags::FormatHoldsTags(key);
  // With album tags, the rows of an album in this batch, and the last of them: the album's
  // outputs are tagged and published together once that row is committed.
  struct AlbumPlan {
    int lastRow = -1;
    std::vector<int> rows;
    bool finished = false;
  };
  std::vector<AlbumPlan> albums;
  if (albumTags) {
    std::map<std::string, int> indexOf;
    for (int row = 0; row < state.BatchFileCount; ++row) {
      QVListItem* item = list.Item(row);
      if (!item) continue;
      if (item->albumKey.empty()) item->albumKey = AlbumKeyOf(item->sourcePath);
      const auto [it, added] = indexOf.emplace(item->albumKey, static_cast<int>(albums.size()));
      if (added) albums.emplace_back();
      plans[static_cast<size_t>(row)].album = it->second;
      albums[static_cast<size_t>(it->second)].lastRow = row;
    }
  }

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
      if (!item || !item->HasNormalizationGain()) {
        plan.earlyCode = kConvertNotMeasured;
        plan.errorText = ConversionErrorText(kConvertNotMeasured, JobContext{});
        if (item && item->measurements[item->Shown()].silent) {
          plan.errorText =
              "The file is silent (every part lies below -70 LUFS), so it has no loudness to "
              "normalize; it was not converted.  Convert it without normalization, or "
              "normalize by album gain";
        }
        return true;
      }
      bool limited = false;
      plan.gain = item->AppliedGainFactor(&limited);
      if (limited) {
        const bool r128 = options.standard == LoudnessStandard::R128;
        plan.gainNote = FormatText(
            "Gain lowered from %s dB to %s dB, so that the %s stays at or below %s %s.",
            FormatFixed(20.0 * std::log10(item->gainFactor), 2).c_str(),
            FormatFixed(20.0 * std::log10(plan.gain), 2).c_str(),
            r128 ? "true peak" : "peak",
            FormatFixed(20.0 * std::log10(item->peakLimit / kFullScale), 1).c_str(),
            r128 ? "dBTP" : "dBFS");
      }
    }
    if (options.normalize && key != "wav" && key != "flac") {
      plan.outputPeakLimit = list.Item(row)->peakLimit;
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
    const auto note = [&plan](const std::string& text) {
      plan.logNote += (plan.logNote.empty() ? "" : "\n\n") + text;
    };
    const bool r128 = options.standard == LoudnessStandard::R128;
    const double reference = InfoOf(options.standard).reference;
    // A lossy encoder reshapes the waveform, so the output's peak may pass what the gain kept
    // the source's to: the output is measured, and encoded again with the gain lowered by
    // the excess (and 0.1 dB more) while it is above the limit.
    LoudnessResult outputMeasurement;
    outputMeasurement.code = kLoudnessCannotRead;
    for (int pass = 0; code == kConvertOk && plan.outputPeakLimit > 0.0; ++pass) {
      JobContext measuring;
      measuring.CancelRequested = job.CancelRequested;
      outputMeasurement = MeasureFile(options.standard, plan.workPath, reference, measuring);
      if (outputMeasurement.code != kLoudnessMeasured) break;
      const double over = outputMeasurement.measurement.peak / plan.outputPeakLimit;
      if (over <= kPeakTolerance) break;
      const double lowered = plan.gain / over * kPeakMargin;
      const auto db = [](double factor) { return FormatFixed(20.0 * std::log10(factor), 2); };
      if (pass == 2) {
        note(FormatText("After encoding, the %s is still %s dB above the limit.",
                        r128 ? "true peak" : "peak", db(over).c_str()));
        break;
      }
      note(FormatText("After encoding, the %s was %s dB above the limit: encoded again with the "
                      "gain lowered from %s dB to %s dB.",
                      r128 ? "true peak" : "peak", db(over).c_str(), db(plan.gain).c_str(),
                      db(lowered).c_str()));
      plan.gain = lowered;
      outputMeasurement.code = kLoudnessCannotRead;
      if (::truncate(plan.workPath.c_str(), 0) != 0) {
        job.EncoderErrorText = std::strerror(errno);
        code = kConvertWriteFailed;
        break;
      }
      code = ConvertFile(plan.decodePath, plan.workPath, plan.gain, key, kbps, options.faacPath,
                         job);
    }
    tags::FieldMap measured;
    if (code == kConvertOk && options.replayGainTags && !tags::FormatHoldsTags(key)) {
      note("No ReplayGain tags: this format holds no tags.");
    } else if (code == kConvertOk && options.replayGainTags) {
      // What the player will play: the output itself, lossy encoding and all (measured above
      // already when its peak was checked).
      LoudnessResult m = std::move(outputMeasurement);
      if (m.code != kLoudnessMeasured) {
        JobContext measuring;
        measuring.CancelRequested = job.CancelRequested;
        m = MeasureFile(options.standard, plan.workPath, reference, measuring);
      }
      if (m.code == kLoudnessMeasured) {
        plan.output = std::move(m.measurement);
        plan.outputMeasured = true;
        AddReplayGainPair(measured, "TRACK", reference - plan.output.volume, plan.output.peak);
      } else if (m.code == kLoudnessCancelled) {
        // The output itself is complete: it is published, only without the tags.
        note("No ReplayGain tags: cancelled before the output was measured.");
      } else {
        note("No ReplayGain tags: the output could not be measured." +
             (m.reason.empty() ? std::string() : " " + m.reason));
      }
    }
    if (code == kConvertOk && (options.copyTags || !measured.empty())) {
      // The row's own source carries the tags (for a video, the video file, not its WAV).
      const tags::TagCopyResult copied =
          tags::CopyTags(options.copyTags ? plan.sourcePath : std::string(), plan.workPath, key,
                         measured, plan.album >= 0 ? &plan.writtenTags : nullptr);
      if (copied.ok()) {
        plan.tagLog = copied.logText;
      } else {
        job.EncoderErrorText = "Could not write the tags into the converted file (" +
                               copied.error + ")";
        code = kConvertTagsFailed;
      }
    }
    // On the disk before it gets its name (an album's rows again after their album tags).
    if ((code == kConvertOk || code == kConvertCancelled) && !SyncFileToDisk(plan.workPath) &&
        errno != ENOENT) {
      job.EncoderErrorText = std::strerror(errno);
      code = kConvertWriteFailed;
    }
    if (code != kConvertOk && code != kConvertCancelled) {
      plan.errorText = ConversionErrorText(code, job);
    }
    return code;
  };
  // The album pair for every output of an album waiting for it, measured over those outputs
  // together, then their names. A row whose tags cannot be written then fails after all.
  const auto finishAlbum = [&](AlbumPlan& album) {
    if (album.finished) return;
    album.finished = true;
    std::vector<RowPlan*> waiting;
    for (const int row : album.rows) {
      RowPlan& plan = plans[static_cast<size_t>(row)];
      if (plan.pending) waiting.push_back(&plan);
    }
    if (waiting.empty()) return;
    std::vector<const RowMeasurement*> outputs;
    double peak = 0.0;
    for (const RowPlan* plan : waiting) {
      outputs.push_back(&plan->output);
      peak = std::max(peak, plan->output.peak);
    }
    const double volume = AlbumVolume(options.standard, outputs);
    for (RowPlan* plan : waiting) {
      plan->pending = false;
      const int row = static_cast<int>(plan - plans.data());
      ConversionRowReport& report = result.rows[static_cast<size_t>(row)];
      std::string error;
      if (std::isfinite(volume)) {
        tags::TagSet tagged = std::move(plan->writtenTags);
        AddReplayGainPair(tagged.fields, "ALBUM", InfoOf(options.standard).reference - volume,
                          peak);
        const tags::WriteResult written = tags::WriteTagsInPlace(plan->workPath, key, tagged);
        if (!written.ok) {
          error = "Could not write the album's ReplayGain tags (" + written.error + ")";
        } else if (!SyncFileToDisk(plan->workPath)) {
          error = "Could not write the album's ReplayGain tags (" +
                  std::string(std::strerror(errno)) + ")";
        }
      }
      const std::string hidden = plan->workPath;
      const int code = error.empty() ? publish(*plan, kConvertOk) : kConvertTagsFailed;
      if (code == kConvertOk) {
        report.destination = plan->destination;
        continue;
      }
      if (!error.empty()) plan->errorText = error;
      nameTexts(*plan, hidden);
      removeWork(*plan);
      list.SelectRow(row, false);
      report.outcome = RowOutcome::Failed;
      report.code = code;
      report.cause = CauseOfCode(code);
      report.text = plan->errorText;
      --result.converted;
      ++result.failed;
      log.Write(FormatText("\n--- Conversion # %d ---\n\nGot an error, converting:\n\n   %s\n\n"
                           "to\n\n   %s\n\nError was:\n\n   %s\n\n---\n",
                           row + 1, plan->decodePath.c_str(), plan->destination.c_str(),
                           plan->errorText.c_str()));
    }
  };
  const auto finishAlbumAt = [&](int row) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (plan.album < 0) return;
    AlbumPlan& album = albums[static_cast<size_t>(plan.album)];
    album.rows.push_back(row);
    if (row == album.lastRow) finishAlbum(album);
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
      finishAlbumAt(row);
      return true;
    }
    startRow(row, plan);
    const std::string hidden = plan.workPath;
    const bool waitForAlbum = code == kConvertOk && plan.album >= 0 && plan.outputMeasured;
    if (code == kConvertOk && !waitForAlbum) code = publish(plan, code);
    nameTexts(plan, hidden);
    if (!plan.gainNote.empty()) log.Write(plan.gainNote + "\n\n");
    if (!plan.logNote.empty()) log.Write(plan.logNote + "\n\n");
    if (!plan.tagLog.empty()) log.Write(FormatText("\n%s\n\n---\n", plan.tagLog.c_str()));
    report.code = code;
    report.cause = CauseOfCode(code);
    if (code == kConvertOk) {
      report.outcome = RowOutcome::Done;
      report.destination = plan.destination;
      ++result.converted;
      if (waitForAlbum) plan.pending = true;
      finishAlbumAt(row);
      return true;
    }
    finishAlbumAt(row);
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
  steps.rowSeconds = [&list](int row) { return list.GetSeconds(row); };
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
  // Albums whose last row never came (a cancel, an abort): what was done gets its tags and names.
  for (AlbumPlan& album : albums) finishAlbum(album);
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
