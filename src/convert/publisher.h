#pragma once
// The publisher: names a finished output the way one file after the other would (the plain
// name, or the first free numbered copy), gives the hidden file that name without ever
// replacing a file, and writes the batch log's records of each row, failures included.
// User-interface thread only: it runs as the rows are committed, in row order.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "convert/convertfile.h"
#include "model/batchlog.h"

namespace qv {

// Whether a destination name is taken: anything but an empty regular file has it (a non-empty
// file, a link, even a dangling one, a folder).
bool DestinationTaken(const std::string& path);

enum DestinationCheck {
  kDestinationFree = 0,     // no non-empty file has the name; the path is unchanged
  kDestinationRenamed = 1,  // the name was taken; the path now names the first free copy
  kDestinationAllTaken = -1,  // every numbered copy is taken too; the path is unchanged
};
// Checks a destination path against existing files: when its name is taken (DestinationTaken),
// the path becomes "<folder>/<title>-COPY<nnnnnn>.<extension>" with the first n from 1
// to `maxCopies` whose name is free. Names in `claimed` (given to earlier rows of the batch)
// count as taken too.
int MakeUniqueDestination(std::string& path, int maxCopies = 999999,
                          const std::set<std::string>* claimed = nullptr);

// What skip-existing finds of a source's earlier outputs.
struct EarlierOutputs {
  bool converted = false;  // one of them is a complete conversion: the row is skipped
  std::string complete;    // that one's name
  // Outputs written since the source changed that hold another length than the source (a
  // cancelled conversion keeps what it wrote), one log line each: "<path> holds 0:54 of 10:00".
  std::vector<std::string> incomplete;
};

// The length of an audio file as the decoder settles it (its header's length, checked against
// what the file holds; a WAV's data size); negative when it does not open as audio.
double AudioFileSeconds(const std::string& path);

// Whether the source has a conversion from before `batchStart` under its plain output name or
// one of the numbered names the naming rule gave it: a non-empty regular file, not the source
// itself, not older than the source, and, when both lengths are known (`sourceSeconds` > 0,
// the output's from AudioFileSeconds), within one second of the source's length.
EarlierOutputs AlreadyConverted(const std::string& destination, const std::string& source,
                                double sourceSeconds, std::filesystem::file_time_type batchStart);

// One row's output on its way to its name.
struct PublishedRow {
  std::string sourcePath;   // as the log names it
  std::string decodePath;   // as a failure record names it
  std::string destination;  // the plain name, then the name it gets
  std::string workPath;     // the hidden file; empty once published or removed
  int naming = kDestinationFree;
  // The output takes the place of the file from before the batch that has its plain name (one
  // rename of the complete hidden file over it).
  bool replace = false;
  std::string errorText;    // a failure's text
};

class Publisher {
 public:
  Publisher(BatchLog& log, int maxCopies) : m_log(log), m_maxCopies(maxCopies) {}

  // The row's opening records ("--- Conversion # n ---", "Saving: ... as: ...") and its name:
  // the plain one, or the first free numbered copy (with a record that says so). A row to
  // replace keeps the plain name unless an earlier row of the batch was given it (then it is
  // numbered: the batch never replaces its own outputs).
  void NameRow(int row, PublishedRow& out);
  // Gives the hidden file the row's name. Another program may take the name meanwhile: then
  // the next free numbered name is taken, as the naming rule would have given. A row to replace
  // is renamed over the old file (which stays until the new one is complete, so a failure or a
  // kill leaves it). Returns `code`, or the code of a failed naming (its text in errorText, the
  // hidden file removed).
  ConvertCode Publish(PublishedRow& out, ConvertCode code);
  // Removes the hidden file, if any.
  void Discard(PublishedRow& out);
  // A row that ends without an output gives its name back to the rows after it.
  void Release(const PublishedRow& out) { m_claimed.erase(out.destination); }
  // Messages name the output by its name, never by the hidden one.
  static void NameTexts(std::string& text, const std::string& hidden, const std::string& name);
  // The record of a failed row: "Got an error, converting: ..." (with `heading`, the row's
  // "--- Conversion # n ---" before it).
  void LogFailure(int row, const PublishedRow& out, bool heading);

 private:
  // A row whose naming failed: the hidden file removed, the failure's text in errorText.
  ConvertCode Failed(PublishedRow& out, const ConvertResult& failure);

  BatchLog& m_log;
  int m_maxCopies;
  std::set<std::string> m_claimed;  // the names given to the batch's rows so far
};

}  // namespace qv
