#include "ui/framelessframe.h"

#include <algorithm>

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace qv {

namespace {

const QColor kFrameColour(0x12, 0x18, 0x24);

}  // namespace

FramelessFrame::FramelessFrame(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint) {
  setMouseTracking(true);  // the cursor changes over the border with no button held
  m_client = new QWidget(this);
  m_client->setCursor(Qt::ArrowCursor);
  m_client->setMouseTracking(true);
  m_client->move(kSizingBorder, kSizingBorder);
}

void FramelessFrame::FitToClientArea() {
  resize(m_client->width() + 2 * kSizingBorder, m_client->height() + 2 * kSizingBorder);
}

void FramelessFrame::DeleteClientArea() {
  delete m_client;
  m_client = nullptr;
}

void FramelessFrame::PlaceOnScreen() {
  // The window chooses its own place before it is first mapped. Left to the window manager, a
  // frameless window's first position reaches Qt through a race between the manager's moves
  // and Qt's own query, and under some managers Qt keeps (0, 0): every drop-down list, menu and
  // dialog placed from it would open away from the window until the window is dragged.
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QPoint topLeft(area.x() + std::max(0, (area.width() - width()) / 2),
                       area.y() + std::max(0, (area.height() - height()) / 2));
  move(topLeft);
}

bool FramelessFrame::HandleClientMouse(QEvent* event) {
  auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint cursor = mouse->globalPosition().toPoint();
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      if (mouse->button() != Qt::LeftButton) return false;
      // The move starts once the pointer has moved with the button held. Started at the press,
      // a click whose release came before the window manager had taken the pointer (a touchpad
      // tap, a press and release with no time between) left the manager moving the window
      // after the pointer until the next click.
      m_pressAt = cursor;
      m_dragOffset = cursor - frameGeometry().topLeft();
      m_dragPending = true;
      mouse->accept();
      return true;
    case QEvent::MouseMove:
      if (m_dragging != 0) {
        move(cursor - m_dragOffset);
        return true;
      }
      if (!m_dragPending) return false;
      if (!(mouse->buttons() & Qt::LeftButton)) {
        m_dragPending = false;
        return false;
      }
      if ((cursor - m_pressAt).manhattanLength() < QApplication::startDragDistance()) return true;
      m_dragPending = false;
      // The window manager moves the window where it can (Wayland lets only the compositor
      // move windows, and an X11 manager that moves it tells Qt where it went); our own moves
      // are the fallback for a display without a manager.
      if (windowHandle() && windowHandle()->startSystemMove()) return true;
      m_dragging = 1;
      move(cursor - m_dragOffset);
      return true;
    case QEvent::MouseButtonRelease:
      if (mouse->button() != Qt::LeftButton) return false;
      m_dragPending = false;
      if (m_dragging == 0) return false;
      m_dragging = 0;
      return true;
    default: return false;
  }
}

void FramelessFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kFrameColour);
}

void FramelessFrame::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_client) {
    m_client->resize(width() - 2 * kSizingBorder, height() - 2 * kSizingBorder);
  }
  if (m_sizingEdge != 0) {
    m_layoutPending = true;  // laid out when the button is released
    return;
  }
  LayoutClient();
}

void FramelessFrame::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
  const int y = event->position().toPoint().y();
  const int edge = y < kSizingBorder ? 1 : (y >= height() - kSizingBorder ? 2 : 0);
  if (edge == 0) return QDialog::mousePressEvent(event);
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && windowHandle() &&
      windowHandle()->startSystemResize(edge == 1 ? Qt::TopEdge : Qt::BottomEdge)) {
    return;
  }
  m_sizingEdge = edge;
  m_sizingStart = event->globalPosition().toPoint();
  m_sizingGeometry = geometry();
}

void FramelessFrame::mouseMoveEvent(QMouseEvent* event) {
  if (m_sizingEdge == 0) {
    const int y = event->position().toPoint().y();
    setCursor(y < kSizingBorder || y >= height() - kSizingBorder ? Qt::SizeVerCursor
                                                                  : Qt::ArrowCursor);
    return QDialog::mouseMoveEvent(event);
  }
  const int dy = event->globalPosition().toPoint().y() - m_sizingStart.y();
  QRect target = m_sizingGeometry;
  if (m_sizingEdge == 2) {
    target.setHeight(std::max(minimumHeight(), m_sizingGeometry.height() + dy));
  } else {
    const int newHeight = std::max(minimumHeight(), m_sizingGeometry.height() - dy);
    target.setTop(m_sizingGeometry.bottom() + 1 - newHeight);
  }
  setGeometry(target);
}

void FramelessFrame::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || m_sizingEdge == 0) {
    return QDialog::mouseReleaseEvent(event);
  }
  m_sizingEdge = 0;
  if (m_layoutPending) {
    m_layoutPending = false;
    LayoutClient();
  }
}

}  // namespace qv
