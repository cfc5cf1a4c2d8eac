#!/usr/bin/env bash
# Collects what the portable updater's window needs beyond what every Linux
# desktop has, for app/CMakeLists.txt:
#   portable-collect.sh OUT_DIR WINDOW_MODULE TEXT_DIR PLUGIN...
# writes OUT_DIR/qt.zst (one zstd frame per file, concatenated, in load order),
# OUT_DIR/qt.manifest (lines "lib|fallback|plugin|font CRC64 SIZE PATH", same
# order) and
# OUT_DIR/licenses.xz (the copyright files of the packages they came from).
#
# A library is carried when it matches CARRIED, left to the system when it
# matches SYSTEM (those must match the running system: the C library, the
# C++ runtime, GL, the X client libraries, fonts); anything else stops the
# build, so a new dependency is a decision, not an accident.
set -euo pipefail
out=$1
module=$2
texts=$3
shift 3
plugins=("$@")
# The characters outside ASCII that TEXT_DIR/*.cc give the window (the
# Chinese captions) come from a subset of this font, GPL-2 with a font
# embedding exception: desktops without a CJK font show them too.
cjk_font=/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc
python=/usr/bin/python3
$python -c 'import fontTools' 2>/dev/null && [[ -f $cjk_font ]] ||
  { echo "portable-collect: needs python3-fonttools and fonts-wqy-zenhei" >&2; exit 1; }

# Carried, but loaded only when the system lacks it: libglvnd's thin OpenGL
# dispatcher, which Qt Gui needs at load time and which only Qt pulls in on
# many desktops; the GL behind it stays the system's.
FALLBACK='^libOpenGL\.so\.0$'
CARRIED='^lib(Qt6[A-Za-z]+\.so\.6|icu(data|uc|i18n)\.so\.[0-9]+|double-conversion\.so\.3|pcre2-16\.so\.0|b2\.so\.1|gomp\.so\.1|md4c\.so\.0|xkbcommon(-x11)?\.so\.0|xcb-[a-z0-9-]+\.so\.[0-9]+|SM\.so\.6|ICE\.so\.6)$'
SYSTEM='^(ld-linux-x86-64\.so\.2|lib(c|m|dl|pthread|rt)\.so\.[0-9]+|libstdc\+\+\.so\.6|libgcc_s\.so\.1|lib(GL|GLX|EGL|GLdispatch|gbm|drm)\.so\.[0-9]+|libX11(-xcb)?\.so\.[0-9]+|libxcb\.so\.1|libXau\.so\.6|libXdmcp\.so\.6|libbsd\.so\.0|libfontconfig\.so\.1|libfreetype\.so\.6|libharfbuzz\.so\.0|libglib-2\.0\.so\.0|libdbus-1\.so\.3|libz\.so\.1|libzstd\.so\.1|libpng16\.so\.16|libuuid\.so\.1)$'

rm -rf "$out"
mkdir -p "$out/files"

declare -A where  # soname -> path on this machine
while read -r soname _ path _; do
  [[ -n $path && $path == /* ]] && where[$soname]=$path
done < <(ldd "$module" "${plugins[@]}" | grep '=> /')

declare -A state  # soname -> visiting|done
order=()
visit() {
  local soname=$1 dep
  case ${state[$soname]:-} in done) return ;; visiting) echo "dependency cycle at $soname" >&2; exit 1 ;; esac
  state[$soname]=visiting
  for dep in $(readelf -d "${where[$soname]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    need "$dep"
  done
  state[$soname]=done
  order+=("$soname")
}
need() {
  if [[ $1 =~ $CARRIED || $1 =~ $FALLBACK ]]; then
    [[ -n ${where[$1]:-} ]] || { echo "cannot find $1" >&2; exit 1; }
    visit "$1"
  elif ! [[ $1 =~ $SYSTEM ]]; then
    echo "portable-collect: $1 is neither carried nor left to the system; decide in $0" >&2
    exit 1
  fi
}
for root in "$module" "${plugins[@]}"; do
  for dep in $(readelf -d "$root" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    need "$dep"
  done
done

entries=()
for soname in "${order[@]}"; do
  kind=lib
  [[ $soname =~ $FALLBACK ]] && kind=fallback
  entries+=("$kind ${where[$soname]} lib/$soname")
done
for plugin in "${plugins[@]}"; do
  entries+=("plugin $plugin plugins/$(basename "$(dirname "$plugin")")/$(basename "$plugin")")
done

mkdir -p "$out/font"
$python - "$texts" >"$out/font/text" <<'PY'
import pathlib, sys
chars = {c for f in pathlib.Path(sys.argv[1]).glob("*.cc") for c in f.read_text("utf-8") if ord(c) > 0x7F}
print("".join(sorted(chars)))
PY
$python -m fontTools.subset "$cjk_font" --font-number=0 --text-file="$out/font/text" \
  --no-hinting --output-file="$out/font/wqy-zenhei-subset.ttf" 2>/dev/null
entries+=("font $out/font/wqy-zenhei-subset.ttf fonts/wqy-zenhei-subset.ttf")

# Each file compressed on its own (two at a time), so that the updater
# unpacks them side by side; xz's fastest level only gives the CRC64 that
# lzma_crc64 computes, as the updater checks it.
printf "%s\n" "${entries[@]}" | awk '{print NR, $2}' |
  xargs -P2 -L1 sh -c 'zstd -q -19 --zstd=wlog=21 -c <"$2" >"$0/files/$1.zst" &&
    xz -0 --check=crc64 -T1 -c "$2" >"$0/files/$1.xz"' "$out"
: >"$out/qt.zst"
: >"$out/qt.manifest"
n=0
for entry in "${entries[@]}"; do
  n=$((n + 1))
  read -r kind path dest <<<"$entry"
  crc=$(xz --robot -lvv "$out/files/$n.xz" | awk '$1 == "block" {print $11; exit}')
  echo "$kind $crc $(stat -L -c %s "$path") $dest" >>"$out/qt.manifest"
  cat "$out/files/$n.zst" >>"$out/qt.zst"
done

# Notices, one per package, with the files each covers.
declare -A packageFiles
for entry in "${entries[@]}"; do
  read -r kind path dest <<<"$entry"
  [[ $kind == font ]] && path=$cjk_font
  real=$(readlink -f "$path")
  pkg=$(dpkg -S "$real" 2>/dev/null || dpkg -S "/usr${real#/usr}" 2>/dev/null || dpkg -S "${real#/usr}" 2>/dev/null) ||
    { echo "portable-collect: no package owns $real" >&2; exit 1; }
  pkg=${pkg%%:*}
  packageFiles[$pkg]+=" $(basename "$dest")"
done
{
  echo "This tevra-updater carries the following libraries, each under its own licence."
  echo "Set TEVRA_QT_DIR to a directory of your own builds of them to use those instead."
  echo "wqy-zenhei-subset.ttf holds the glyphs of $(cat "$out/font/text") from WenQuanYi Zen Hei"
  echo "($cjk_font, Debian package fonts-wqy-zenhei $(dpkg-query -W -f='${Version}' fonts-wqy-zenhei),"
  echo "whose source Debian distributes), made with fonttools' subsetter; it is under the same licence."
  for pkg in $(printf '%s\n' "${!packageFiles[@]}" | sort); do
    echo
    echo "==== Debian package $pkg:${packageFiles[$pkg]}"
    cat "/usr/share/doc/$pkg/copyright"
  done
} | xz -9 --check=crc64 >"$out/licenses.xz"
rm -rf "$out/files" "$out/font"
