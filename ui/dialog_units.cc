#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace tevra {

namespace {

constexpr int kAlphabetLength = 52;

// Rounded like MulDiv(value, numerator, denominator).
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : -((-product + half) / denominator));
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabetWidth = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_cx = (alphabetWidth + kAlphabetLength / 2) / kAlphabetLength;
  m_cy = metrics.height();
}

int DialogUnits::ToPixelsX(int x) const {
  return MulDiv(x, m_cx, 4);
}

int DialogUnits::ToPixelsY(int y) const {
  return MulDiv(y, m_cy, 8);
}

QSize DialogUnits::ToPixels(int w, int h) const {
  return {ToPixelsX(w), ToPixelsY(h)};
}

QRect DialogUnits::ToPixels(int x, int y, int w, int h) const {
  return {ToPixelsX(x), ToPixelsY(y), ToPixelsX(w), ToPixelsY(h)};
}

}  // namespace tevra
