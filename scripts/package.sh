#!/usr/bin/env bash
# Builds the Debian package from a release build (no debug information,
# hardened), with the portable updater inside (scripts/portable.sh, built
# first; a later run of that script finds it up to date):
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
cmake --preset release -DTEVRA_PORTABLE_UPDATER="$portable" "$@" >/dev/null
rm -f "$build"/tevra-updater_*.deb
cmake --build "$build" --target package
