#pragma once

#include <QPixmap>

namespace qv {

// A skin image together with its pixel size, read when it is loaded. GUI thread.
class CPropertiesBitmap {
 public:
  // Loads the image with resource id `id` (the header 1800 or the footer 1801). False for an
  // unknown id; the old image stays.
  bool Load(int id);
  const QPixmap& Pixmap() const { return m_pixmap; }
  int Width() const { return m_width; }
  int Height() const { return m_height; }

 private:
  QPixmap m_pixmap;
  int m_width = 0;
  int m_height = 0;
};

}  // namespace qv
