#pragma once

#include <QAbstractButton>
#include <QPixmap>

#include "ui/skinartwork.h"

namespace qv {

// A skinned push button drawn from four images: up, pressed, focused and disabled. It takes
// the size of its images. Its command name is also its tooltip and accessible name. GUI thread.
class CBitmapButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CBitmapButton(QWidget* parent = nullptr);

  // Loads the image set named `baseName` (e.g. "BITMAP_PLAY") and resizes the button to it.
  // False for an unknown name (the button keeps its old images).
  bool LoadBitmaps(const QString& baseName);
  const QString& BaseName() const { return m_baseName; }
  // The state whose image a paint would show now.
  ButtonImageState CurrentState() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString m_baseName;
  QPixmap m_images[4];
};

}  // namespace qv
