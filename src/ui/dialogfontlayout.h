#pragma once

#include <QFont>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

#include "model/dialogtemplate.h"

namespace qv {

// Lays a window out from its dialog template with the template's font at a fixed dots-per-inch
// value, so the window has the same pixel size and control positions on every screen and with
// every system font size. The template's font (a Windows face at 8 points) is replaced by the
// skin's sans font of the same pixel height; the base units are those of the template's font,
// 6 by 13 pixels at 96 dots per inch. GUI thread.
class DialogFontLayout {
 public:
  using FindControl = std::function<QWidget*(int id)>;

  // Resizes `client` to the template's size, then places and sizes each template control found
  // by `find` and gives it the font. A combo box keeps its own height (the template's height
  // includes the dropped-down list). Stops at the first control that is not found and returns
  // false.
  bool Apply(QWidget* client, const DialogTemplate& dialogTemplate, double dpi,
             const FindControl& find);
  // Gives the window and the controls back their old fonts.
  void Undo();

  const BaseUnits& Units() const { return m_units; }
  const QFont& Font() const { return m_font; }

 private:
  BaseUnits m_units;
  QFont m_font;
  std::vector<std::pair<QPointer<QWidget>, QFont>> m_oldFonts;
};

}  // namespace qv
