#include "ui/controlanchorlist.h"

namespace qv {

bool ControlAnchorList::Register(QWidget* control, float factorX, float factorY) {
  if (!control || Count() >= kMaxControls) return false;
  m_anchors.push_back({control, control->pos(), factorX, factorY});
  return true;
}

void ControlAnchorList::Move(int dx, int dy) {
  for (const Anchor& anchor : m_anchors) {
    if (!anchor.control) continue;
    anchor.control->move(anchor.start.x() + static_cast<int>(dx * anchor.factorX),
                         anchor.start.y() + static_cast<int>(dy * anchor.factorY));
  }
}

}  // namespace qv
