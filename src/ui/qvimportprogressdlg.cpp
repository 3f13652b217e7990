#include "ui/qvimportprogressdlg.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "model/dialogtemplate.h"

namespace qv {
namespace {

// The window's template: 392 by 87 dialog units.
constexpr int kWidthDlu = 392;
constexpr int kHeightDlu = 87;

QRect DluRect(int x, int y, int cx, int cy) {
  const BaseUnits units;
  return QRect(DluToPixelsX(x, units), DluToPixelsY(y, units), DluToPixelsX(cx, units),
               DluToPixelsY(cy, units));
}

}  // namespace

QVImportProgressDlg::QVImportProgressDlg(ToolRunRequest request, QWidget* parent)
    : QDialog(parent), m_request(std::move(request)) {
  setWindowModality(Qt::ApplicationModal);
  const BaseUnits units;
  setFixedSize(DluToPixelsX(kWidthDlu, units), DluToPixelsY(kHeightDlu, units));

  m_caption = new QLabel(QStringLiteral("Downloading:"), this);
  m_caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_caption->setGeometry(DluRect(9, 9, 44, 8));
  m_subject = new QLabel(QStringLiteral("Static"), this);
  m_subject->setGeometry(DluRect(59, 9, 325, 8));
  m_progress = new QProgressBar(this);
  m_progress->setRange(0, kToolProgressRange);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_progress->setGeometry(DluRect(7, 25, 374, 14));
  m_seconds = new QLabel(this);
  m_seconds->setAlignment(Qt::AlignCenter);
  m_seconds->setGeometry(DluRect(7, 44, 377, 8));
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancel->setGeometry(DluRect(170, 62, 50, 14));
  connect(m_cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
}

QWidget* QVImportProgressDlg::Control(int id) const {
  switch (id) {
    case kIdCancel: return m_cancel;
    case kIdProgress: return m_progress;
    case kIdCaption: return m_caption;
    case kIdSubject: return m_subject;
    case kIdSeconds: return m_seconds;
    default: return nullptr;
  }
}

int QVImportProgressDlg::RunModal() {
  const int result = RunToolWithProgress(m_request, *this);
  hide();
  return result;
}

void QVImportProgressDlg::SetTitle(const std::string& title) {
  setWindowTitle(QString::fromStdString(title));
}

void QVImportProgressDlg::SetCaption(const std::string& caption) {
  m_caption->setText(QString::fromStdString(caption));
}

void QVImportProgressDlg::SetSubject(const std::string& subject) {
  // A long path is shortened in its middle, as a path label does; the tooltip keeps it whole.
  m_subjectText = QString::fromStdString(subject);
  m_subject->setText(QFontMetrics(m_subject->font())
                         .elidedText(m_subjectText, Qt::ElideMiddle, m_subject->width()));
  m_subject->setToolTip(m_subjectText);
}

void QVImportProgressDlg::SetProgress(int position) { m_progress->setValue(position); }

void QVImportProgressDlg::SetProgressText(const std::string& text) {
  m_seconds->setText(QString::fromStdString(text));
}

void QVImportProgressDlg::ShowView() {
  // Centred on the parent (or the screen without one).
  const QWidget* over = parentWidget() ? parentWidget()->window() : nullptr;
  const QRect area = over ? over->frameGeometry()
                          : (screen() ? screen()->availableGeometry() : QRect());
  if (area.isValid()) move(area.center() - rect().center());
  show();
}

void QVImportProgressDlg::reject() { RequestCancel(); }

void QVImportProgressDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  RequestCancel();
}

}  // namespace qv
