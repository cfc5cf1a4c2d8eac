#!/usr/bin/env bash
# The portable updater as a customer gets it, against the system's own Qt:
#   tests/portable/portable_test.sh build/portable/tevra-updater build/default
# (the second directory gives tevra-bundle and dongle-sim). Each case prints
# ok or FAIL; the status is that of the whole run (77 when a case cannot run
# here; the systems tier counts that a failure).
set -uo pipefail
here=$(dirname "$(realpath "$0")")
updater=$(realpath "$1")
bin=$(realpath "$2")
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  chmod -R u+w "$tmp" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CACHE_HOME=$tmp/cache XDG_RUNTIME_DIR=$tmp/run TEVRA_PORTS_DIR=$tmp/ports
mkdir -m 700 "$tmp/run" "$tmp/ports"
failures=0 skipped=0
check() {  # name, then the command that must succeed
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

objcopy -O binary --only-section=.tevra_carried_manifest "$updater" "$tmp/manifest"
system_qt=$(dirname "$(readlink -f /usr/lib/x86_64-linux-gnu/libQt6Core.so.6)")
system_plugins=$system_qt/qt6/plugins

# Starts the window offscreen with the given environment added, waits (60 s
# at most) until the platform plugin is mapped, and leaves the mapped files
# in $tmp/maps and stderr in $tmp/err; ends the window.
window_maps() {
  : >"$tmp/maps"
  env QT_QPA_PLATFORM=offscreen "$@" "$updater" 2>"$tmp/err" &
  local pid=$! i
  for ((i = 0; i < 600; i++)); do
    grep -q 'libqoffscreen\.so' "/proc/$pid/maps" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  awk '{print $6}' "/proc/$pid/maps" 2>/dev/null | sort -u >"$tmp/maps"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  grep -q 'libqoffscreen\.so' "$tmp/maps"
}
# Every Qt, ICU or carried library mapped lives in the cache (or in dir $1).
only_from() {
  ! grep -E 'Qt6|qt6/plugins|icu|xkbcommon|xcb-|libSM|libICE|pcre2-16|double-conv|libb2|md4c' "$tmp/maps" |
    grep -v "^$1/"
}

# Copies another version left: one unused for long (and what a cut-short
# unpacking left) goes when this version unpacks; a recent one and what is
# not the updater's stay.
old=$XDG_CACHE_HOME/tevra-updater
mkdir -p -m 700 "$old"/{qt-0123456789abcdef,.qt-AbC123,qt-fedcba9876543210,photos}
touch -d '20 days ago' "$old"/{qt-0123456789abcdef,.qt-AbC123,photos}
check "first start unpacks and maps the carried Qt only" window_maps
cache=$(dirname "$(ls -d "$old"/qt-*/lib | head -1)")
check "... and removes another version's copy unused for long, only that" \
  test "$(cd "$old" && ls -A | grep -v "^${cache##*/}\$" | sort | tr '\n' ' ')" = "photos qt-fedcba9876543210 "
check "the cache is private" test "$(stat -c %a "$cache")" = 700
check "nothing of the system's Qt is mapped" only_from "$cache"

check "a system Qt named by every variable stays out" window_maps \
  LD_LIBRARY_PATH="$system_qt" QT_PLUGIN_PATH="$system_plugins" \
  QT_QPA_PLATFORM_PLUGIN_PATH="$system_plugins/platforms"
check "... and is not mapped" only_from "$cache"

# A changed file is unpacked afresh; a cache others may write is refused.
chmod u+w "$cache/lib/libQt6Gui.so.6"
printf x >>"$cache/lib/libQt6Gui.so.6"
check "a damaged cache is replaced" window_maps
check "... by the carried file" test "$(stat -c %s "$cache/lib/libQt6Gui.so.6")" = \
  "$(awk '$4 == "lib/libQt6Gui.so.6" {print $3}' "$tmp/manifest")"
# A FIFO where a carried file belongs would hold open() for ever.
rm -f "$cache/lib/libQt6Gui.so.6"
mkfifo "$cache/lib/libQt6Gui.so.6"
check "a FIFO in the cache is replaced and the window starts" window_maps
check "... by the carried file" test -f "$cache/lib/libQt6Gui.so.6"
chmod 770 "$cache"
refused() {
  ! window_maps && [[ $(wc -l <"$tmp/err") -eq 1 ]] &&
    grep -q "^tevra-updater: cannot start the window: .*not a private directory" "$tmp/err"
}
check "a cache others may write is refused in one line" refused
chmod 700 "$cache"

# A user's own Qt, by TEVRA_QT_DIR: regular files only (a link is not followed).
mkdir -p "$tmp/own/lib" "$tmp/fifo/lib" "$tmp/link/lib"
cp "$system_qt/libQt6Core.so.6" "$tmp/own/lib/"
own_qt() {
  window_maps TEVRA_QT_DIR="$tmp/own" && grep -qx "$tmp/own/lib/libQt6Core.so.6" "$tmp/maps" &&
    grep -q "Qt from TEVRA_QT_DIR=" "$tmp/err"
}
check "TEVRA_QT_DIR replaces a carried library" own_qt
own_refused() {  # the directory, then what the line says
  timeout -k 5 60 env QT_QPA_PLATFORM=offscreen TEVRA_QT_DIR="$1" "$updater" 2>"$tmp/err"
  [[ $? -eq 1 && $(wc -l <"$tmp/err") -eq 1 ]] &&
    grep -q "^tevra-updater: cannot start the window: TEVRA_QT_DIR: $1/lib/$2" "$tmp/err"
}
mkfifo "$tmp/fifo/lib/libQt6Gui.so.6"
check "a FIFO in TEVRA_QT_DIR: one line, status 1" own_refused "$tmp/fifo" "libQt6Gui.so.6 is not a regular file"
ln -s "$system_qt/libQt6Core.so.6" "$tmp/link/lib/"
check "a link in TEVRA_QT_DIR: one line, status 1" own_refused "$tmp/link" "libQt6Core.so.6 is a symbolic link"

without_qt() {  # the window on a system whose Qt and the rest are hidden
  window_maps unshare -m "$here/without_system_qt.sh" && only_from "$cache" &&
    grep -qx "$cache/lib/libOpenGL.so.0" "$tmp/maps"
}
system_gl() { window_maps && grep -qx "$(readlink -f "$system_qt/libOpenGL.so.0")" "$tmp/maps"; }
check "the system's libOpenGL when it has one" system_gl
noexec_cache() {  # a cache where nothing may run: said in one line
  mkdir -p "$tmp/noexec"
  unshare -m sh -c 'mount -t tmpfs -o noexec,mode=700 tmpfs "$1" && XDG_CACHE_HOME=$1 exec "$2"' \
    sh "$tmp/noexec" "$updater" 2>"$tmp/err"
  [[ $? -eq 1 && $(wc -l <"$tmp/err") -eq 1 ]] && grep -q "mounted noexec" "$tmp/err"
}
if unshare -m true 2>/dev/null; then
  check "a system without Qt, ICU, xkbcommon, xcb extensions, libOpenGL: the window starts" without_qt
  check "a cache on a noexec file system: one line, status 1" noexec_cache
else
  echo "SKIPPED a system without Qt (unshare -m needs root)"
  skipped=1
fi

# A copy damaged inside its carried archive: refused in one line, nothing kept.
damaged_archive() {
  local size offset status
  read -r size offset < <(objdump -h "$updater" | awk '$2 == ".tevra_carried_archive" { print $3, $6 }')
  cp "$updater" "$tmp/damaged"
  printf '\377\377\377\377' |
    dd of="$tmp/damaged" bs=1 seek=$((16#$offset + 16#$size / 2)) conv=notrunc status=none
  XDG_CACHE_HOME=$tmp/cache2 QT_QPA_PLATFORM=offscreen "$tmp/damaged" 2>"$tmp/err"
  status=$?
  [[ $status -eq 1 && $(wc -l <"$tmp/err") -eq 1 && -z $(ls -A "$tmp/cache2/tevra-updater") ]] &&
    grep -q "^tevra-updater: cannot start the window: unpacking the carried libraries: .*damaged" "$tmp/err"
}
check "a damaged carried archive: one line, status 1, nothing unpacked kept" damaged_archive

no_display() {
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$updater" 2>"$tmp/err"
  [[ $? -eq 1 && $(wc -l <"$tmp/err") -eq 1 ]] && grep -q "^tevra-updater: cannot start the window: " "$tmp/err"
}
check "no display: one line, status 1" no_display

licenses() {
  "$updater" --licenses >"$tmp/licenses" || return 1
  grep -q "GNU Lesser General Public License" "$tmp/licenses" || return 1
  local file
  for file in $(awk '{print $4}' "$tmp/manifest"); do
    grep -q "^==== Debian package .* ${file##*/}\b" "$tmp/licenses" || { echo "no notice for $file"; return 1; }
  done
}
check "--licenses covers every carried file" licenses

# Bundled, it is an updater like any other.
head -c 5000 /dev/urandom >"$tmp/fw.bin"
"$bin/bundler/tevra-bundle" pack --updater "$updater" --payload "$tmp/fw.bin" --output "$tmp/X" >/dev/null
check "tevra-bundle inspect reads the bundle" "$bin/bundler/tevra-bundle" inspect "$tmp/X"
"$bin/sim/dongle-sim" --port COM3 --image "$tmp/received.bin" >"$tmp/sim.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 600; i++)); do [[ -L $tmp/ports/COM3 ]] && break; sleep 0.1; done
check "the bundle's --download writes the firmware" "$tmp/X" --download --baud 115200
check "... byte for byte" cmp -s "$tmp/fw.bin" "$tmp/received.bin"

echo "$failures failed"
((failures == 0)) || exit 1
# A case that could not run here: the run counts as skipped, never passed.
((skipped == 0)) || exit 77
