#include "convert/outputplanner.h"

#include <cmath>

#include "app/paths.h"
#include "app/showmessage.h"
#include "model/listcolumns.h"
#include "convert/convertfile.h"

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

}  // namespace

OutputPlan PlanOutput(const QVListItem& item, const ConversionOptions& options,
                      const std::string& destinationFolder, const std::string& subfolder,
                      const std::string& extension, bool peakCheck) {
  OutputPlan plan;
  const std::string name = GetFileTitle(item.sourcePath, false) + "." + extension;
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
