#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>

namespace tevra::res {

// The IDR_MAINFRAME icon: a 32 x 32 and a 16 x 16 image, each drawn in the
// sixteen standard colours over a transparent mask.
QIcon LoadAppIcon();

// The same drawing at size x size pixels, for the desktop's icon theme:
// the same shapes without antialiasing, so only the icon's colours appear
// and, at whole multiples of 32, the rectangles' edges fall on pixel edges.
QImage RenderAppIcon(int size);

// The same drawing as a scalable SVG document on the 32-unit grid.
QByteArray AppIconSvg();

}  // namespace tevra::res
