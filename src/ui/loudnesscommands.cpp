// The main window's loudness commands: the Calculate Loudness option, the loudness batch,
// Normalization and the retargeting that follows the normalization dialog's edit.
#include <QElapsedTimer>
#include <QString>

#include "app/host.h"
#include "app/inifile.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "import/sourceimporter.h"
#include "loudness/loudness.h"
#include "loudness/targettext.h"
#include "model/qvlistitem.h"
#include "ui/batchsummary.h"
#include "ui/cqvnormalizationdlg.h"
#include "ui/cquorvindlg.h"
#include "ui/qvlistctrl.h"

namespace qv {

namespace {

constexpr const char* kStandardKey = "loudnessstandard";
const char* TargetKey(LoudnessStandard standard) {
  return standard == LoudnessStandard::R128 ? "targetr128" : "targetreplaygain1";
}
const char* PeakLimitKey(LoudnessStandard standard) {
  return standard == LoudnessStandard::R128 ? "peaklimitr128" : "peaklimitreplaygain1";
}

}  // namespace

void LoadNormalizationSettings(NormalizationChoice& choice, const std::string& configPath) {
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  if (StandardFromKey(ReadProfileString(configPath, kConfigSection, kStandardKey, ""),
                      standard)) {
    choice.standard = standard;
  }
  for (int i = 0; i < kLoudnessStandards; ++i) {
    const auto which = static_cast<LoudnessStandard>(i);
    const StandardInfo& info = InfoOf(which);
    const std::string text = ReadProfileString(configPath, kConfigSection, TargetKey(which), "");
    // A value out of its standard's range, or not a number, leaves the default.
    if (IsCompleteTargetText(text, info.minimumTarget, info.maximumTarget)) {
      choice.targets[i] = ParseTargetText(text);
    }
    const std::string limit =
        ReadProfileString(configPath, kConfigSection, PeakLimitKey(which), "");
    if (IsCompleteTargetText(limit, kMinimumPeakLimit, kMaximumPeakLimit)) {
      choice.peakLimits[i] = ParseTargetText(limit);
    }
  }
}

bool SaveNormalizationSettings(const NormalizationChoice& choice, const std::string& configPath) {
  bool written = WriteProfileString(configPath, kConfigSection, kStandardKey,
                                    InfoOf(choice.standard).key);
  for (int i = 0; i < kLoudnessStandards; ++i) {
    const auto which = static_cast<LoudnessStandard>(i);
    written = WriteProfileString(configPath, kConfigSection, TargetKey(which),
                                 FormatTargetText(choice.targets[i])) &&
              WriteProfileString(configPath, kConfigSection, PeakLimitKey(which),
                                 FormatTargetText(choice.peakLimits[i])) &&
              written;
  }
  return written;
}

void CQuorvinDlg::ShowNormalizationView(LoudnessStandard standard, bool byAlbum, double target) {
  SetNormalizationView(m_model.List(), standard, byAlbum,
                       m_model.Normalization().peakLimits[static_cast<int>(standard)], target);
  m_list->SetVolumeUnit(QString::fromLatin1(InfoOf(standard).unit));
}

void CQuorvinDlg::OnNormalization() {
  if (!m_model.CheckListForNormalization()) return;
  NormalizationChoice& choice = m_model.Normalization();
  CQVNormalizationDlg dialog(choice, this, m_host);
  connect(&dialog, &CQVNormalizationDlg::TargetChanged, this, &CQuorvinDlg::OnTargetChanged);
  connect(&dialog, &CQVNormalizationDlg::ViewChanged, this, [this](int standard, bool byAlbum) {
    const auto shown = static_cast<LoudnessStandard>(standard);
    ShowNormalizationView(shown, byAlbum, m_model.Normalization().targets[standard]);
  });
  if (dialog.DoModal() == QDialog::Accepted) {
    const bool standardChanged = dialog.Choice().standard != choice.standard;
    choice = dialog.Choice();
    // The peak limit chosen applies to the rows' gains and Clip Track cells from now on.
    SourceList& list = m_model.List();
    const double limit = PeakLimitOnScale(choice.PeakLimit());
    for (int row = 0; row < list.RowCount(); ++row) {
      if (QVListItem* item = list.Item(row)) item->peakLimit = limit;
    }
    RetargetRows(list, choice.Target());
    const std::string& config = Settings().ConfigFilePath;
    if (!config.empty() && !SaveNormalizationSettings(choice, config)) {
      m_host.SetStatusText("The loudness standard and targets could not be saved.");
    }
    // Rows not measured in a newly chosen standard are measured now when the option is on.
    UpdateNormalizationBadge();
    if (standardChanged && CalculateLoudness()) RunLoudnessBatch();
  } else {
    // Cancel switches normalization off, even when it was on; the target stays.
    m_model.SetNormalizationEnabled(false);
    UpdateNormalizationBadge();
  }
}

void CQuorvinDlg::OnTargetChanged(const QString& text) {
  RetargetRows(m_model.List(), ParseTargetText(text.toStdString()));
}

void CQuorvinDlg::OnLoudnessOn() {
  const int answer = ShowMessage(
      &m_host, 0, {}, MB_YESNO,
      "The calculation of loudness data takes a few seconds per file, so if you are loading a "
      "large number of files into Quorvin, this process may take considerable time.  Do you "
      "want to continue?");
  if (answer == IDNO) return;
  SetToggle(kIdLoudnessOff, kIdLoudnessOn, true);
  m_model.StopPreview();
  RunLoudnessBatch();
}

void CQuorvinDlg::RunLoudnessBatch() {
  LoudnessBatchOptions options;
  const NormalizationChoice& choice = m_model.Normalization();
  // Rows added since the last batch show the standard in force too.
  ShowNormalizationView(choice.standard, choice.byAlbum, choice.Target());
  options.target = m_model.NormalizationTarget();
  options.standard = choice.standard;
  options.logPath = Settings().LogFilePath;
  options.heldLog = &m_model.Log();
  options.jobs = m_model.Jobs();
  m_batchStartText = "Analyzing...";
  QElapsedTimer clock;
  clock.start();
  // A file changed on the disk since it was added is probed again, so its length is current.
  m_model.List().RefreshChangedRows(&ProbeSourceFacts);
  const LoudnessBatchResult result =
      qv::RunLoudnessBatch(m_host, m_model.List(), m_model.Batch(), m_loudnessEngine, options);
  m_batchStartText.clear();
  if (!result.started) return;  // refused before its layout
  LoudnessSummary summary;
  summary.measured = result.measured;
  summary.toMeasure = result.toMeasure;
  summary.cancelled = result.cancelled;
  summary.seconds = BatchSeconds(clock, m_model.Batch());
  ShowBatchSummary(LoudnessSummaryText(summary));
}

}  // namespace qv
