#include "ui/qt/Logo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace comfind {

QImage DrawLogo(int Size) {
  QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
  Image.fill(Qt::transparent);
  QPainter P(&Image);
  P.setRenderHint(QPainter::Antialiasing);
  P.scale(Size / 100.0, Size / 100.0);  // drawn on a 100 x 100 grid

  // Badge
  QLinearGradient Back(0, 0, 0, 100);
  Back.setColorAt(0, QColor(0x2f, 0x80, 0xd8));
  Back.setColorAt(1, QColor(0x17, 0x3f, 0x8a));
  P.setPen(QPen(QColor(0x10, 0x2c, 0x60), 1.5));
  P.setBrush(Back);
  P.drawRoundedRect(QRectF(4, 4, 92, 92), 18, 18);

  // D-sub 9 connector shell, the widest side up as on a PC's back panel
  QPainterPath Shell;
  Shell.moveTo(14, 26);
  Shell.lineTo(76, 26);
  Shell.lineTo(69, 56);
  Shell.lineTo(21, 56);
  Shell.closeSubpath();
  P.setPen(QPen(QColor(0x0b, 0x22, 0x4d), 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QLinearGradient Metal(0, 26, 0, 56);
  Metal.setColorAt(0, QColor(0xf4, 0xf7, 0xfb));
  Metal.setColorAt(1, QColor(0xb9, 0xc6, 0xd6));
  P.setBrush(Metal);
  P.drawPath(Shell);
  P.setPen(Qt::NoPen);
  P.setBrush(QColor(0x1c, 0x2b, 0x45));
  for (int I = 0; I < 5; ++I)
    P.drawEllipse(QPointF(23 + I * 11, 35), 3.2, 3.2);
  for (int I = 0; I < 4; ++I)
    P.drawEllipse(QPointF(28.5 + I * 11, 47), 3.2, 3.2);

  // Cable leaving the connector
  P.setPen(QPen(QColor(0xf4, 0xf7, 0xfb), 4.0, Qt::SolidLine, Qt::RoundCap));
  P.setBrush(Qt::NoBrush);
  QPainterPath Cable;
  Cable.moveTo(45, 56);
  Cable.cubicTo(45, 72, 22, 70, 20, 86);
  P.drawPath(Cable);

  // Magnifying glass over the lower right
  const QPointF Centre(68, 68);
  P.setPen(QPen(QColor(0x5a, 0x2d, 0x00), 9.0, Qt::SolidLine, Qt::RoundCap));
  P.drawLine(QPointF(78, 78), QPointF(90, 90));
  P.setPen(QPen(QColor(0xff, 0xa0, 0x1c), 6.0, Qt::SolidLine, Qt::RoundCap));
  P.drawLine(QPointF(78, 78), QPointF(89, 89));
  QRadialGradient Glass(Centre - QPointF(4, 4), 16);
  Glass.setColorAt(0, QColor(255, 255, 255, 230));
  Glass.setColorAt(1, QColor(190, 225, 255, 150));
  P.setBrush(Glass);
  P.setPen(QPen(QColor(0xff, 0xa0, 0x1c), 4.5));
  P.drawEllipse(Centre, 14, 14);
  // The "OK" the search waits for, seen through the glass
  P.setPen(QColor(0x12, 0x7a, 0x2a));
  QFont Font(QStringLiteral("DejaVu Sans"));
  Font.setBold(true);
  Font.setPixelSize(11);
  P.setFont(Font);
  P.drawText(QRectF(Centre.x() - 14, Centre.y() - 14, 28, 28), Qt::AlignCenter,
             QStringLiteral("OK"));
  P.end();
  return Image;
}

}  // namespace comfind
