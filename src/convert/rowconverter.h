#pragma once
// The row converter: the work one row of a conversion batch does on a worker thread, into the
// row's hidden output file: decode and encode with the planned gain, encode again while a
// lossy output's peak passes the limit, measure the output for its ReplayGain tags, carry the
// tags over, and put the data on the disk. It touches only its own job and its own file, so
// rows run side by side; naming and publishing the file is the publisher's.

#include <memory>
#include <string>

#include "convert/convertfile.h"
#include "model/batchstate.h"
#include "model/qvlistitem.h"
#include "tags/tags.h"

namespace qv {

// What a worker needs of its row, fixed before it starts.
struct RowJob {
  std::string decodePath;  // the file decoded (an extracted video's temporary WAV)
  std::string sourcePath;  // the file whose tags the output gets
  std::string workPath;    // the hidden output file
  std::string formatKey;
  int kbps = 0;
  std::string faacPath;
  double gain = 1.0;
  double outputPeakLimit = 0.0;  // 0: no check of the encoded output's peak
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  bool replayGainTags = false;
  bool copyTags = true;
  bool keepWrittenTags = false;  // an album's row: its album pair comes later
  audio::FrameRange range;       // the part of the source the row stands for
  tags::FieldMap rowTags;        // the row's own tags, over the source's (QVListItem::tags)
  // The source's tags as read when the row was planned (its name needed them); null: the tag
  // copy takes them from `fileTags`, or reads them.
  std::shared_ptr<const tags::ReadResult> sourceTags;
  SourceTags fileTags;  // the source's tags kept since the add (SourceFacts::fileTags)
  audio::KnownLength known;  // the decoded file's length as its add measured it
};

// What the row's work ended with: its result, and `errorText` the user's text of a failure,
// naming the output by its hidden name.
struct RowWork {
  ConvertResult result;
  std::string errorText;
  std::string logNote;  // damaged data, a lowered rate, a second encoding, missing tags
  std::string tagLog;   // what the tag copy had to say
  int heldSeconds = 0;  // what the output holds, and the source's length (for a cancel)
  int sourceSeconds = 0;
  RowMeasurement output;  // the output's own measurement, for the ReplayGain tags
  bool outputMeasured = false;
  tags::TagSet writtenTags;  // with keepWrittenTags
};

// The row's work up to its last step: the encoding, the peak check, the measurement, the tags.
RowWork ConvertRow(const RowJob& row, JobContext& job);
// The last step, which only waits: the output flushed to the disk (a failure fails the row),
// and the user's text of a failure.
void FinishRow(const RowJob& row, RowWork& work);

}  // namespace qv
