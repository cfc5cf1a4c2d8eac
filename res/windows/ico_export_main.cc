// tevra-ico-export: writes the program's icon as a Windows .ico file, the
// IDR_MAINFRAME resource of the Windows build: the 32 x 32 and the 16 x 16
// image of the one drawing, 4 bits a pixel in the sixteen standard colours
// over a transparent mask. With --check, compares FILE with what it would
// write instead (the committed file must be the drawing's).
#include <QColor>
#include <QFile>
#include <QImage>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

#include "res/app_icon.h"

namespace {

// The sixteen colours of the standard palette, in its order.
constexpr std::array<QRgb, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
constexpr std::array<int, 2> kSizes = {32, 16};

void PutU16(QByteArray& out, unsigned value) {
  out.append(static_cast<char>(value & 0xFFU));
  out.append(static_cast<char>((value >> 8U) & 0xFFU));
}

void PutU32(QByteArray& out, std::uint32_t value) {
  PutU16(out, value & 0xFFFFU);
  PutU16(out, value >> 16U);
}

std::optional<unsigned> PaletteIndex(QRgb pixel) {
  for (std::size_t i = 0; i < kPalette.size(); ++i) {
    if ((pixel & 0xFFFFFFU) == kPalette[i]) {
      return static_cast<unsigned>(i);
    }
  }
  return std::nullopt;
}

int RowBytes(int bitsPerRow) {
  return (bitsPerRow + 31) / 32 * 4;
}

// One image as the icon resource holds it: a BITMAPINFOHEADER of twice the
// height, the palette, the colour rows and the mask rows, bottom row first.
std::optional<QByteArray> IconImage(int size) {
  const QImage image = tevra::res::RenderAppIcon(size);
  const int colourRow = RowBytes(size * 4);
  const int maskRow = RowBytes(size);
  QByteArray colours(qsizetype{colourRow} * size, '\0');
  QByteArray mask(qsizetype{maskRow} * size, '\0');
  for (int y = 0; y < size; ++y) {
    const int row = size - 1 - y;
    for (int x = 0; x < size; ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qAlpha(pixel) == 0) {
        mask[row * maskRow + x / 8] =
            static_cast<char>(mask[row * maskRow + x / 8] | (0x80 >> (x % 8)));
        continue;
      }
      const std::optional<unsigned> index = PaletteIndex(pixel);
      if (!index || qAlpha(pixel) != 0xFF) {
        (void)std::fprintf(stderr, "tevra-ico-export: pixel %d,%d at %d: not a palette colour\n", x,
                           y, size);
        return std::nullopt;
      }
      const unsigned shift = x % 2 == 0 ? 4U : 0U;
      char& byte = colours[row * colourRow + x / 2];
      byte = static_cast<char>(static_cast<unsigned char>(byte) | (*index << shift));
    }
  }
  QByteArray out;
  PutU32(out, 40);
  PutU32(out, static_cast<std::uint32_t>(size));
  PutU32(out, static_cast<std::uint32_t>(size * 2));
  PutU16(out, 1);
  PutU16(out, 4);
  PutU32(out, 0);
  PutU32(out, static_cast<std::uint32_t>(colours.size() + mask.size()));
  for (int i = 0; i < 4; ++i) {
    PutU32(out, 0);
  }
  for (const QRgb colour : kPalette) {
    PutU32(out, colour);  // RGBQUAD: blue, green, red, 0
  }
  out += colours;
  out += mask;
  return out;
}

std::optional<QByteArray> IconFile() {
  QByteArray directory;
  QByteArray images;
  PutU16(directory, 0);
  PutU16(directory, 1);
  PutU16(directory, kSizes.size());
  const auto headerSize = static_cast<std::uint32_t>(6 + 16 * kSizes.size());
  for (const int size : kSizes) {
    const std::optional<QByteArray> image = IconImage(size);
    if (!image) {
      return std::nullopt;
    }
    directory.append(static_cast<char>(size));
    directory.append(static_cast<char>(size));
    directory.append(static_cast<char>(kPalette.size()));
    directory.append('\0');
    PutU16(directory, 1);
    PutU16(directory, 4);
    PutU32(directory, static_cast<std::uint32_t>(image->size()));
    PutU32(directory, headerSize + static_cast<std::uint32_t>(images.size()));
    images += *image;
  }
  return directory + images;
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<std::size_t>(argc));
  const bool check = args.size() == 3 && std::string_view(args[1]) == "--check";
  if (args.size() != 2 && !check) {
    (void)std::fputs("usage: tevra-ico-export [--check] FILE\n", stderr);
    return 2;
  }
  const std::optional<QByteArray> icon = IconFile();
  if (!icon) {
    return 1;
  }
  QFile file(QString::fromLocal8Bit(args.back()));
  if (check) {
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != *icon) {
      (void)std::fprintf(stderr,
                         "tevra-ico-export: %s is not the drawing's icon; make it again with "
                         "tevra-ico-export %s\n",
                         args.back(), args.back());
      return 1;
    }
    return 0;
  }
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(*icon) != icon->size() ||
      !file.flush()) {
    (void)std::fprintf(stderr, "tevra-ico-export: cannot write %s\n", args.back());
    return 1;
  }
  return 0;
}
