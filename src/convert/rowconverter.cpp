#include "convert/rowconverter.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "app/paths.h"
#include "app/renamefile.h"
#include "app/showmessage.h"
#include "model/listcolumns.h"
#include "convert/convertfile.h"
#include "loudness/loudness.h"
#include "tags/storedtags.h"

namespace qv {
namespace {

// How far an encoded output's peak may lie above the limit (0.05 dB, the precision of a true
// peak estimate), and what a second encoding takes off besides the excess (0.1 dB).
constexpr double kPeakTolerance = 1.0057731;
constexpr double kPeakMargin = 0.98855309;

std::string Db(double factor) { return FormatFixed(20.0 * std::log10(factor), 2); }

void Note(RowWork& work, const std::string& text) {
  work.logNote += (work.logNote.empty() ? "" : "\n\n") + text;
}

// The ReplayGain pair of a gain in dB and a peak on the 16-bit scale, as players read them.
void AddPair(tags::FieldMap& fields, const char* which, double gainDb, double peak) {
  const std::string prefix = std::string("REPLAYGAIN_") + which;
  fields[prefix + "_GAIN"] = {FormatFixed(gainDb, 2) + " dB"};
  fields[prefix + "_PEAK"] = {FormatFixed(peak / kFullScale, 6)};
}

LoudnessResult MeasureOutput(const RowJob& row, const JobContext& job) {
  JobContext measuring;
  measuring.CancelRequested = job.CancelRequested;
  return MeasureFile(row.standard, row.workPath, InfoOf(row.standard).reference, measuring);
}

// A lossy encoder reshapes the waveform, so the output's peak may pass what the gain kept the
// source's to: the output is measured, and encoded again with the gain lowered by the excess
// (and 0.1 dB more) while it is above the limit. Returns the last measurement of the output
// (its code kLoudnessCannotRead when there is none to reuse).
LoudnessResult KeepPeakLimit(const RowJob& row, RowWork& work, JobContext& job) {
  LoudnessResult measured;
  measured.code = kLoudnessCannotRead;
  const bool r128 = row.standard == LoudnessStandard::R128;
  double gain = row.gain;
  for (int pass = 0; work.result.ok() && row.outputPeakLimit > 0.0; ++pass) {
    measured = MeasureOutput(row, job);
    if (measured.code != kLoudnessMeasured) break;
    const double over = measured.measurement.peak / row.outputPeakLimit;
    if (over <= kPeakTolerance) break;
    if (pass == 2) {
      Note(work, FormatText("After encoding, the %s is still %s dB above the limit.",
                            r128 ? "true peak" : "peak", Db(over).c_str()));
      break;
    }
    const double lowered = gain / over * kPeakMargin;
    Note(work, FormatText("After encoding, the %s was %s dB above the limit: encoded again with "
                          "the gain lowered from %s dB to %s dB.",
                          r128 ? "true peak" : "peak", Db(over).c_str(), Db(gain).c_str(),
                          Db(lowered).c_str()));
    gain = lowered;
    measured.code = kLoudnessCannotRead;
    if (::truncate(row.workPath.c_str(), 0) != 0) {
      work.result = {ConvertCode::WriteFailed, errno};
      break;
    }
    work.result = ConvertFile(row.decodePath, row.workPath, gain, row.formatKey, row.kbps,
                              row.faacPath, job, row.range, nullptr, row.known);
  }
  return measured;
}

// The output's own TRACK pair (what the player will play, lossy encoding and all), measured
// unless the peak check measured it already.
void MeasureForTags(const RowJob& row, LoudnessResult measured, RowWork& work,
                    const JobContext& job, tags::FieldMap& fields) {
  if (!tags::FormatHoldsTags(row.formatKey)) {
    Note(work, "No ReplayGain tags: this format holds no tags.");
    return;
  }
  if (measured.code != kLoudnessMeasured) measured = MeasureOutput(row, job);
  if (measured.code == kLoudnessMeasured) {
    work.output = std::move(measured.measurement);
    work.outputMeasured = true;
    AddPair(fields, "TRACK", InfoOf(row.standard).reference - work.output.volume,
            work.output.peak);
  } else if (measured.code == kLoudnessCancelled) {
    // The output itself is complete: it is published, only without the tags.
    Note(work, "No ReplayGain tags: cancelled before the output was measured.");
  } else {
    Note(work, "No ReplayGain tags: the output could not be measured." +
                   (measured.reason.empty() ? std::string() : " " + measured.reason));
  }
}

// The source's tags and the ReplayGain `fields` into the output; a failure fails the row.
// `container`: FFmpeg's view of the source's tags from the decoder, when it decoded the file
// whose tags are copied.
void CopyRowTags(const RowJob& row, const tags::FieldMap& fields,
                 const audio::ContainerMetadata* container, RowWork& work) {
  // The row's own source carries the tags (for a video, the video file, not its WAV), with the
  // row's own tags over them (a track of an album image: the sheet's).
  tags::FieldMap extra = row.copyTags ? row.rowTags : tags::FieldMap{};
  tags::Overlay(extra, fields);
  // The tags as read when planned, else as kept since the add (their cover found among the
  // decoder's pictures), else read from the file now.
  const tags::ReadResult* read = row.copyTags ? row.sourceTags.get() : nullptr;
  tags::ReadResult kept;
  if (row.copyTags && !read && tags::RestoreTags(row.fileTags, container, kept)) read = &kept;
  const tags::TagCopyResult copied =
      tags::CopyTags(row.copyTags ? row.sourcePath : std::string(), row.workPath, row.formatKey,
                     extra, row.keepWrittenTags ? &work.writtenTags : nullptr, container, read);
  if (copied.ok()) {
    work.tagLog = copied.logText;
  } else {
    work.result = {ConvertCode::TagsFailed, 0,
                   "Could not write the tags into the converted file (" + copied.error + ")"};
  }
}

}  // namespace

RowWork ConvertRow(const RowJob& row, JobContext& job) {
  RowWork work;
  // The decoder's reading of the container serves the tag copy when both read the same file
  // (not for a video, whose sound the decoder reads from an extracted WAV).
  audio::ContainerMetadata container;
  const bool decodesTagSource =
      row.copyTags && !row.sourceTags && row.decodePath == row.sourcePath;
  work.result = ConvertFile(row.decodePath, row.workPath, row.gain, row.formatKey, row.kbps,
                            row.faacPath, job, row.range,
                            decodesTagSource ? &container : nullptr, row.known);
  work.heldSeconds = job.ProcessedSeconds;
  work.sourceSeconds = job.SourceDuration;
  work.logNote = job.LogNote;
  LoudnessResult measured = KeepPeakLimit(row, work, job);
  tags::FieldMap fields;
  if (work.result.ok() && row.replayGainTags) {
    MeasureForTags(row, std::move(measured), work, job, fields);
  }
  if (work.result.ok() && (row.copyTags || !fields.empty())) {
    CopyRowTags(row, fields, container.opened ? &container : nullptr, work);
  }
  return work;
}

void FinishRow(const RowJob& row, RowWork& work) {
  // On the disk before it gets its name (an album's rows again after their album tags).
  const bool cancelled = work.result.code == ConvertCode::Cancelled;
  if ((work.result.ok() || cancelled) && !SyncFileToDisk(row.workPath) && errno != ENOENT) {
    work.result = {ConvertCode::WriteFailed, errno};
  }
  if (!work.result.ok() && work.result.code != ConvertCode::Cancelled) {
    work.errorText = ConversionErrorText(work.result);
  }
}

}  // namespace qv
