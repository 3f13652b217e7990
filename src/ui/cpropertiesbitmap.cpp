#include "ui/cpropertiesbitmap.h"

#include "ui/skinartwork.h"

namespace qv {

bool CPropertiesBitmap::Load(int id) {
  const QImage image = RenderSkinImage(id);
  if (image.isNull()) return false;
  m_pixmap = QPixmap::fromImage(image);
  m_width = image.width();
  m_height = image.height();
  return true;
}

}  // namespace qv
