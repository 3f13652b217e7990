#include "ui/cqvnormalizationdlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "app/host.h"
#include "app/showmessage.h"
#include "loudness/loudness.h"
#include "loudness/targettext.h"
#include "ui/qvnvedit.h"

namespace qv {

namespace {

NormalizationChoice ReplayGainChoice(double target, bool apply) {
  NormalizationChoice choice;
  choice.targets[0] = target;
  choice.apply = apply;
  return choice;
}

}  // namespace

CQVNormalizationDlg::CQVNormalizationDlg(double target, bool apply, QWidget* owner,
                                         BatchHost& messages)
    : CQVNormalizationDlg(ReplayGainChoice(target, apply), owner, messages) {}

CQVNormalizationDlg::CQVNormalizationDlg(const NormalizationChoice& choice, QWidget* owner,
                                         BatchHost& messages)
    : QDialog(owner), m_messages(messages), m_target(choice.Target()), m_apply(choice.apply),
      m_choice(choice), m_initial(choice) {
  setWindowTitle(QStringLiteral("Normalization"));
  setModal(true);

  m_standardList = new QComboBox(this);
  for (int i = 0; i < kLoudnessStandards; ++i) {
    const StandardInfo& info = InfoOf(static_cast<LoudnessStandard>(i));
    m_standardList->addItem(QStringLiteral("%1 (%2)").arg(QString::fromLatin1(info.name),
                                                          QString::fromLatin1(info.unit)));
  }
  m_edit = new QVNVEdit(this);
  m_edit->setMaximumWidth(70);
  m_unitLabel = new QLabel(this);
  m_peakEdit = new QVNVEdit(this);
  m_peakEdit->setObjectName(QStringLiteral("peakLimit"));
  m_peakEdit->setMaximumWidth(70);
  m_peakEdit->SetRange(kMinimumPeakLimit, kMaximumPeakLimit);
  m_peakUnitLabel = new QLabel(this);
  m_applyBox = new QCheckBox(QStringLiteral("Apply Volume Normalization during Conversion"), this);
  m_albumBox = new QCheckBox(
      QStringLiteral("Normalize by Album Gain (the files of an album keep their differences)"),
      this);
  m_tagsBox = new QCheckBox(
      QStringLiteral("Write ReplayGain Tags, measured on each Converted File"), this);
  m_ok = new QPushButton(QStringLiteral("OK"), this);
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_ok->setDefault(true);

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QStringLiteral("Loudness Standard"), this), 0, 0);
  grid->addWidget(m_standardList, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Target Normal Volume"), this), 1, 0);
  grid->addWidget(m_edit, 1, 1);
  grid->addWidget(m_unitLabel, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Peak Limit"), this), 2, 0);
  grid->addWidget(m_peakEdit, 2, 1);
  grid->addWidget(m_peakUnitLabel, 2, 2);
  grid->addWidget(m_applyBox, 3, 0, 1, 3);
  grid->addWidget(m_albumBox, 4, 0, 1, 3);
  grid->addWidget(m_tagsBox, 5, 0, 1, 3);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_ok);
  buttons->addWidget(m_cancel);
  grid->addLayout(buttons, 6, 0, 1, 3);
  grid->setSizeConstraint(QLayout::SetFixedSize);

  connect(m_edit, &QVNVEdit::TargetChanged, this, [this](const QString& text) {
    m_choice.targets[static_cast<int>(m_choice.standard)] = ParseTargetText(text.toStdString());
    Q_EMIT TargetChanged(text);
  });
  connect(m_peakEdit, &QVNVEdit::TargetChanged, this, [this](const QString& text) {
    m_choice.peakLimits[static_cast<int>(m_choice.standard)] =
        ParseTargetText(text.toStdString());
  });
  connect(m_standardList, &QComboBox::activated, this, &CQVNormalizationDlg::OnStandardChosen);
  connect(m_albumBox, &QCheckBox::toggled, this, [this](bool on) {
    m_choice.byAlbum = on;
    Q_EMIT ViewChanged(static_cast<int>(m_choice.standard), on);
    Q_EMIT TargetChanged(QString::fromStdString(FormatTargetText(m_choice.Target())));
  });
  connect(m_ok, &QPushButton::clicked, this, &CQVNormalizationDlg::OnOK);
  connect(m_cancel, &QPushButton::clicked, this, &CQVNormalizationDlg::OnCancel);
  // Escape is taken away from every control of the dialog before it acts; Return presses the
  // default button (OK), as in every dialog of the desktop.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

int CQVNormalizationDlg::DoModal() {
  OnInitDialog();
  return exec();
}

void CQVNormalizationDlg::OnInitDialog() {
  m_standardList->setCurrentIndex(static_cast<int>(m_choice.standard));
  {
    const QSignalBlocker quiet(m_albumBox);
    m_albumBox->setChecked(m_choice.byAlbum);
  }
  m_tagsBox->setChecked(m_choice.replayGainTags);
  ShowStandard();
  m_applyBox->setChecked(m_apply);
  m_edit->setFocus();
}

// The edit, its range and its unit for the standard chosen. Setting the text is a change like
// any other: it is checked, becomes the last valid text and is announced, so the rows show the
// gains for the target in force.
void CQVNormalizationDlg::ShowStandard() {
  const StandardInfo& info = InfoOf(m_choice.standard);
  m_edit->SetRange(info.minimumTarget, info.maximumTarget);
  m_unitLabel->setText(QStringLiteral("%1 (default %2)")
                           .arg(QString::fromLatin1(info.unit),
                                QString::fromStdString(FormatTargetText(info.defaultTarget))));
  m_edit->setText(QString::fromStdString(FormatTargetText(m_choice.Target())));
  const bool truePeak = m_choice.standard == LoudnessStandard::R128;
  m_peakUnitLabel->setText(
      QStringLiteral("%1 (default %2)")
          .arg(QString::fromLatin1(truePeak ? "dBTP" : "dBFS"),
               QString::fromStdString(FormatTargetText(info.defaultPeakLimit))));
  m_peakEdit->setText(QString::fromStdString(FormatTargetText(m_choice.PeakLimit())));
}

void CQVNormalizationDlg::OnStandardChosen(int index) {
  if (index < 0 || index >= kLoudnessStandards) return;
  if (static_cast<int>(m_choice.standard) == index) return;
  m_choice.standard = static_cast<LoudnessStandard>(index);
  Q_EMIT ViewChanged(index, m_choice.byAlbum);
  ShowStandard();
}

void CQVNormalizationDlg::OnOK() {
  // The edit only ever holds a valid number, but it may be only the beginning of one ("", "-",
  // "."): that is refused, never taken as 0.0.
  const std::string text = m_edit->text().toStdString();
  const StandardInfo& info = InfoOf(m_choice.standard);
  if (!IsCompleteTargetText(text, info.minimumTarget, info.maximumTarget)) {
    ShowMessage(&m_messages, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "Please enter a Target Volume from %.1f to %.1f, thanks.", info.minimumTarget,
                info.maximumTarget);
    m_edit->setFocus();
    return;
  }
  const std::string limit = m_peakEdit->text().toStdString();
  if (!IsCompleteTargetText(limit, kMinimumPeakLimit, kMaximumPeakLimit)) {
    ShowMessage(&m_messages, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "Please enter a Peak Limit from %.1f to %.1f dB, thanks.", kMinimumPeakLimit,
                kMaximumPeakLimit);
    m_peakEdit->setFocus();
    return;
  }
  m_choice.peakLimits[static_cast<int>(m_choice.standard)] = ParseTargetText(limit);
  m_target = ParseTargetText(text);
  m_apply = m_applyBox->isChecked();
  m_choice.targets[static_cast<int>(m_choice.standard)] = m_target;
  m_choice.apply = m_apply;
  m_choice.byAlbum = m_albumBox->isChecked();
  m_choice.replayGainTags = m_tagsBox->isChecked();
  if (m_apply) {
    ShowMessage(&m_messages, 0, {}, MB_OK,
                "Volume Normalization will be applied (to the files with Calculate Loudness data). "
                "Please note that after a conversion, it will be turned off again.");
  }
  done(QDialog::Accepted);
}

void CQVNormalizationDlg::OnCancel() {
  if (m_choice.standard != m_initial.standard || m_choice.byAlbum != m_initial.byAlbum) {
    Q_EMIT ViewChanged(static_cast<int>(m_initial.standard), m_initial.byAlbum);
  }
  Q_EMIT TargetChanged(QString::fromStdString(FormatTargetText(m_initial.Target())));
  done(QDialog::Rejected);
}

void CQVNormalizationDlg::reject() { OnCancel(); }

bool CQVNormalizationDlg::IsSwallowedKey(const QEvent* event) {
  if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease &&
      event->type() != QEvent::ShortcutOverride) {
    return false;
  }
  return static_cast<const QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

bool CQVNormalizationDlg::eventFilter(QObject* watched, QEvent* event) {
  if (IsSwallowedKey(event)) return true;
  return QDialog::eventFilter(watched, event);
}

void CQVNormalizationDlg::keyPressEvent(QKeyEvent* event) {
  if (IsSwallowedKey(event)) return;
  QDialog::keyPressEvent(event);
}

}  // namespace qv
