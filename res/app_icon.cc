#include "res/app_icon.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QPoint>
#include <QPolygon>
#include <QRect>
#include <QString>
#include <array>
#include <variant>

namespace tevra::res {

namespace {

// Colours of the standard 16-colour palette that the icon uses.
const QColor kBlack(0, 0, 0);
const QColor kNavy(0, 0, 128);
const QColor kSilver(192, 192, 192);
const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);

constexpr int kGrid = 32;

// One filled shape of the drawing. Outlines are black rectangles under the
// fill rather than pens: a pen straddles its path, so scaled up it would
// stand half a unit off the pixels it covers at 32 x 32.
struct Shape {
  std::variant<QRect, QPolygon> geometry;
  QColor fill;
};

// The dongle (a plug on the left, the body, a status light) and the arrow of
// a download into the body, back to front.
const std::array<Shape, 6>& Shapes() {
  static const std::array<Shape, 6> shapes{{
      {QRect(1, 12, 7, 9), kBlack},
      {QRect(2, 13, 5, 7), kSilver},
      {QRect(7, 9, 24, 15), kBlack},
      {QRect(8, 10, 22, 13), kNavy},
      {QRect(25, 11, 3, 3), kRed},
      {QPolygon({QPoint(16, 2), QPoint(21, 2), QPoint(21, 12), QPoint(25, 12), QPoint(18, 20),
                 QPoint(12, 12), QPoint(16, 12)}),
       kYellow},
  }};
  return shapes;
}

}  // namespace

QImage RenderAppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  // No antialiasing, so no colour outside the palette appears.
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setPen(Qt::NoPen);
  painter.scale(size / double{kGrid}, size / double{kGrid});
  for (const Shape& shape : Shapes()) {
    painter.setBrush(shape.fill);
    if (const auto* rect = std::get_if<QRect>(&shape.geometry)) {
      painter.drawRect(*rect);
    } else {
      painter.drawPolygon(std::get<QPolygon>(shape.geometry));
    }
  }
  painter.end();
  return image;
}

QByteArray AppIconSvg() {
  QString svg = QStringLiteral(
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                    "viewBox=\"0 0 %1 %1\" shape-rendering=\"crispEdges\">\n")
                    .arg(kGrid);
  for (const Shape& shape : Shapes()) {
    const QString fill = shape.fill.name();
    if (const auto* rect = std::get_if<QRect>(&shape.geometry)) {
      svg += QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n")
                 .arg(rect->x())
                 .arg(rect->y())
                 .arg(rect->width())
                 .arg(rect->height())
                 .arg(fill);
      continue;
    }
    QString points;
    for (const QPoint& p : std::get<QPolygon>(shape.geometry)) {
      points += QStringLiteral("%1%2,%3").arg(points.isEmpty() ? "" : " ").arg(p.x()).arg(p.y());
    }
    svg += QStringLiteral("  <polygon points=\"%1\" fill=\"%2\"/>\n").arg(points, fill);
  }
  svg += QStringLiteral("</svg>\n");
  return svg.toUtf8();
}

QIcon LoadAppIcon() {
  QIcon icon;
  icon.addPixmap(QPixmap::fromImage(RenderAppIcon(kGrid)));
  icon.addPixmap(QPixmap::fromImage(RenderAppIcon(kGrid / 2)));
  return icon;
}

}  // namespace tevra::res
