#pragma once
// The main window's geometry in dialog units and the fixed 96 dots-per-inch conversion to
// pixels. The template's font (8 points) has base units of 6 by 13 pixels at 96 dots per inch;
// using them instead of measuring a font makes the window the same size on every screen and
// with every font: a client area of 857 by 393 pixels.

#include <vector>

namespace qv {

enum class TemplateItemKind { Button, ImageButton, ListView, Label, ComboBox };

struct TemplateItem {
  int id;
  TemplateItemKind kind;
  int x, y, cx, cy;  // dialog units; a combo box's cy includes its dropped-down list
};

struct DialogTemplate {
  int cx, cy;      // client size in dialog units
  int pointSize;   // font size in points
  std::vector<TemplateItem> items;
};

struct BaseUnits {
  int width = 6;
  int height = 13;
};

struct PixelRect {
  int x, y, width, height;
};

// The main window's template (101): 571 by 242 dialog units, 8-point font, its controls in
// template order.
const DialogTemplate& MainWindowTemplate();

// Font height in pixels for a point size at `dpi`: point size * dpi / 72, rounded.
int FontPixelHeight(int pointSize, double dpi);
// Dialog units to pixels: x * bw / 4 and y * bh / 8, each rounded half up and truncated.
int DluToPixelsX(int x, const BaseUnits& units);
int DluToPixelsY(int y, const BaseUnits& units);
PixelRect ItemPixelRect(const TemplateItem& item, const BaseUnits& units);
// The client size of a template in pixels.
PixelRect ClientPixelRect(const DialogTemplate& dialog, const BaseUnits& units);

}  // namespace qv
