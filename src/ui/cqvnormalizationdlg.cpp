#include "ui/cqvnormalizationdlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "app/host.h"
#include "app/showmessage.h"
#include "loudness/targettext.h"
#include "ui/qvnvedit.h"

namespace qv {

CQVNormalizationDlg::CQVNormalizationDlg(double target, bool apply, QWidget* owner,
                                         BatchHost& messages)
    : QDialog(owner), m_messages(messages), m_target(target), m_apply(apply),
      m_initialTarget(target) {
  setWindowTitle(QStringLiteral("Normalization"));
  setModal(true);

  m_edit = new QVNVEdit(this);
  m_edit->setMaximumWidth(70);
  m_applyBox = new QCheckBox(QStringLiteral("Apply Volume Normalization during Conversion"), this);
  m_ok = new QPushButton(QStringLiteral("OK"), this);
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_ok->setDefault(true);

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QStringLiteral("Target Normal Volume"), this), 0, 0);
  grid->addWidget(m_edit, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("dB (default 89.0)"), this), 0, 2);
  grid->addWidget(m_applyBox, 1, 0, 1, 3);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_ok);
  buttons->addWidget(m_cancel);
  grid->addLayout(buttons, 2, 0, 1, 3);
  grid->setSizeConstraint(QLayout::SetFixedSize);

  connect(m_edit, &QVNVEdit::TargetChanged, this, &CQVNormalizationDlg::TargetChanged);
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
  // Setting the text is a change like any other: it is checked, becomes the last valid text
  // and is announced, so the rows show the gains for the target in force.
  m_edit->setText(QString::fromStdString(FormatTargetText(m_target)));
  m_applyBox->setChecked(m_apply);
  m_edit->setFocus();
}

void CQVNormalizationDlg::OnOK() {
  // The edit only ever holds a valid number, but it may be only the beginning of one ("", "-",
  // "."): that is refused, never taken as 0.0.
  const std::string text = m_edit->text().toStdString();
  if (!IsCompleteTargetText(text)) {
    ShowMessage(&m_messages, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "Please enter a Target Volume from %.1f to %.1f, thanks.", kMinimumTarget,
                kMaximumTarget);
    m_edit->setFocus();
    return;
  }
  m_target = ParseTargetText(text);
  m_apply = m_applyBox->isChecked();
  if (m_apply) {
    ShowMessage(&m_messages, 0, {}, MB_OK,
                "Volume Normalization will be applied (to the files with Calculate Loudness data). "
                "Please note that after a conversion, it will be turned off again.");
  }
  done(QDialog::Accepted);
}

void CQVNormalizationDlg::OnCancel() {
  Q_EMIT TargetChanged(QString::fromStdString(FormatTargetText(m_initialTarget)));
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
