#include "res/app_icon.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>

namespace tevra::res {

namespace {

// Colours of the standard 16-colour palette that the icon uses.
const QColor kBlack(0, 0, 0);
const QColor kNavy(0, 0, 128);
const QColor kSilver(192, 192, 192);
const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);

// Drawn on a 32 x 32 grid and scaled down for the small image; no
// antialiasing, so no colour outside the palette appears.
QPixmap DrawIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.scale(size / 32.0, size / 32.0);

  // The dongle: a plug on the left, the body, a status light.
  painter.setPen(kBlack);
  painter.setBrush(kSilver);
  painter.drawRect(1, 12, 6, 8);
  painter.setBrush(kNavy);
  painter.drawRect(7, 9, 23, 14);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kRed);
  painter.drawRect(25, 11, 3, 3);

  // The arrow of a download into the body.
  painter.setBrush(kYellow);
  painter.drawPolygon(QPolygon({QPoint(16, 2), QPoint(21, 2), QPoint(21, 12), QPoint(25, 12),
                                QPoint(18, 20), QPoint(12, 12), QPoint(16, 12)}));
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace

QIcon LoadAppIcon() {
  QIcon icon;
  icon.addPixmap(DrawIcon(32));
  icon.addPixmap(DrawIcon(16));
  return icon;
}

}  // namespace tevra::res
