#pragma once

#include <QIcon>

namespace tevra::res {

// The IDR_MAINFRAME icon: a 32 x 32 and a 16 x 16 image, each drawn in the
// sixteen standard colours over a transparent mask.
QIcon LoadAppIcon();

}  // namespace tevra::res
