#!/usr/bin/env bash
# Builds the Debian package from a release build (no debug information,
# hardened), with the portable updater inside (scripts/portable.sh, built
# first; a later run of that script finds it up to date) and the Windows
# updater (the windows preset's, cross-compiled and stripped; when it does
# not build, the package carries none and says so):
# build/release/tevra-updater_<version>_<arch>.deb
# Arguments go to the release build's configure and stay in its cache, e.g.
#   scripts/package.sh -DTEVRA_FIRMWARE=firmware.bin -DTEVRA_DONGLE_USB_IDS='0403:6001;1a86:7523'
# (relative paths from the repository's top). -B DIR builds in DIR instead
# of build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [[ ${args[i]} == -B ]] && ((i + 1 < ${#args[@]})); then
    build=${args[i + 1]}
  elif [[ ${args[i]} == -B?* ]]; then
    build=${args[i]#-B}
  fi
done
./scripts/setup.sh package
portable="$PWD/$(scripts/portable.sh | tail -n 1)"
windows=
if ./scripts/setup.sh windows >&2 && cmake --preset windows >/dev/null &&
  cmake --build --preset windows --target tevra-updater >&2; then
  x86_64-w64-mingw32-strip --strip-all -o build/windows/tevra-updater.exe \
    build/windows/app/tevra-updater.exe
  windows="$PWD/build/windows/tevra-updater.exe"
else
  echo "package: the Windows updater did not build (cmake --build --preset windows" \
    "--target tevra-updater): the package carries none, and tevra-bundle pack --windows" \
    "says so" >&2
fi
cmake --preset release -DTEVRA_PORTABLE_UPDATER="$portable" -DTEVRA_WINDOWS_UPDATER="$windows" \
  "$@" >/dev/null
rm -f "$build"/tevra-updater_*.deb
cmake --build "$build" --target package
