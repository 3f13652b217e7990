#include "ui/cbitmapbutton.h"

#include <QPainter>

namespace qv {

CBitmapButton::CBitmapButton(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
}

bool CBitmapButton::LoadBitmaps(const QString& baseName) {
  const QSize size = ButtonImageSize(baseName);
  if (!size.isValid()) return false;
  for (ButtonImageState state : {ButtonImageState::Up, ButtonImageState::Down,
                                 ButtonImageState::Focused, ButtonImageState::Disabled}) {
    m_images[static_cast<int>(state)] = QPixmap::fromImage(RenderButtonImage(baseName, state));
  }
  m_baseName = baseName;
  const QString caption = ButtonCaption(baseName);
  setText(caption);
  setToolTip(caption);
  setAccessibleName(caption);
  resize(size);
  update();
  return true;
}

ButtonImageState CBitmapButton::CurrentState() const {
  if (!isEnabled()) return ButtonImageState::Disabled;
  if (isDown()) return ButtonImageState::Down;
  if (hasFocus()) return ButtonImageState::Focused;
  return ButtonImageState::Up;
}

QSize CBitmapButton::sizeHint() const {
  const QPixmap& up = m_images[static_cast<int>(ButtonImageState::Up)];
  return up.isNull() ? QSize(16, 16) : up.size();
}

void CBitmapButton::paintEvent(QPaintEvent*) {
  const QPixmap& image = m_images[static_cast<int>(CurrentState())];
  if (image.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, image);
}

}  // namespace qv
