#include "convert/outputplanner.h"

#include <cmath>

#include "app/paths.h"
#include "app/showmessage.h"
#include "model/listcolumns.h"
#include "convert/convertfile.h"
#include "convert/formats.h"

namespace qv {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string FolderOfPath(const std::string& path) {
  if (path.find('/') == std::string::npos) return ".";
  return GetFolderPart(path);
}

namespace {

std::string Db(double factor) { return FormatFixed(20.0 * std::log10(factor), 2); }

// The gain of a normalized row, or why it has none.
void PlanGain(const QVListItem& item, const ConversionOptions& options, bool peakCheck,
              OutputPlan& plan) {
  if (!item.HasNormalizationGain()) {
    plan.action = PlanAction::NotMeasured;
    plan.failureText =
        item.measurements[item.Shown()].silent
            ? "The file is silent (every part lies below -70 LUFS), so it has no loudness to "
              "normalize; it was not converted.  Convert it without normalization, or "
              "normalize by album gain"
            : ConversionErrorText({ConvertCode::NotMeasured});
    return;
  }
  bool limited = false;
  plan.gain = item.AppliedGainFactor(&limited);
  if (limited) {
    const bool r128 = options.standard == LoudnessStandard::R128;
    plan.gainNote = FormatText(
        "Gain lowered from %s dB to %s dB, so that the %s stays at or below %s %s.",
        Db(item.gainFactor).c_str(), Db(plan.gain).c_str(), r128 ? "true peak" : "peak",
        FormatFixed(20.0 * std::log10(item.peakLimit / kFullScale), 1).c_str(),
        r128 ? "dBTP" : "dBFS");
  }
  if (peakCheck) plan.outputPeakLimit = item.peakLimit;
}

// The output below its base folder, from the name template.
void PlanTemplateName(const QVListItem& item, const ConversionOptions& options,
                      const std::string& pattern, const std::string& base,
                      const std::string& folderValue, const std::string& extension,
                      const NameFields* fields, OutputPlan& plan) {
  NameInputs inputs;
  inputs.fields = fields;
  inputs.filename = GetFileTitle(item.sourcePath, false);
  inputs.folder = folderValue;
  inputs.portable = options.portableNames;
  ExpandedName expanded = ExpandNameTemplate(pattern, inputs, extension);
  plan.relativePath = expanded.path + "." + extension;
  plan.nameNotes = std::move(expanded.notes);
  const size_t slash = plan.relativePath.rfind('/');
  plan.folder = slash == std::string::npos ? base
                                           : JoinPath(base, plan.relativePath.substr(0, slash));
  plan.makeFolder = slash != std::string::npos;
  plan.plainDestination = JoinPath(base, plan.relativePath);
}

}  // namespace

const std::string& NamePatternOf(const QVListItem& item, const ConversionOptions& options) {
  // A track of an album image is named after the image, its number and its title, so that
  // the tracks of one image do not all take the image's name with numbered copies.
  static const std::string kTrackNames = "{folder}/{filename} - {track:02} {title}";
  if (options.namePattern.empty() && item.range != TimeRange{}) return kTrackNames;
  return options.namePattern;
}

bool ExistingChoiceFromKey(const std::string& key, ExistingChoice& choice) {
  for (const ExistingChoice each : {ExistingChoice::Number, ExistingChoice::Skip,
                                    ExistingChoice::Replace, ExistingChoice::Update}) {
    if (LowerAscii(key) == KeyOfExistingChoice(each)) {
      choice = each;
      return true;
    }
  }
  return false;
}

const char* KeyOfExistingChoice(ExistingChoice choice) {
  switch (choice) {
    case ExistingChoice::Skip: return "skip";
    case ExistingChoice::Replace: return "replace";
    case ExistingChoice::Update: return "update";
    case ExistingChoice::Number: break;
  }
  return "number";
}

ExistingAction DecideExisting(ExistingChoice choice, const ExistingFacts& facts) {
  const bool skips = choice == ExistingChoice::Skip || choice == ExistingChoice::Update;
  if (skips && facts.converted) return ExistingAction::Skip;
  if (!facts.taken) return ExistingAction::Convert;
  const bool replaces = choice == ExistingChoice::Replace || choice == ExistingChoice::Update;
  if (replaces && facts.regularFile && !facts.isSource) return ExistingAction::Replace;
  return ExistingAction::Number;
}

const char* KeyOfExistingAction(ExistingAction action) {
  switch (action) {
    case ExistingAction::Number: return "number";
    case ExistingAction::Skip: return "skip";
    case ExistingAction::Replace: return "replace";
    case ExistingAction::Convert: break;
  }
  return "convert";
}

OutputPlan PlanOutput(const QVListItem& item, const ConversionOptions& options,
                      const std::string& destinationFolder, const std::string& subfolder,
                      const std::string& extension, bool peakCheck, const NameFields* fields) {
  OutputPlan plan;
  const std::string& pattern = NamePatternOf(item, options);
  if (!pattern.empty()) {
    const std::string base =
        options.sameFolder ? FolderOfPath(item.sourcePath) : destinationFolder;
    PlanTemplateName(item, options, pattern, base, subfolder, extension, fields, plan);
    if (options.normalize) PlanGain(item, options, peakCheck, plan);
    return plan;
  }
  // A title that fits its own extension may not fit a longer one (.wv to .flac).
  const std::string name =
      FitName(GetFileTitle(item.sourcePath, false), extension.size() + 1) + "." + extension;
  if (options.sameFolder) {
    plan.folder = FolderOfPath(item.sourcePath);
    plan.relativePath = name;
  } else {
    plan.folder = destinationFolder;
    plan.relativePath = name;
    if (!subfolder.empty()) {
      plan.folder = JoinPath(plan.folder, subfolder);
      plan.relativePath = JoinPath(subfolder, name);
      plan.makeFolder = true;
    }
  }
  plan.plainDestination = JoinPath(plan.folder, name);
  if (options.normalize) PlanGain(item, options, peakCheck, plan);
  return plan;
}

}  // namespace qv
