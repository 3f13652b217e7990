#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>

namespace qv {

// The width of the sizing border around the client area.
inline constexpr int kSizingBorder = 3;

// What makes a title-less window behave as a window: a dark sizing border of kSizingBorder
// pixels with a client area inside it, dragging the window by the client area, sizing it by
// its top and bottom border, and its first place on the screen.
//
// A base class rather than a helper object: the frame's behaviour lives in the window's own
// event handlers (resize, paint, the mouse on the border), which a base class overrides
// directly; a helper would need an event filter on the window and every handler passed on.
// The subclass lays its controls out in the client area and gets LayoutClient() after each
// resize; its application-wide event filter passes the client area's mouse events to
// HandleClientMouse(), after its own handling of them.
class FramelessFrame : public QDialog {
  Q_OBJECT

 public:
  explicit FramelessFrame(QWidget* parent = nullptr);

  // The client area inside the sizing border.
  QWidget* ClientArea() const { return m_client; }

 protected:
  // Resizes the window to hold its client area inside the border.
  void FitToClientArea();
  // Centres the window on the screen under the cursor (before it is first shown).
  void PlaceOnScreen();
  // Drags the window by the client area with the left button, once the pointer has moved by
  // the drag distance with the button held; true when the event was used.
  bool HandleClientMouse(QEvent* event);
  // Deletes the client area and every control in it (a subclass whose controls must go before
  // its other members calls this from its destructor).
  void DeleteClientArea();
  // Called after every resize once sizing with the border has ended, with the client area
  // already at its new size.
  virtual void LayoutClient() {}

  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QWidget* m_client = nullptr;
  int m_dragging = 0;
  QPoint m_dragOffset;
  // A left press on the client area waits for the pointer to move before the window does.
  bool m_dragPending = false;
  QPoint m_pressAt;
  // Sizing with the mouse on the border: the edge held (0 none, 1 top, 2 bottom), where it
  // started, and whether a layout waits for the button's release.
  int m_sizingEdge = 0;
  QPoint m_sizingStart;
  QRect m_sizingGeometry;
  bool m_layoutPending = false;
};

}  // namespace qv
