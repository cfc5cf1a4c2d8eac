#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need;
# `scripts/setup.sh package` adds the tools that build the .deb,
# `scripts/setup.sh package-check` those and the ones that check it,
# `scripts/setup.sh systems` those that make the other systems' roots and
# drive the window there (tests/systems), `scripts/setup.sh portable` those
# that build the portable updater, `scripts/setup.sh windows` the
# cross compiler and Wine that build and test the Windows updater (and
# xdotool, which drives its window).
# Does nothing when they are already present; waits for the package lock,
# which other builds on the machine may hold.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev
  fonts-wqy-zenhei
  xvfb xauth x11-apps imagemagick
  dbus-daemon python3-dbus python3-gi
  pkexec polkitd dbus acl udev
  logrotate
)
# dpkg-shlibdeps computes the dependencies, file tells CPack what is a
# program, python3 writes the copyright file.
package=(dpkg-dev file python3)
if [[ "${1:-}" == package ]]; then
  packages+=("${package[@]}")
elif [[ "${1:-}" == package-check ]]; then
  packages+=("${package[@]}" lintian desktop-file-utils appstream man-db udev)
elif [[ "${1:-}" == systems ]]; then
  packages+=(debootstrap xdotool xclip)
elif [[ "${1:-}" == portable ]]; then
  packages+=(python3-fonttools xz-utils liblzma-dev zstd libzstd-dev)
elif [[ "${1:-}" == windows ]]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 osslsigncode xdotool)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
