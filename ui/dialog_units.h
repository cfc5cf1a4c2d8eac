#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace tevra {

// Dialog units of a dialog font, converted to pixels the way the dialog
// manager does: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int charWidth() const { return m_cx; }
  int charHeight() const { return m_cy; }

  int ToPixelsX(int x) const;
  int ToPixelsY(int y) const;
  QSize ToPixels(int w, int h) const;
  QRect ToPixels(int x, int y, int w, int h) const;

 private:
  int m_cx;
  int m_cy;
};

}  // namespace tevra
