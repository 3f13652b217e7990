#pragma once
// The program's own artwork, drawn with QPainter: the four images of every skinned button, the
// header and footer images of the main window and the fonts they use. Stateless functions from
// a name to an image, so they can be tested without a window. Any thread that may use QImage.

#include <QFont>
#include <QImage>
#include <QSize>
#include <QString>

namespace qv {

enum class ButtonImageState { Up, Down, Focused, Disabled };

// The image size of a button's image set ("BITMAP_PLAY" -> 63 x 52); an invalid size for an
// unknown name.
QSize ButtonImageSize(const QString& baseName);
// The command name a button's images show ("Play"); empty for an unknown name.
QString ButtonCaption(const QString& baseName);
// One image of a button's set; a null image for an unknown name.
QImage RenderButtonImage(const QString& baseName, ButtonImageState state);

// Resource ids of the two background images.
inline constexpr int kHeaderImageId = 1800;
inline constexpr int kFooterImageId = 1801;
// The header (857 x 81) or footer (857 x 97) image; a null image for another id.
QImage RenderSkinImage(int id);

// The window's text font: a plain sans font `pixelSize` pixels high, narrow families first so
// the texts fit the fixed layout.
QFont SkinFont(int pixelSize = 11, bool bold = false);

}  // namespace qv
