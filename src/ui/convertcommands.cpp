// The main window's conversion commands: the format and bitrate lists and Convert.
#include <QComboBox>
#include <QElapsedTimer>
#include <QUrl>

#include "app/host.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "convert/conversionbatch.h"
#include "convert/formats.h"
#include "convert/nametemplate.h"
#include "import/sourceimporter.h"
#include "ui/batchsummary.h"
#include "ui/cquorvindlg.h"

namespace qv {

void CQuorvinDlg::OnConvert() {
  m_model.StopPreview();
  ConversionOptions options;
  options.formatKey = LowerAscii(m_formatList->currentText().toStdString());
  const OutputFormat* format = FindOutputFormat(options.formatKey);
  if (format && format->usesBitrate()) {
    // The kbps of the chosen entry; FLAC's list holds compression levels instead.
    options.kbps = BitrateOfText(options.formatKey, m_bitrateList->currentText().toStdString());
  }
  options.sameFolder = OutputToSameFolder();
  options.skipProblemFiles = SkipProblemFiles();
  options.destinationFolder = m_destinationList->currentIndex() >= 0
                                  ? m_destinationList->currentText().toStdString()
                                  : std::string();
  options.normalize = m_model.NormalizationEnabled();
  const NormalizationChoice& choice = m_model.Normalization();
  options.standard = choice.standard;
  options.byAlbum = choice.byAlbum;
  options.replayGainTags = choice.replayGainTags;
  ShowNormalizationView(choice.standard, choice.byAlbum, choice.Target());
  options.faacPath = Settings().FaacPath;
  options.jobs = m_model.Jobs();
  options.namePattern = CheckNameTemplate(Settings().NamePattern).empty() ? Settings().NamePattern
                                                                         : std::string();
  ExistingChoiceFromKey(Settings().Existing, options.existing);
  options.logPath = Settings().LogFilePath;
  options.heldLog = &m_model.Log();
  options.openLog = [this](const std::string& path) {
    if (m_services.openUrl) m_services.openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
  };
  m_batchStartText = "Converting...";
  QElapsedTimer clock;
  clock.start();
  // The summary is shown as soon as the rows are done: the question that may end the batch
  // then stands under it, and its time is not the batch's.
  std::string summaryText;
  options.ended = [&](const ConversionBatchResult& done) {
    ConversionSummary summary;
    summary.converted = done.converted;
    summary.failed = done.failed;
    summary.total = static_cast<int>(done.rows.size());
    summary.cancelled = done.cancelled;
    summary.aborted = done.abortedByUser;
    summary.partial = done.cancelledKept;
    summary.seconds = BatchSeconds(clock, m_model.Batch());
    summaryText = ConversionSummaryText(summary);
    MarkRows(done);
    ShowBatchSummary(summaryText);
  };
  // A file changed on the disk since it was added is probed again, so its length is current.
  m_model.List().RefreshChangedRows(&ProbeSourceFacts);
  const ConversionBatchResult result =
      RunConversionBatch(options, m_model.List(), m_model.Batch(), m_host);
  m_batchStartText.clear();
  if (!result.started) return;  // refused before its layout: nothing to sum up
  // Normalization applies to one batch only, however it ended.
  m_model.SetNormalizationEnabled(false);
  UpdateNormalizationBadge();
  ShowBatchSummary(summaryText);
}

void CQuorvinDlg::MarkRows(const ConversionBatchResult& result) {
  SourceList& list = m_model.List();
  for (int row = 0; row < list.RowCount(); ++row) {
    const ConversionRowReport* report =
        row < static_cast<int>(result.rows.size()) ? &result.rows[static_cast<size_t>(row)]
                                                   : nullptr;
    if (report && report->outcome == RowOutcome::Cancelled && !report->destination.empty()) {
      list.SetRowMark(row, QVListItem::Mark::Partial,
                      report->text + "\nKept as: " + report->destination);
    } else if (report && report->outcome == RowOutcome::Done && !report->note.empty()) {
      list.SetRowMark(row, QVListItem::Mark::Noted, report->note);
    } else {
      list.SetRowMark(row, QVListItem::Mark::None, std::string());
    }
  }
}

void CQuorvinDlg::OnFormatChanged() { UpdateBitrateCombo(false); }

void CQuorvinDlg::FillBitrateCombo(const BitrateList& bitrates) {
  m_bitrateList->clear();
  for (size_t i = 0; i < bitrates.texts.size(); ++i) {
    m_bitrateList->addItem(QString::fromStdString(bitrates.texts[i]),
                           QVariant::fromValue(static_cast<unsigned>(bitrates.bitsPerSecond[i])));
  }
  m_bitrateList->setCurrentIndex(bitrates.defaultIndex);
}

void CQuorvinDlg::UpdateBitrateCombo(bool keepContents) {
  const OutputFormat* format = FindOutputFormat(m_formatList->currentText().toStdString());
  if (!format) return;
  if (!format->usesBitrate()) {
    m_bitrateList->clear();
    m_bitrateList->setEnabled(false);
    return;
  }
  m_bitrateList->setEnabled(true);
  if (!keepContents) FillBitrateCombo(format->Bitrates());
  // Without a list of rates WMA cannot be written here: nothing to choose (Convert says why).
  if (format->needsEncoderBitrates && m_bitrateList->count() == 0) {
    m_bitrateList->setEnabled(false);
  }
}

}  // namespace qv
