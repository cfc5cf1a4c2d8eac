// tevra-icon-export: writes the program's icon into a hicolor icon tree for
// installation: DIR/hicolor/scalable/apps/NAME.svg and, for each size N,
// DIR/hicolor/NxN/apps/NAME.png.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <cstdio>
#include <span>
#include <string_view>

#include "res/app_icon.h"

namespace {

constexpr int kMaxSize = 1024;

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(bytes) == bytes.size() && file.flush();
}

bool Fail(const QString& what) {
  (void)std::fprintf(stderr, "tevra-icon-export: %s\n", qPrintable(what));
  return false;
}

bool Export(const QString& root, const QString& name, std::span<char*> sizes) {
  const QString scalable = root + QStringLiteral("/hicolor/scalable/apps");
  if (!QDir().mkpath(scalable) ||
      !WriteFile(scalable + "/" + name + ".svg", tevra::res::AppIconSvg())) {
    return Fail("cannot write " + scalable + "/" + name + ".svg");
  }
  for (const char* text : sizes) {
    bool ok = false;
    const int size = QString::fromUtf8(text).toInt(&ok);
    if (!ok || size < 1 || size > kMaxSize) {
      return Fail(QStringLiteral("not a size: \"%1\"").arg(text));
    }
    const QString dir = root + QStringLiteral("/hicolor/%1x%1/apps").arg(size);
    const QString path = dir + "/" + name + ".png";
    if (!QDir().mkpath(dir) || !tevra::res::RenderAppIcon(size).save(path, "PNG")) {
      return Fail("cannot write " + path);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<std::size_t>(argc));
  if (args.size() < 3) {
    (void)std::fputs("usage: tevra-icon-export DIR NAME [SIZE...]\n", stderr);
    return 2;
  }
  return Export(QString::fromLocal8Bit(args[1]), QString::fromLocal8Bit(args[2]), args.subspan(3))
             ? 0
             : 1;
}
