#include "ui/qvnvedit.h"

#include <QApplication>
#include <QFocusEvent>

namespace qv {

QVNVEdit::QVNVEdit(QWidget* parent) : QVEdit(parent) {
  connect(this, &QLineEdit::textChanged, this, &QVNVEdit::OnTextChanged);
}

void QVNVEdit::OnTextChanged(const QString& text) {
  if (!m_validating) return;
  if (IsValidTargetText(text.toStdString(), m_minimum, m_maximum)) {
    m_lastValidText = text;
    Q_EMIT TargetChanged(text);
    return;
  }
  // Putting the last valid text back changes the text again: that change is not checked.
  m_validating = false;
  setText(m_lastValidText);
  selectAll();
  m_validating = true;
  QApplication::beep();
  Q_EMIT Refused();
}

void QVNVEdit::focusInEvent(QFocusEvent* event) {
  QVEdit::focusInEvent(event);
  m_lastValidText = text();
}

}  // namespace qv
