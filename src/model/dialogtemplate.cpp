#include "model/dialogtemplate.h"

#include "model/controlids.h"

namespace qv {

const DialogTemplate& MainWindowTemplate() {
  using K = TemplateItemKind;
  static const DialogTemplate kTemplate{
      571,
      242,
      8,
      {
          {kIdMinimize, K::ImageButton, 533, 2, 11, 10},
          {kIdExit, K::ImageButton, 551, 2, 11, 10},
          {kIdAddFiles, K::ImageButton, 5, 17, 17, 14},
          {kIdAddFolder, K::ImageButton, 52, 17, 17, 14},
          {kIdRemove, K::ImageButton, 99, 17, 17, 14},
          {kIdRemoveAll, K::ImageButton, 146, 17, 17, 14},
          {kIdPlay, K::ImageButton, 193, 17, 17, 14},
          {kIdNormalization, K::ImageButton, 240, 17, 17, 14},
          {kIdConvert1, K::ImageButton, 299, 17, 17, 14},
          {kIdOptions, K::ImageButton, 346, 17, 17, 14},
          {kIdMore, K::ImageButton, 393, 17, 17, 14},
          {kIdHelp, K::ImageButton, 528, 17, 17, 14},
          {kIdHiddenFocus, K::Button, 405, 31, 15, 14},
          {kIdSourceList, K::ListView, 2, 51, 567, 129},
          {kIdFormatLabel, K::Label, 6, 190, 51, 8},
          {kIdFormatList, K::ComboBox, 61, 188, 171, 103},
          {kIdBitrateLabel, K::Label, 234, 190, 28, 8},
          {kIdBitrateList, K::ComboBox, 265, 188, 49, 109},
          {kIdDestinationLabel, K::Label, 6, 209, 51, 8},
          {kIdDestinationList, K::ComboBox, 61, 208, 198, 77},
          {kIdBrowse, K::ImageButton, 266, 207, 17, 14},
          {kIdSameFolderOff, K::ImageButton, 324, 187, 17, 8},
          {kIdSameFolderOn, K::ImageButton, 324, 187, 17, 8},
          {kIdSkipProblemsOff, K::ImageButton, 324, 200, 17, 8},
          {kIdSkipProblemsOn, K::ImageButton, 324, 200, 17, 8},
          {kIdLoudnessOff, K::ImageButton, 324, 213, 17, 8},
          {kIdLoudnessOn, K::ImageButton, 324, 213, 17, 8},
          {kIdConvert2, K::ImageButton, 525, 184, 17, 14},
          {kIdCancel, K::ImageButton, 529, 228, 17, 9},
          {kIdStatusLine, K::Label, 7, 229, 356, 8},
          {kIdNormalizationBadge, K::Label, 370, 229, 153, 8},
      }};
  return kTemplate;
}

int FontPixelHeight(int pointSize, double dpi) {
  return static_cast<int>(pointSize * dpi / 72.0 + 0.5);
}

int DluToPixelsX(int x, const BaseUnits& units) {
  return static_cast<int>(x * units.width * 0.25 + 0.5);
}

int DluToPixelsY(int y, const BaseUnits& units) {
  return static_cast<int>(y * units.height * 0.125 + 0.5);
}

PixelRect ItemPixelRect(const TemplateItem& item, const BaseUnits& units) {
  return {DluToPixelsX(item.x, units), DluToPixelsY(item.y, units), DluToPixelsX(item.cx, units),
          DluToPixelsY(item.cy, units)};
}

PixelRect ClientPixelRect(const DialogTemplate& dialog, const BaseUnits& units) {
  return {0, 0, DluToPixelsX(dialog.cx, units), DluToPixelsY(dialog.cy, units)};
}

}  // namespace qv
