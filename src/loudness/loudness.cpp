#include "loudness/loudness.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "app/host.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "model/listcolumns.h"

namespace qv {
namespace {

// The one owner of a decoding stream: freed on every path out of AnalyzeFile.
class DecodeStream {
 public:
  explicit DecodeStream(const std::string& path)
      : m_handle(BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                       BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT)) {}
  ~DecodeStream() {
    if (m_handle != 0) BASS_StreamFree(m_handle);
  }
  DecodeStream(const DecodeStream&) = delete;
  DecodeStream& operator=(const DecodeStream&) = delete;

  HSTREAM Handle() const { return m_handle; }

 private:
  HSTREAM m_handle;
};

constexpr DWORD kEndOrError = 0xFFFFFFFFu;

// Whole seconds of the stream, 0 when the library does not know the length.
int WholeSeconds(HSTREAM stream) {
  const QWORD bytes = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
  if (bytes == static_cast<QWORD>(-1)) return 0;
  const double seconds = BASS_ChannelBytes2Seconds(stream, bytes);
  if (!(seconds > 0.0) || seconds > 2147483647.0) return 0;
  return static_cast<int>(seconds);
}

}  // namespace

LoudnessResult AnalyzeFile(LoudnessEngine& engine, const std::string& path, double target,
                           JobContext& job) {
  LoudnessResult result;
  DecodeStream stream(path);
  if (stream.Handle() == 0) return result;  // code 2

  BASS_CHANNELINFO info;
  if (!BASS_ChannelGetInfo(stream.Handle(), &info)) return result;
  if (info.chans != 1 && info.chans != 2) {
    result.code = kLoudnessUnsupported;
    return result;
  }
  const int channels = static_cast<int>(info.chans);
  job.ProcessedSeconds = 0;
  job.SourceDuration = WholeSeconds(stream.Handle());
  if (!engine.StartAnalysis(static_cast<int>(info.freq))) {
    result.code = kLoudnessUnsupported;
    return result;
  }

  // One second per block (the engine takes rates up to 96000 Hz).
  const std::size_t frames = info.freq;
  std::vector<float> block(frames * static_cast<std::size_t>(channels));
  std::vector<double> left(frames);
  std::vector<double> right(channels == 2 ? frames : 0);
  const auto blockBytes = static_cast<DWORD>(block.size() * sizeof(float));
  double peak = 0.0;
  bool ended = false;
  for (;;) {
    const DWORD bytes = BASS_ChannelGetData(stream.Handle(), block.data(),
                                            blockBytes | BASS_DATA_FLOAT);
    if (bytes == kEndOrError || bytes == 0) {
      ended = true;
      break;
    }
    std::size_t count = 0;
    if (channels == 1) {
      count = std::min<std::size_t>(bytes / sizeof(float), frames);
      for (std::size_t i = 0; i < count; ++i) {
        const double value = block[i] * kFullScale;
        left[i] = value;
        peak = std::max(peak, std::fabs(value));
      }
      engine.AnalyzeBlock(left.data(), nullptr, count, 1);
    } else {
      count = std::min<std::size_t>(bytes / sizeof(float) / 2, frames);
      for (std::size_t i = 0; i < count; ++i) {
        const double l = block[2 * i] * kFullScale;
        const double r = block[2 * i + 1] * kFullScale;
        left[i] = l;
        right[i] = r;
        peak = std::max(peak, std::max(std::fabs(l), std::fabs(r)));
      }
      engine.AnalyzeBlock(left.data(), right.data(), count, 2);
    }
    ++job.ProcessedSeconds;
    if (job.ProgressCallback) job.ProgressCallback(kAnalyzingText);
    if (job.Cancelled()) break;
  }
  result.peak = peak;
  if (job.CancelRequested && job.CancelRequested->load() != 0) {
    engine.TakeTitleGain();  // leaves the engine clean for the next file
    result.code = kLoudnessCancelled;
    return result;
  }
  const double titleGain = engine.TakeTitleGain();
  if (ended) {
    // The end of the file, or a disk that failed or damaged data that stopped decoding in the
    // middle: a measurement of part of the file would be reported as the file's loudness.
    audio::DecodeReport report;
    if (!QV_ChannelGetDecodeReport(stream.Handle(), &report)) return result;  // code 2
    const QWORD length = BASS_ChannelGetLength(stream.Handle(), BASS_POS_BYTE);
    const std::int64_t lengthFrames =
        length == static_cast<QWORD>(-1) ? -1
                                         : static_cast<std::int64_t>(length / (4u * info.chans));
    const audio::DecodeVerdict verdict =
        audio::JudgeDecode(report, static_cast<int>(info.freq), lengthFrames);
    result.reason = verdict.text;
    if (report.stoppedEarly && report.stopError == BASS_ERROR_READ) return result;  // code 2
    if (!verdict.complete) {
      result.code = kLoudnessDamaged;
      return result;
    }
  }
  if (titleGain == NotEnoughSamples) {
    result.code = kLoudnessTooShort;
    return result;
  }
  result.code = kLoudnessMeasured;
  result.volume = kReferenceVolume - titleGain;
  result.trackGain = titleGain + (target - kReferenceVolume);
  result.clipping = peak >= kFullScale ? 1 : 0;
  return result;
}

LoudnessResult AnalyzeFile(const std::string& path, double target, JobContext& job) {
  auto engine = std::make_unique<LoudnessEngine>();
  return AnalyzeFile(*engine, path, target, job);
}

int CalculateLoudness(QVListItem& item, double target, JobContext& job, LoudnessEngine& engine) {
  const std::string& path = item.GetDecodePath();
  if (path.empty()) return kLoudnessCannotRead;
  const LoudnessResult result = AnalyzeFile(engine, path, target, job);
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
  const double trackGain = item->trackGain;
  const int clipTrack = item->clipTrack;
  list.SetCellText(row, kColVolume, FormatDbCell(volume));
  list.SetCellText(row, kColClipping, FormatYesNoCell(clipping));
  list.SetCellText(row, kColTrackGain, FormatDbCell(trackGain));
  list.SetCellText(row, kColClipTrack, FormatYesNoCell(clipTrack));
}

void RunLoudnessBatch(BatchHost& host, SourceList& list,
                      BatchState& state, LoudnessEngine& engine,
                      const LoudnessBatchOptions& options) {
  state.BatchFileCount = list.RowCount();
  if (state.BatchFileCount == 0) {
    ShowMessage(&host, 0, {}, MB_OK,
                "No Audio Files have been added to the Convert List.  Please add some Audio "
                "Files first, thanks.");
    return;
  }
  BatchLog log;
  if (!log.Open(options.logPath)) {
    ShowMessage(&host, 0, {}, MB_OK,
                "Unable to create the Log File:\n\n   %s\n\nSorry, can't continue.",
                options.logPath.c_str());
    return;
  }
  BeginBatch(state, host, kBatchFileAnalysis);
  state.BatchFileIndex = 0;
  // What each row needs, read on this thread before its worker starts; the worker writes only
  // its own result. One worker measures with the caller's engine, more with an engine each.
  struct RowPlan {
    bool measure = false;
    std::string path;
    LoudnessResult result;
  };
  const int workers = std::max(1, options.jobs);
  std::vector<RowPlan> plans(static_cast<size_t>(state.BatchFileCount));
  RowJobSteps steps;
  steps.prepare = [&](int row) {
    // The batch layout keeps rows from being added or removed; the bound is checked anyway.
    if (row >= list.RowCount()) return false;
    const QVListItem* item = list.Item(row);
    RowPlan& plan = plans[static_cast<size_t>(row)];
    plan.measure = item && item->hasLoudness != 1;
    if (plan.measure) plan.path = item->GetDecodePath();
    return true;
  };
  steps.work = [&](int row, JobContext& job) {
    RowPlan& plan = plans[static_cast<size_t>(row)];
    if (!plan.measure) return static_cast<int>(kLoudnessMeasured);
    if (plan.path.empty()) {
      plan.result.code = kLoudnessCannotRead;
    } else if (workers == 1) {
      plan.result = AnalyzeFile(engine, plan.path, options.target, job);
    } else {
      auto rowEngine = std::make_unique<LoudnessEngine>();
      plan.result = AnalyzeFile(*rowEngine, plan.path, options.target, job);
    }
    return plan.result.code;
  };
  steps.commit = [&](int row, int code) {
    state.BatchFileIndex = row;
    log.Write(FormatText("\n--- Calculate Loudness # %d ---\n\n", row + 1));
    log.Write(FormatText("%s\n\n", list.GetSourcePath(row).c_str()));
    const RowPlan& plan = plans[static_cast<size_t>(row)];
    if (!plan.measure) return true;
    if (code == kLoudnessCancelled) return false;
    QVListItem* item = list.Item(row);
    if (item && code == kLoudnessMeasured) {
      item->SetLoudness(plan.result.volume, plan.result.trackGain, plan.result.peak,
                        plan.result.clipping);
    }
    if (!plan.result.reason.empty()) {
      log.Write(code == kLoudnessMeasured
                    ? plan.result.reason + "\n\n"
                    : "Not measured: " + plan.result.reason + "\n\n");
    }
    WriteLoudnessCells(list, row);
    return true;
  };
  steps.progress = [&](const RowJobProgress& progress) {
    if (progress.lowestRow < 0) return;
    state.BatchFileIndex = progress.lowestRow;
    host.SetStatusText(workers == 1 || state.BatchFileCount == 1 ? ProgressText(kAnalyzingText, state, progress.lowest)
                                    : ParallelProgressText(kAnalyzingText, progress));
  };
  const RowJobsOutcome outcome = RunRowJobs(state.BatchFileCount, workers, host, state, steps);
  if (!outcome.startError.empty()) {
    ShowMessage(&host, 0, log.Path(), MB_OK | MB_ICONERROR,
                "Could not start measuring another file at once (%s).  The batch was stopped; "
                "the files not measured yet were left alone.  Try fewer Files at once.",
                outcome.startError.c_str());
  }
  log.Close();
  EndBatch(state, host);
}

void RetargetRows(SourceList& list, double target) {
  for (int row = 0; row < list.RowCount(); ++row) {
    QVListItem* item = list.Item(row);
    if (!item || item->hasLoudness != 1) continue;
    item->ApplyTarget(target);
    const double trackGain = item->trackGain;
    const int clipTrack = item->clipTrack;
    list.SetCellText(row, kColTrackGain, FormatDbCell(trackGain));
    list.SetCellText(row, kColClipTrack, FormatYesNoCell(clipTrack));
  }
}

}  // namespace qv
