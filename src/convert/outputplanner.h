#pragma once
// The output planner: decides, from a row's record and the batch's options alone, where the
// row's output goes, what gain it gets and whether it can be converted at all. It touches no
// file: whether the name is taken, and what replaces it, is the publisher's question.

#include <string>
#include <vector>

#include "convert/conversionoptions.h"
#include "convert/nametemplate.h"
#include "model/qvlistitem.h"

namespace qv {

enum class PlanAction {
  Convert,      // convert with `gain`
  NotMeasured,  // to be normalized, but the row has no gain (`failureText` says why)
};

struct OutputPlan {
  PlanAction action = PlanAction::Convert;
  std::string folder;            // the output's folder (below the destination: made as needed)
  bool makeFolder = false;       // the folder is a sub-folder of the destination
  std::string relativePath;      // the output below the destination (or the source's folder)
  std::string plainDestination;  // folder, the source's title and the format's extension
  double gain = 1.0;             // the factor every sample is multiplied by
  std::string gainNote;          // the log's record when the peak limit lowered the gain
  // Normalizing into a lossy format: the peak the encoded output must keep to (16-bit scale);
  // 0 when there is nothing to check.
  double outputPeakLimit = 0.0;
  std::string failureText;       // why a NotMeasured row is not converted
  std::vector<std::string> nameNotes;  // log records of a name made from tags (parts shortened)
};

// `destinationFolder` is the checked Save To folder (unused with sameFolder), `subfolder` the
// row's sub-folder below it ("" for none; with a name template the {folder} value), `extension`
// the format's and `peakCheck` whether the format's encoding can move a peak (a lossy one).
// `fields` are the row's tags for a name template (null: none).
// The name template a row's output follows: the batch's, or for a track of an album image when
// the batch has none, "{folder}/{filename} - {track:02} {title}"; empty: the source's own name.
const std::string& NamePatternOf(const QVListItem& item, const ConversionOptions& options);

OutputPlan PlanOutput(const QVListItem& item, const ConversionOptions& options,
                      const std::string& destinationFolder, const std::string& subfolder,
                      const std::string& extension, bool peakCheck,
                      const NameFields* fields = nullptr);

// What is found under a row's planned output name before its output is named.
struct ExistingFacts {
  bool taken = false;        // anything but an empty regular file has the name
  bool regularFile = false;  // that is a regular file (not a link, not a folder)
  bool isSource = false;     // it is one of the batch's sources (device and inode)
  bool converted = false;    // a complete earlier conversion of the row (skip's rule)
};

// What happens at the planned name: converted into a free name, numbered, skipped, or the new
// output takes the old file's place. Replace and Update never replace a source, a link or a
// folder: those rows are numbered.
enum class ExistingAction { Convert, Number, Skip, Replace };
ExistingAction DecideExisting(ExistingChoice choice, const ExistingFacts& facts);
const char* KeyOfExistingAction(ExistingAction action);

// "folder/name", without doubling a trailing slash.
std::string JoinPath(const std::string& folder, const std::string& name);
// The folder of a path; "." for a bare file name.
std::string FolderOfPath(const std::string& path);

}  // namespace qv
