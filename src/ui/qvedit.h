#pragma once

#include <QLineEdit>

namespace qv {

// A one-line edit that selects its whole text on the first click after it gains the focus, so
// a new value can be typed straight over the old one; later clicks place the caret as usual.
// GUI thread only.
class QVEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit QVEdit(QWidget* parent = nullptr) : QLineEdit(parent) {}

  bool SelectOnClick() const { return m_selectOnClick; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  bool m_selectOnClick = true;
};

}  // namespace qv
