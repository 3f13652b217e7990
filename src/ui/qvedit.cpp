#include "ui/qvedit.h"

#include <QFocusEvent>
#include <QMouseEvent>

namespace qv {

void QVEdit::mousePressEvent(QMouseEvent* event) {
  // The default handling first places the caret; the first click then widens it to all.
  QLineEdit::mousePressEvent(event);
  if (m_selectOnClick) {
    selectAll();
    m_selectOnClick = false;
  }
}

void QVEdit::focusOutEvent(QFocusEvent* event) {
  m_selectOnClick = true;
  QLineEdit::focusOutEvent(event);
}

}  // namespace qv
