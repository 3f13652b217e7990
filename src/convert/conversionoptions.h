#pragma once
// What a conversion batch is asked to do, as values.

#include <functional>
#include <string>

#include "model/qvlistitem.h"

namespace qv {

struct ConversionRowReport;
class BatchLog;

// What happens to an output name that an earlier file already has.
enum class ExistingChoice {
  Number,   // the new output gets the first free numbered name (-COPY000001)
  Skip,     // a complete earlier conversion skips the row; otherwise as Number
  Replace,  // the new output takes the old file's place once it is complete
  Update,   // as Skip for a complete conversion not older than its source; else as Replace
};
// "number", "skip", "replace", "update" (any case); false for anything else.
bool ExistingChoiceFromKey(const std::string& key, ExistingChoice& choice);
const char* KeyOfExistingChoice(ExistingChoice choice);

// What a conversion batch is asked to do, as values: the window fills it from its controls, the
// command-line front end from its arguments.
struct ConversionOptions {
  std::string formatKey;          // the format's name in any case: "wav", "MP3", ...
  int kbps = 0;                   // the chosen bitrate; not read for WAV
  bool sameFolder = false;        // each output beside its source
  bool skipProblemFiles = false;  // a failed file is only logged (quiet mode)
  std::string destinationFolder;  // the Save To text, used when sameFolder is off
  bool normalize = false;         // apply each row's gain factor
  std::string faacPath;           // the AAC encoder program
  std::string logPath;            // QV_Log.txt
  // A log the caller keeps open across batches (the window's): the batch empties and writes it
  // and leaves it open. Null: the batch opens its own and closes it at its end.
  BatchLog* heldLog = nullptr;
  // Opens the log for the user (the answer Yes to the question at the end); may be empty.
  std::function<void(const std::string& logPath)> openLog;
  // The numbered names tried for a taken destination before the file fails.
  int maxNumberedCopies = 999999;
  // Carry each source's tags and front cover into its output (the window always does).
  bool copyTags = true;
  // How many files are converted at once (worker threads of the row pipeline; 1 is the same
  // pipeline with one worker). Names, log records, messages and the selection are committed in
  // row order on the calling thread whatever the number.
  int jobs = 1;
  // The sub-folder below the destination folder that a row's output goes to ("" or empty
  // function: the destination itself), relative, created as needed. Not read with sameFolder.
  std::function<std::string(int row)> rowSubfolder;
  // A row whose plain output name is a non-empty file not older than its source, and that was
  // there before the batch started, is skipped (the library converted before). The same as
  // existing = Skip.
  bool skipExisting = false;
  // What happens when a row's output name is taken by a file from before the batch. Replace and
  // Update never touch a file this batch wrote (those clashes are numbered) nor one of the
  // batch's sources (compared by device and inode: that row gets a numbered name).
  ExistingChoice existing = ExistingChoice::Number;
  // Output names from tags ("{albumartist}/{album}/{track:02} {title}", see nametemplate.h),
  // below the destination (or the source's folder with sameFolder); empty for the source's
  // own name. With a template, rowSubfolder gives {folder} instead of a sub-folder.
  std::string namePattern;
  // Names also avoid what FAT and exFAT refuse (\ : * ? " < > |), for players and phones.
  bool portableNames = false;
  // The loudness standard the rows were measured in, and album gain instead of track gain:
  // both for the gains applied (each row's AppliedGainFactor, which keeps to the peak limit)
  // and for the ReplayGain tags.
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  bool byAlbum = false;
  // Each output is measured after it is written and gets REPLAYGAIN_TRACK_GAIN and _PEAK (with
  // byAlbum also the ALBUM pair, over the outputs of its album in this batch), relative to the
  // standard's reference level. The album's outputs get their names once the album's last row
  // is done, so no file under its final name lacks its album tags.
  bool replayGainTags = false;
  // Called on the calling thread once the rows are done, before the end-of-batch question, so
  // the window's status line tells how the batch ended while the question is open. May be
  // empty.
  std::function<void(const struct ConversionBatchResult& result)> ended;
  // Called on the calling thread as each row is committed (in row order), with how it ended;
  // may be empty. The command line prints its per-file lines from it.
  std::function<void(int row, const ConversionRowReport& report)> rowCommitted;
};

}  // namespace qv
