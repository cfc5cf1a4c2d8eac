#include "res/app_icon.h"

#include <gtest/gtest.h>

#include <QXmlStreamReader>

namespace {

// The icon theme's copies come from the one drawing: at any whole multiple
// of the 32-pixel grid, the pixel at the centre of each pixel's block has
// that pixel's colour (odd factors put a pixel's centre there exactly).
TEST(AppIconTest, EnlargedCopiesMatchTheProgramsIconAtEveryPixelCentre) {
  const QImage base = tevra::res::RenderAppIcon(32);
  for (const int factor : {3, 5, 7}) {
    const QImage big = tevra::res::RenderAppIcon(32 * factor);
    ASSERT_EQ(big.width(), 32 * factor);
    int wrong = 0;
    for (int y = 0; y < base.height(); ++y) {
      for (int x = 0; x < base.width(); ++x) {
        const int half = factor / 2;
        wrong += big.pixel(x * factor + half, y * factor + half) != base.pixel(x, y) ? 1 : 0;
      }
    }
    EXPECT_EQ(wrong, 0) << "at " << factor << "x";
  }
}

TEST(AppIconTest, SvgIsWellFormedOnTheGridWithEveryShape) {
  QXmlStreamReader svg(tevra::res::AppIconSvg());
  int shapes = 0;
  while (!svg.atEnd()) {
    if (svg.readNext() != QXmlStreamReader::StartElement) {
      continue;
    }
    if (svg.name() == QLatin1String("svg")) {
      EXPECT_EQ(svg.attributes().value("viewBox"), QLatin1String("0 0 32 32"));
    } else {
      ++shapes;
    }
  }
  EXPECT_FALSE(svg.hasError()) << svg.errorString().toStdString();
  EXPECT_EQ(shapes, 6);
}

}  // namespace
