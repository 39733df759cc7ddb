#include "ui/qt/ImageBox.h"

#include <QPainter>

namespace comfind {

void TImageBox::SetPicture(const QImage& Picture) {
  FPicture = Picture;
  update();
}

QRect TImageBox::PictureRect() const {
  if (FPicture.isNull()) return {};
  const QSize Size = FPicture.size().scaled(size(), Qt::KeepAspectRatio);
  return QRect(QPoint((width() - Size.width()) / 2, (height() - Size.height()) / 2), Size);
}

void TImageBox::paintEvent(QPaintEvent*) {
  if (FPicture.isNull()) return;
  QPainter P(this);
  P.setRenderHint(QPainter::SmoothPixmapTransform);
  P.drawImage(PictureRect(), FPicture);
}

}  // namespace comfind
