#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

namespace qv {

// A painted label: text over whatever its parent paints behind it (transparent), aligned left,
// right or centred. Mouse presses, moves and releases go on to the parent, so the window can be
// dragged by its labels like by its background. GUI thread.
class CCustomStatic : public QWidget {
  Q_OBJECT

 public:
  enum Alignment { kLeft = 0, kRight = 2, kCentre = 6 };

  // `face` at `size` pixels; an empty `face` gives the skin's sans font 11 pixels high (the
  // size is then not used).
  CCustomStatic(QColor textColor, QColor backgroundColor, bool transparent, const QString& face,
                int size, int alignment, QWidget* parent = nullptr);

  // Stores the text and repaints the label's area of the parent.
  void SetText(const QString& text);
  const QString& Text() const { return m_text; }
  // Shows the text as a link (underlined, in the link colour, a pointing hand over it) or not.
  void SetLink(bool link);
  bool IsLink() const { return m_link; }
  int TextAlignment() const { return m_alignment; }
  // Where the text starts: 0 for left, width - text width for right (negative when the text is
  // wider than the label), half of the difference for centred. The font is first narrowed (down
  // to 80 %) when that makes the text fit.
  int TextX() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QFont FittedFont() const;

  QString m_text;
  QColor m_textColor;
  QColor m_backgroundColor;
  bool m_transparent;
  int m_alignment;
  bool m_link = false;
};

}  // namespace qv
