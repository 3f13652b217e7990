#include "loudness/loudness.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "app/host.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/ownedstream.h"
#include "audio/speakers.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "model/listcolumns.h"
#include "app/paths.h"
#include "loudness/r128engine.h"
#include "loudness/targettext.h"
#include "tags/storedtags.h"
#include "tags/tags.h"

namespace qv {
namespace {

constexpr DWORD kEndOrError = 0xFFFFFFFFu;

// Decodes `path` one second at a time as interleaved floats. `start(rate, channels, speakers)`
// (the speakers as AV_CH_* bits, 0 unknown) says
// whether the measurement takes the stream (false: code 1), `block(samples, frames)` takes each
// block. Returns the code: kLoudnessMeasured when the whole file was read (the caller then
// finishes its measurement), or 1, 2, 3, 100; `reason` as in LoudnessResult.
template <typename Start, typename Block>
int DecodeForMeasurement(const std::string& path, const audio::FrameRange& range,
                         const audio::KnownLength& known, JobContext& job, Start start,
                         Block block, std::string& reason) {
  const OwnedStream stream(OpenFloatDecoder(path, range, known));
  if (!stream) {
    const std::string why = QV_OpenFailureText();
    reason = "Can't open the file" + (why.empty() ? std::string() : " - " + why);
    return kLoudnessCannotRead;
  }
  BASS_CHANNELINFO info;
  if (!BASS_ChannelGetInfo(stream.get(), &info)) return kLoudnessCannotRead;
  const int channels = static_cast<int>(info.chans);
  job.ProcessedSeconds = 0;
  job.SourceDuration = StreamSeconds(stream.get());
  QV_SOURCEINFO source;
  const std::uint64_t speakers =
      QV_ChannelGetSourceInfo(stream.get(), &source) ? source.channelMask : 0;
  if (channels < 1 || !start(static_cast<int>(info.freq), channels, speakers)) {
    reason = FormatText("This loudness standard cannot measure %d channel%s at %u Hz", channels,
                        channels == 1 ? "" : "s", info.freq);
    return kLoudnessUnsupported;
  }

  const std::size_t frames = info.freq;
  std::vector<float> samples(frames * static_cast<std::size_t>(channels));
  const auto blockBytes = static_cast<DWORD>(samples.size() * sizeof(float));
  bool ended = false;
  for (;;) {
    const DWORD bytes = BASS_ChannelGetData(stream.get(), samples.data(),
                                            blockBytes | BASS_DATA_FLOAT);
    if (bytes == kEndOrError || bytes == 0) {
      ended = true;
      break;
    }
    block(samples.data(), std::min<std::size_t>(bytes / sizeof(float) / channels, frames));
    ++job.ProcessedSeconds;
    if (job.ProgressCallback) job.ProgressCallback(kAnalyzingText);
    if (job.Cancelled()) break;
  }
  if (job.CancelRequested && job.CancelRequested->load() != 0) return kLoudnessCancelled;
  if (!ended) return kLoudnessMeasured;
  // The end of the file, or a disk that failed or damaged data that stopped decoding in the
  // middle: a measurement of part of the file would be reported as the file's loudness.
  audio::DecodeReport report;
  if (!QV_ChannelGetDecodeReport(stream.get(), &report)) return kLoudnessCannotRead;
  const QWORD length = BASS_ChannelGetLength(stream.get(), BASS_POS_BYTE);
  const std::int64_t lengthFrames =
      length == static_cast<QWORD>(-1) ? -1
                                       : static_cast<std::int64_t>(length / (4u * info.chans));
  const audio::DecodeVerdict verdict =
      audio::JudgeDecode(report, static_cast<int>(info.freq), lengthFrames);
  reason = verdict.text;
  if (report.stoppedEarly && report.stopError == BASS_ERROR_READ) return kLoudnessCannotRead;
  if (!verdict.complete) return kLoudnessDamaged;
  return kLoudnessMeasured;
}

LoudnessResult AnalyzeReplayGain(LoudnessEngine& engine, const std::string& path, double target,
                                 JobContext& job, const audio::FrameRange& range,
                                 const audio::KnownLength& known = {}) {
  LoudnessResult result;
  // The engine's filters take the samples on the 16-bit scale, one array per channel.
  std::vector<double> left;
  std::vector<double> right;
  int channels = 0;
  double peak = 0.0;
  // More than two channels are measured as their stereo downmix, the one MP3 and WMA files
  // get: two rows of coefficients.
  std::vector<double> mix;
  const auto start = [&](int rate, int chans, std::uint64_t speakers) {
    if (chans > 2) {
      mix = audio::StereoMixMatrix(chans, speakers);
      if (mix.empty()) return false;
    }
    if (!engine.StartAnalysis(rate)) return false;
    channels = chans;
    left.resize(static_cast<std::size_t>(rate));
    right.resize(chans >= 2 ? static_cast<std::size_t>(rate) : 0);
    return true;
  };
  const auto block = [&](const float* samples, std::size_t count) {
    if (channels == 1) {
      for (std::size_t i = 0; i < count; ++i) {
        const double value = samples[i] * kFullScale;
        left[i] = value;
        peak = std::max(peak, std::fabs(value));
      }
      engine.AnalyzeBlock(left.data(), nullptr, count, 1);
      return;
    }
    const auto ch = static_cast<std::size_t>(channels);
    for (std::size_t i = 0; i < count; ++i) {
      const float* frame = samples + i * ch;
      double l = frame[0];
      double r = frame[1];
      if (ch > 2) {
        l = r = 0.0;
        for (std::size_t c = 0; c < ch; ++c) {
          l += mix[c] * frame[c];
          r += mix[ch + c] * frame[c];
        }
      }
      left[i] = l * kFullScale;
      right[i] = r * kFullScale;
      peak = std::max(peak, std::max(std::fabs(left[i]), std::fabs(right[i])));
    }
    engine.AnalyzeBlock(left.data(), right.data(), count, 2);
  };
  const int code = DecodeForMeasurement(path, range, known, job, start, block, result.reason);
  result.peak = peak;
  std::vector<std::uint32_t> levels;
  // Taken on every path that started, so the engine is clean for the next file.
  const double titleGain = channels != 0 ? engine.TakeTitleGain(&levels) : NotEnoughSamples;
  if (code != kLoudnessMeasured) {
    result.code = code;
    return result;
  }
  if (titleGain == NotEnoughSamples) {
    result.code = kLoudnessTooShort;
    result.reason = "The file is too short to measure: it holds less than 50 ms of audio";
    return result;
  }
  result.code = kLoudnessMeasured;
  result.volume = kReferenceVolume - titleGain;
  result.trackGain = titleGain + (target - kReferenceVolume);
  result.clipping = peak >= kFullScale ? 1 : 0;
  result.measurement.measured = true;
  result.measurement.volume = result.volume;
  result.measurement.peak = peak;
  result.measurement.clipping = result.clipping;
  result.measurement.levels = std::move(levels);
  return result;
}

LoudnessResult AnalyzeR128(const std::string& path, double target, JobContext& job,
                           const audio::FrameRange& range, const audio::KnownLength& known) {
  LoudnessResult result;
  auto engine = std::make_unique<R128Engine>();
  const auto start = [&](int rate, int channels, std::uint64_t speakers) {
    return engine->Start(rate, channels, speakers);
  };
  const auto block = [&](const float* samples, std::size_t frames) {
    engine->AddFrames(samples, frames);
  };
  const int code = DecodeForMeasurement(path, range, known, job, start, block, result.reason);
  if (code != kLoudnessMeasured) {
    result.code = code;
    return result;
  }
  R128Measurement m = engine->Finish();
  result.peak = m.truePeak * kFullScale;
  if (!m.enoughSamples) {
    result.code = kLoudnessTooShort;
    result.reason = "The file is too short to measure: it holds less than 400 ms of audio";
    return result;
  }
  if (!std::isfinite(m.integrated)) {
    result.code = kLoudnessSilent;
    if (result.reason.empty()) {
      result.reason = "The file is silent: every part lies below -70 LUFS.";
    }
    return result;
  }
  result.code = kLoudnessMeasured;
  result.volume = m.integrated;
  result.trackGain = target - m.integrated;
  result.clipping = m.samplePeak >= 1.0 ? 1 : 0;
  result.measurement.measured = true;
  result.measurement.volume = m.integrated;
  result.measurement.peak = result.peak;
  result.measurement.clipping = result.clipping;
  result.measurement.range = m.range;
  result.measurement.blocks = std::move(m.gatedBlocks);
  return result;
}

// Writes the track gain and its clipping of `item`, and the album gain when it has an album.
void WriteGainCells(SourceList& list, int row, const QVListItem& item) {
  // Copies: SetCellText notifies the view, which may read the record again.
  const double trackGain = item.trackGain;
  const int clipTrack = item.clipTrack;
  const bool hasAlbum = item.hasAlbum;
  const double albumGain = item.albumGain;
  list.SetCellText(row, kColTrackGain, FormatDbCell(trackGain));
  list.SetCellText(row, kColClipTrack, FormatYesNoCell(clipTrack));
  if (hasAlbum) list.SetCellText(row, kColAlbumGain, FormatDbCell(albumGain));
}

}  // namespace

const StandardInfo& InfoOf(LoudnessStandard standard) {
  static const StandardInfo kInfo[kLoudnessStandards] = {
      {"replaygain1", "ReplayGain 1.0", "dB", kReferenceVolume, kMinimumTarget, kMaximumTarget,
       kReferenceVolume, 0.0},
      {"r128", "EBU R128", "LUFS", kReferenceLoudness, -70.0, 0.0, kReferenceLoudness, -1.0},
  };
  return kInfo[standard == LoudnessStandard::R128 ? 1 : 0];
}

bool StandardFromKey(const std::string& key, LoudnessStandard& standard) {
  std::string lower = key;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (int i = 0; i < kLoudnessStandards; ++i) {
    const auto candidate = static_cast<LoudnessStandard>(i);
    if (lower == InfoOf(candidate).key) {
      standard = candidate;
      return true;
    }
  }
  return false;
}

LoudnessResult MeasureFile(LoudnessStandard standard, const std::string& path, double target,
                           JobContext& job, LoudnessEngine* engine,
                           const audio::FrameRange& range, const audio::KnownLength& known) {
  if (standard == LoudnessStandard::R128) return AnalyzeR128(path, target, job, range, known);
  if (engine) return AnalyzeReplayGain(*engine, path, target, job, range, known);
  auto own = std::make_unique<LoudnessEngine>();
  return AnalyzeReplayGain(*own, path, target, job, range, known);
}

LoudnessResult AnalyzeFile(LoudnessEngine& engine, const std::string& path, double target,
                           JobContext& job) {
  return AnalyzeReplayGain(engine, path, target, job, {});
}

LoudnessResult AnalyzeFile(const std::string& path, double target, JobContext& job) {
  return MeasureFile(LoudnessStandard::ReplayGain1, path, target, job);
}

double PeakLimitOnScale(double peakLimitDb) {
  return kFullScale * std::pow(10.0, peakLimitDb / 20.0);
}

std::string MeasurementText(LoudnessStandard standard, const RowMeasurement& m) {
  const double peakDb = m.peak > 0.0 ? 20.0 * std::log10(m.peak / kFullScale) : -HUGE_VAL;
  const std::string peak = std::isfinite(peakDb) ? FormatFixed(peakDb, 2) : "-inf";
  if (standard == LoudnessStandard::R128) {
    return "Loudness: " + FormatFixed(m.volume, 2) + " LUFS, range " + FormatFixed(m.range, 1) +
           " LU, true peak " + peak + " dBTP";
  }
  return "Volume: " + FormatFixed(m.volume, 2) + " dB, peak " + peak + " dBFS";
}

std::string AlbumKeyOf(const std::string& sourcePath, const tags::FieldMap& rowTags,
                       const SourceTags* fileTags) {
  tags::FieldMap fields;
  if (!fileTags || !tags::RestoreFields(*fileTags, fields)) {
    fields = tags::ReadTags(sourcePath).tags.fields;
  }
  tags::Overlay(fields, rowTags);
  const auto first = [&fields](const char* key) {
    const auto it = fields.find(key);
    return it == fields.end() || it->second.empty() ? std::string() : it->second[0];
  };
  const std::string album = first("ALBUM");
  if (album.empty()) return "folder\x1f" + GetFolderPart(sourcePath);
  std::string artist = first("ALBUMARTIST");
  if (artist.empty()) artist = first("ARTIST");
  return "album\x1f" + album + "\x1f" + artist;
}

double AlbumVolume(LoudnessStandard standard,
                   const std::vector<const RowMeasurement*>& titles) {
  if (standard == LoudnessStandard::R128) {
    std::vector<const std::vector<float>*> blocks;
    for (const RowMeasurement* title : titles) blocks.push_back(&title->blocks);
    return AlbumLoudness(blocks);
  }
  std::vector<const std::vector<std::uint32_t>*> levels;
  for (const RowMeasurement* title : titles) levels.push_back(&title->levels);
  const double gain = AlbumTitleGain(levels);
  return gain == NotEnoughSamples ? -HUGE_VAL : kReferenceVolume - gain;
}

void UpdateAlbums(SourceList& list, double target) {
  std::map<std::string, std::vector<QVListItem*>> albums;
  for (int row = 0; row < list.RowCount(); ++row) {
    QVListItem* item = list.Item(row);
    if (!item) continue;
    item->hasAlbum = false;
    const bool silent = item->measurements[item->Shown()].silent;
    if (item->hasLoudness == 1 || silent) albums[item->albumKey].push_back(item);
  }
  for (auto& [key, items] : albums) {
    const LoudnessStandard standard = items.front()->standard;
    std::vector<const RowMeasurement*> titles;
    for (const QVListItem* item : items) {
      // A silent row adds nothing to the album's loudness (all its blocks are gated out).
      const RowMeasurement& m = item->measurements[static_cast<int>(standard)];
      if (m.measured) titles.push_back(&m);
    }
    const double volume = AlbumVolume(standard, titles);
    if (!std::isfinite(volume)) continue;
    double peak = 0.0;
    for (const QVListItem* item : items) peak = std::max(peak, item->peak);
    for (QVListItem* item : items) {
      item->hasAlbum = true;
      item->albumVolume = volume;
      item->albumPeak = peak;
      item->ApplyTarget(target);
    }
  }
  // Only the cells an album changes: a batch leaves the other cells of rows it did not measure.
  for (int row = 0; row < list.RowCount(); ++row) {
    const QVListItem* item = list.Item(row);
    if (!item || (item->hasLoudness != 1 && !item->hasAlbum)) continue;
    const bool hasAlbum = item->hasAlbum;
    const double albumGain = item->albumGain;
    const int clipTrack = item->clipTrack;
    list.SetCellText(row, kColAlbumGain, hasAlbum ? FormatDbCell(albumGain) : std::string());
    list.SetCellText(row, kColClipTrack, FormatYesNoCell(clipTrack));
  }
}

void SetNormalizationView(SourceList& list, LoudnessStandard standard, bool byAlbum,
                          double peakLimitDb, double target) {
  const double limit = PeakLimitOnScale(peakLimitDb);
  for (int row = 0; row < list.RowCount(); ++row) {
    QVListItem* item = list.Item(row);
    if (!item) continue;
    item->SetNormalizationView(standard, byAlbum, limit, target);
    if (item->hasLoudness == 1) {
      WriteLoudnessCells(list, row);
      continue;
    }
    for (const int column :
         {kColVolume, kColClipping, kColTrackGain, kColClipTrack, kColAlbumGain}) {
      list.SetCellText(row, column, std::string());
    }
  }
  UpdateAlbums(list, target);
}

int CalculateLoudness(QVListItem& item, double target, JobContext& job, LoudnessEngine& engine) {
  const std::string& path = item.GetDecodePath();
  if (path.empty()) return kLoudnessCannotRead;
  const LoudnessResult result = AnalyzeReplayGain(engine, path, target, job,
                                                  FramesOf(item.range, item.facts.rate));
  if (result.code == kLoudnessMeasured) {
    item.SetLoudness(result.volume, result.trackGain, result.peak, result.clipping);
  }
  return result.code;
}

void WriteLoudnessCells(SourceList& list, int row) {
  const QVListItem* item = list.Item(row);
  if (!item) return;
  // Copies: SetCellText notifies the view, which may read the record again.
  const double volume = item->volume;
  const int clipping = item->clipping;
  list.SetCellText(row, kColVolume, FormatDbCell(volume));
  list.SetCellText(row, kColClipping, FormatYesNoCell(clipping));
  WriteGainCells(list, row, *item);
  if (!item->hasAlbum) list.SetCellText(row, kColAlbumGain, std::string());
}

namespace {

// What each row of a loudness batch needs, read on the calling thread before its worker
// starts; the worker writes only its own result. One worker measures with the caller's engine,
// more with an engine each.
struct MeasureRow {
  bool measure = false;
  std::string path;
  audio::FrameRange range;
  audio::KnownLength known;  // the file's length as its add measured it
  std::string sourcePath;
  tags::FieldMap rowTags;
  SourceTags fileTags;
  std::string albumKey;
  LoudnessResult result;
};

// A row's measurement, committed in row order: its log records, its record and cells. False
// for a cancelled row (the batch ends there).
bool CommitMeasurement(SourceList& list, BatchLog& log, const LoudnessBatchOptions& options,
                       int row, int code, MeasureRow& plan, LoudnessBatchResult& result) {
  log.Write(FormatText("\n--- Calculate Loudness # %d ---\n\n", row + 1));
  log.Write(FormatText("%s\n\n", list.GetSourcePath(row).c_str()));
  if (!plan.measure) return true;
  if (code == kLoudnessCancelled) return false;
  if (code == kLoudnessMeasured) {
    ++result.measured;
  } else if (code == kLoudnessSilent) {
    ++result.silent;
  } else {
    ++result.failed;
  }
  QVListItem* item = list.Item(row);
  if (item && code == kLoudnessMeasured) {
    item->albumKey = plan.albumKey;
    log.Write(MeasurementText(options.standard, plan.result.measurement) + "\n\n");
    item->StoreMeasurement(options.standard, std::move(plan.result.measurement), options.target);
  } else if (item && code == kLoudnessSilent) {
    item->albumKey = plan.albumKey;  // no gain of its own, but its album's
    item->measurements[static_cast<int>(options.standard)].silent = true;
  }
  if (!plan.result.reason.empty()) {
    log.Write(code == kLoudnessMeasured ? plan.result.reason + "\n\n"
                                        : "Not measured: " + plan.result.reason + "\n\n");
  }
  if (code != kLoudnessMeasured && code != kLoudnessSilent) {
    result.notMeasured.push_back({row, plan.result.reason});
  }
  WriteLoudnessCells(list, row);
  return true;
}

}  // namespace

LoudnessBatchResult RunLoudnessBatch(BatchHost& host, SourceList& list, BatchState& state,
                                     LoudnessEngine& engine, const LoudnessBatchOptions& options) {
  LoudnessBatchResult result;
  state.BatchFileCount = list.RowCount();
  if (state.BatchFileCount == 0) {
    ShowMessage(&host, 0, {}, MB_OK,
                "No Audio Files have been added to the Convert List.  Please add some Audio "
                "Files first, thanks.");
    return result;
  }
  BatchLog ownLog;
  BatchLog& log = options.heldLog ? *options.heldLog : ownLog;
  if (!log.Open(options.logPath)) {
    ShowMessage(&host, 0, {}, MB_OK,
                "Unable to create the Log File:\n\n   %s\n\nSorry, can't continue.",
                options.logPath.c_str());
    return result;
  }
  result.started = true;
  for (int row = 0; row < state.BatchFileCount; ++row) {
    if (const QVListItem* item = list.Item(row); item && item->hasLoudness != 1) {
      ++result.toMeasure;
    }
  }
  BeginBatch(state, host, kBatchFileAnalysis);
  state.BatchFileIndex = 0;
  const int workers = std::max(1, options.jobs);
  std::vector<MeasureRow> plans(static_cast<size_t>(state.BatchFileCount));
  RowJobSteps steps;
  steps.prepare = [&](int row) {
    // The batch layout keeps rows from being added or removed; the bound is checked anyway.
    if (row >= list.RowCount()) return false;
    const QVListItem* item = list.Item(row);
    MeasureRow& plan = plans[static_cast<size_t>(row)];
    const RowMeasurement* known =
        item ? &item->measurements[static_cast<int>(options.standard)] : nullptr;
    plan.measure = known && !known->measured && !known->silent;
    if (plan.measure) {
      plan.path = item->GetDecodePath();
      plan.range = FramesOf(item->range, item->facts.rate);
      plan.known = KnownLengthOf(*item);
      plan.sourcePath = item->sourcePath;
      plan.rowTags = item->tags;
      plan.fileTags = item->facts.fileTags;
      plan.albumKey = item->albumKey;  // read once per row, shared with the album gate
    }
    return true;
  };
  steps.work = [&](int row, JobContext& job) {
    MeasureRow& plan = plans[static_cast<size_t>(row)];
    if (!plan.measure) return static_cast<int>(kLoudnessMeasured);
    if (plan.path.empty()) {
      plan.result.code = kLoudnessCannotRead;
      plan.result.reason = "The row has no file to measure";
    } else {
      // One worker measures with the caller's engine, more with an engine each.
      plan.result = MeasureFile(options.standard, plan.path, options.target, job,
                                workers == 1 ? &engine : nullptr, plan.range, plan.known);
    }
    // The album is read from the row's own source (for a video, the video file), unless the
    // row knows it already.
    if (plan.albumKey.empty() &&
        (plan.result.code == kLoudnessMeasured || plan.result.code == kLoudnessSilent)) {
      plan.albumKey = AlbumKeyOf(plan.sourcePath, plan.rowTags, &plan.fileTags);
    }
    return plan.result.code;
  };
  steps.commit = [&](int row, int code) {
    state.BatchFileIndex = row;
    return CommitMeasurement(list, log, options, row, code, plans[static_cast<size_t>(row)],
                             result);
  };
  steps.rowSeconds = [&list](int row) { return list.GetSeconds(row); };
  steps.progress = [&](const RowJobProgress& progress) {
    if (progress.lowestRow < 0) return;
    state.BatchFileIndex = progress.lowestRow;
    host.ShowProgress(ProgressOf(kAnalyzingText, workers == 1 || state.BatchFileCount == 1,
                                 state, progress));
  };
  const RowJobsOutcome outcome = RunRowJobs(state.BatchFileCount, workers, host, state, steps);
  if (!outcome.startError.empty()) {
    ShowMessage(&host, 0, log.Path(), MB_OK | MB_ICONERROR,
                "Could not start measuring another file at once (%s).  The batch was stopped; "
                "the files not measured yet were left alone.  Try fewer Files at once.",
                outcome.startError.c_str());
  }
  ownLog.Close();
  // Albums are computed once all their rows are in, however many were measured at once.
  UpdateAlbums(list, options.target);
  result.cancelled = state.CancelRequested.load() == 1;
  EndBatch(state, host);
  return result;
}

void RetargetRows(SourceList& list, double target) {
  for (int row = 0; row < list.RowCount(); ++row) {
    QVListItem* item = list.Item(row);
    if (!item) continue;
    if (item->hasLoudness != 1) {
      // A silent row of an album has the album's gain only.
      if (!item->hasAlbum) continue;
      item->ApplyTarget(target);
      const double albumGain = item->albumGain;
      list.SetCellText(row, kColAlbumGain, FormatDbCell(albumGain));
      continue;
    }
    item->ApplyTarget(target);
    WriteGainCells(list, row, *item);
  }
}

}  // namespace qv
