#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it, runs the
# installed programs and validates the installed desktop entry and AppStream
# data, then removes the package again (also when a check fails).
# Installs system-wide: meant for CI, which runs as root; elsewhere sudo asks.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/package.sh

debs=(build/release/tevra-updater_*.deb)
deb="${debs[0]}"
version="$(dpkg-deb -f "$deb" Version)"
app_id="$(sed -n 's/^TEVRA_APP_ID:STRING=//p' build/release/CMakeCache.txt)"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
step() { echo "check-package: $*"; }

step "lintian $deb"
lintian --fail-on error,warning "$deb"

step "installing $deb"
export DEBIAN_FRONTEND=noninteractive
scratch="$(mktemp -d)"
cleanup() {
  if [[ -n "${SIM_PID:-}" ]]; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
  fi
  step "removing the package"
  "${sudo_cmd[@]}" apt-get remove --purge -y -q tevra-updater >/dev/null
  rm -rf "$scratch"
}
"${sudo_cmd[@]}" apt-get install -y -q "./$deb"
trap cleanup EXIT

step "installed programs"
[[ "$(command -v tevra-updater)" == /usr/bin/tevra-updater ]]
reported="$(tevra-updater --version)"
echo "$reported"
[[ "$reported" == "tevra-updater $version" ]]
tevra-bundle --help >/dev/null
dongle-sim --help >/dev/null
for page in tevra-updater tevra-bundle dongle-sim; do
  man -w "$page"
done

step "desktop entry, icons and AppStream data"
desktop-file-validate "/usr/share/applications/$app_id.desktop"
# --no-net: the home page and the screenshot URL are the publisher's to set.
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml"
for size in 16x16 32x32 48x48 256x256; do
  [[ -s "/usr/share/icons/hicolor/$size/apps/$app_id.png" ]]
done
[[ -s "/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ]]

# A headless download with the installed programs against the installed
# simulator, once the updater has a headless mode that its --help lists.
headless_download() {
  head -c 16384 /dev/urandom >"$scratch/firmware.bin"
  tevra-bundle pack --updater "$(command -v tevra-updater)" \
    --payload "$scratch/firmware.bin" --output "$scratch/updater"
  coproc SIM { exec dongle-sim --port COM3 --ports-dir "$scratch/ports" \
    --image "$scratch/received.bin"; }
  local published=""
  read -r -t 20 published <&"${SIM[0]}" || true
  [[ "$published" == "COM3 -> "* ]] || { echo "dongle-sim did not start" >&2; return 1; }
  local status=0
  TEVRA_PORTS_DIR="$scratch/ports" timeout 300 "$scratch/updater" --download --port COM3 ||
    status=$?
  kill -TERM "$SIM_PID"
  wait "$SIM_PID"
  ((status == 0)) && cmp "$scratch/firmware.bin" "$scratch/received.bin"
}
if tevra-updater --help | grep -q -- '--download'; then
  step "headless download to the installed dongle-sim"
  headless_download
else
  step "no headless download: this tevra-updater has no --download"
fi
step "all checks passed"
