#pragma once

#include <QPoint>
#include <QPointer>
#include <QWidget>
#include <vector>

namespace qv {

// The controls that follow the bottom edge of the window when it is resized: each remembers
// its position when it was registered and moves by the window's growth times its factors.
// Up to 80 controls. GUI thread.
class ControlAnchorList {
 public:
  static constexpr int kMaxControls = 80;

  // Remembers `control` at its current position. False when the list is full.
  bool Register(QWidget* control, float factorX, float factorY);
  // Moves every registered control to its registered position plus (dx * factorX, dy * factorY),
  // each truncated; size and stacking order stay.
  void Move(int dx, int dy);
  int Count() const { return static_cast<int>(m_anchors.size()); }

 private:
  struct Anchor {
    QPointer<QWidget> control;
    QPoint start;
    float factorX;
    float factorY;
  };
  std::vector<Anchor> m_anchors;
};

}  // namespace qv
