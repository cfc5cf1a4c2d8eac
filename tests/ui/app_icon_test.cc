#include "res/app_icon.h"

#include <gtest/gtest.h>

#include <QXmlStreamReader>

namespace {

// The icon theme's copies come from the one drawing: at odd multiples of the
// 32-pixel grid, the centre of each pixel's block has that pixel's colour.
TEST(AppIconTest, EnlargedCopiesAndTheSvgKeepTheGrid) {
  const QImage base = tevra::res::RenderAppIcon(32);
  for (const int factor : {3, 7}) {
    const QImage big = tevra::res::RenderAppIcon(32 * factor);
    ASSERT_EQ(big.width(), 32 * factor);
    for (int i = 0; i < 32 * 32; ++i) {
      const int x = i % 32;
      const int y = i / 32;
      ASSERT_EQ(big.pixel(x * factor + factor / 2, y * factor + factor / 2), base.pixel(x, y))
          << x << "," << y << " at " << factor << "x";
    }
  }
  QXmlStreamReader svg(tevra::res::AppIconSvg());
  ASSERT_TRUE(svg.readNextStartElement());
  EXPECT_EQ(svg.attributes().value("viewBox"), QLatin1String("0 0 32 32"));
  while (!svg.atEnd()) {
    svg.readNext();
  }
  EXPECT_FALSE(svg.hasError()) << svg.errorString().toStdString();
}

}  // namespace
