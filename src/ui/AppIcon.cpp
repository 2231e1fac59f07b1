#include "ui/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrel::ui {

namespace {

// A falcon's wing over a blue disc: the server's mark in the tray.
QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
  painter.drawEllipse(QRectF(0.5, 0.5, s - 1.0, s - 1.0));

  QPainterPath wing;
  wing.moveTo(0.18 * s, 0.62 * s);
  wing.cubicTo(0.35 * s, 0.30 * s, 0.62 * s, 0.22 * s, 0.86 * s, 0.24 * s);
  wing.cubicTo(0.70 * s, 0.36 * s, 0.60 * s, 0.48 * s, 0.54 * s, 0.66 * s);
  wing.cubicTo(0.44 * s, 0.56 * s, 0.32 * s, 0.56 * s, 0.18 * s, 0.62 * s);
  painter.setBrush(QColor(0xf2, 0xa9, 0x3b));
  painter.drawPath(wing);

  painter.setBrush(Qt::white);
  painter.drawEllipse(QRectF(0.40 * s, 0.66 * s, 0.20 * s, 0.20 * s));
  return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(DrawIcon(size));
  return icon;
}

}  // namespace kestrel::ui
