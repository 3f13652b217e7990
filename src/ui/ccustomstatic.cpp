#include "ui/ccustomstatic.h"

#include <QFontMetrics>
#include <QPainter>

#include "ui/skinartwork.h"

namespace qv {

CCustomStatic::CCustomStatic(QColor textColor, QColor backgroundColor, bool transparent,
                             const QString& face, int size, int alignment, QWidget* parent)
    : QWidget(parent),
      m_textColor(textColor),
      m_backgroundColor(backgroundColor),
      m_transparent(transparent),
      m_alignment(alignment) {
  // Without a face the label uses the skin's font at 11 pixels, whatever size was asked for.
  QFont labelFont = SkinFont(face.isEmpty() || size <= 0 ? 11 : size);
  if (!face.isEmpty()) labelFont.setFamilies({face});
  setFont(labelFont);
  setAttribute(Qt::WA_OpaquePaintEvent, !transparent);
}

void CCustomStatic::SetText(const QString& text) {
  m_text = text;
  setAccessibleName(text);
  update();  // a transparent child: Qt repaints the parent's background below this area first
}

void CCustomStatic::SetLink(bool link) {
  if (link == m_link) return;
  m_link = link;
  setCursor(link ? Qt::PointingHandCursor : Qt::ArrowCursor);
  update();
}

QFont CCustomStatic::FittedFont() const {
  QFont fitted = font();
  fitted.setUnderline(m_link);
  for (int stretch = 95; stretch >= 80; stretch -= 5) {
    if (QFontMetrics(fitted).horizontalAdvance(m_text) <= width()) break;
    fitted.setStretch(stretch);
  }
  return QFontMetrics(fitted).horizontalAdvance(m_text) <= width() ? fitted : font();
}

int CCustomStatic::TextX() const {
  const int textWidth = QFontMetrics(FittedFont()).horizontalAdvance(m_text);
  switch (m_alignment) {
    case kLeft: return 0;
    case kRight: return width() - textWidth;
    case kCentre: return width() / 2 - textWidth / 2;
    default: return 0;
  }
}

void CCustomStatic::paintEvent(QPaintEvent*) {
  if (m_alignment != kLeft && m_alignment != kRight && m_alignment != kCentre) return;
  QPainter painter(this);
  if (!m_transparent) painter.fillRect(rect(), m_backgroundColor);
  painter.setFont(FittedFont());
  painter.setPen(m_link ? QColor(0x1a, 0x5f, 0xb4) : m_textColor);
  painter.drawText(TextX(), QFontMetrics(painter.font()).ascent(), m_text);
}

}  // namespace qv
