#!/usr/bin/env bash
# Builds the Debian package (with dongle USB ids, so that it carries the udev
# rule), checks it with lintian, checks the ids setting's other cases on the
# release build, installs the package, runs the installed programs, validates
# the installed desktop entry, AppStream data and udev rule, bundles the
# installed portable updater, then removes the package again (also when a
# check fails). build/release's own ids setting is put back at the end and
# the package built with the test ids is deleted: scripts/package.sh makes
# the one to ship.
# Installs system-wide: meant for CI, which runs as root; elsewhere sudo asks.
set -euo pipefail
cd "$(dirname "$0")/.."
# Mixed case: the package must hold them lower-cased.
test_ids="0403:6001;1A86:7523"
expected_rules='SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", TAG+="uaccess"
SUBSYSTEM=="tty", ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523", TAG+="uaccess"'
rules=/usr/lib/udev/rules.d/70-tevra-updater.rules
release_ids() {
  sed -n 's/^TEVRA_DONGLE_USB_IDS:STRING=//p' build/release/CMakeCache.txt 2>/dev/null || true
}
previous_ids="$(release_ids)"

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
step() { echo "check-package: $*"; }
# Waits for the package lock: other builds on this machine install too.
apt_get() { "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@"; }
scratch="$(mktemp -d)"
installed=""
sim_pids=()
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  if [[ -n "$installed" ]]; then
    step "removing the package"
    apt_get remove --purge -y -q tevra-updater >/dev/null ||
      echo "check-package: could not remove tevra-updater" >&2
  fi
  # Its rule holds the test ids: not a package to ship.
  rm -f build/release/tevra-updater_*.deb
  if [[ "$(release_ids)" != "$previous_ids" ]]; then
    cmake --preset release -DTEVRA_DONGLE_USB_IDS="$previous_ids" >/dev/null ||
      echo "check-package: could not put back TEVRA_DONGLE_USB_IDS=$previous_ids" >&2
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

./scripts/package.sh -DTEVRA_DONGLE_USB_IDS="$test_ids"
debs=(build/release/tevra-updater_*.deb)
deb="${debs[0]}"
version="$(dpkg-deb -f "$deb" Version)"
app_id="$(sed -n 's/^TEVRA_APP_ID:STRING=//p' build/release/CMakeCache.txt)"

step "lintian $deb"
lintian --fail-on error,warning "$deb"

step "TEVRA_DONGLE_USB_IDS: a bad id stops the configure; none installs no rule"
if cmake --preset release -DTEVRA_DONGLE_USB_IDS="0403:6001;1a86:752" >"$scratch/bad.log" 2>&1; then
  echo "a 3-digit product id was accepted" >&2
  exit 1
fi
grep -q "'1a86:752' is not a USB id" "$scratch/bad.log" || { cat "$scratch/bad.log" >&2; exit 1; }
cmake --preset release -DTEVRA_DONGLE_USB_IDS= >/dev/null
DESTDIR="$scratch/plain" cmake --install build/release >/dev/null
[[ -x "$scratch/plain/usr/lib/tevra-updater/tevra-updater" ]]
[[ ! -e "$scratch/plain/usr/lib/udev" ]] || { echo "a rule without ids" >&2; exit 1; }
rm -rf "$scratch/plain"

step "installing $deb"
export DEBIAN_FRONTEND=noninteractive
installed=yes
apt_get install -y -q "./$deb"

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

step "udev rule for $test_ids"
[[ "$(grep -v '^#' "$rules")" == "$expected_rules" ]] || { cat "$rules" >&2; exit 1; }
if grep -q '^ *verify ' <<<"$(udevadm --help)"; then
  "${sudo_cmd[@]}" udevadm verify "$rules"
else
  # No verify before udev 254: a test run on a real tty device reads every
  # rules file and names each line it cannot parse.
  for device in /sys/class/tty/ttyS0 /sys/class/tty/tty /sys/class/tty/console; do
    [[ -e "$device" ]] && break
  done
  "${sudo_cmd[@]}" udevadm test "$device" >"$scratch/udev.log" 2>&1
  grep -qxF "Reading rules file: $rules" "$scratch/udev.log" &&
    ! grep -qF "$rules:" "$scratch/udev.log" ||
    { grep -F "$rules" "$scratch/udev.log" >&2; exit 1; }
fi

step "polkit action for the grant: it names the installed updater, which only root can change"
policy=/usr/share/polkit-1/actions/com.tevra.dongle-updater.grant-port.policy
python3 - "$policy" <<'PY'
import sys, xml.etree.ElementTree as ET
action = ET.parse(sys.argv[1]).getroot().find("action")
notes = {a.get("key"): a.text for a in action.findall("annotate")}
assert action.get("id") == "com.tevra.dongle-updater.grant-port", action.get("id")
assert notes["org.freedesktop.policykit.exec.path"] == "/usr/bin/tevra-updater", notes
assert notes["org.freedesktop.policykit.exec.argv1"] == "--grant-port", notes
assert action.find("defaults/allow_active").text == "auth_admin_keep"
print(action.find("message").text)
PY
for path in /usr/bin/tevra-updater /usr/bin /usr /; do
  [[ "$(stat -c '%u %A' "$path")" =~ ^0\ .....-..-. ]] || { stat "$path" >&2; exit 1; }
done

step "tevra-bundle pack without --updater: the portable updater"
head -c 16384 /dev/urandom >"$scratch/firmware.bin"
tevra-bundle pack --payload "$scratch/firmware.bin" --output "$scratch/portable"
readelf -S --wide "$scratch/portable" >"$scratch/sections"
grep -q ' \.tevra_carried_archive ' "$scratch/sections"
grep -q ' \.tevra_carried_manifest ' "$scratch/sections"

# Publishes a dongle-sim as PORT whose image goes to IMAGE; returns once it
# says so. Its later lines are drained into PORT.log, so it never blocks.
start_sim() {
  local port=$1 fifo="$scratch/$1.out" fd line=""
  mkfifo "$fifo"
  dongle-sim --port "$port" --ports-dir "$scratch/ports" --image "$2" >"$fifo" &
  sim_pids+=("$!")
  exec {fd}<"$fifo"
  read -r -t 20 line <&"$fd" || true
  cat <&"$fd" >"$scratch/$port.log" &
  exec {fd}<&-
  [[ "$line" == "$port -> "* ]] || { echo "dongle-sim did not publish $port" >&2; return 1; }
}

# Runs UPDATER --download to PORT with a runtime directory of its own, so
# that the updaters running at once never share their extracted payloads.
download() {
  mkdir -m 0700 "$scratch/run-$2"
  XDG_RUNTIME_DIR="$scratch/run-$2" TEVRA_PORTS_DIR="$scratch/ports" \
    timeout 300 "$1" --download --port "$2"
}

# Both downloads at once: each takes the protocol's 25.6 s.
headless_downloads() {
  tevra-bundle pack --updater "$(command -v tevra-updater)" \
    --payload "$scratch/firmware.bin" --output "$scratch/updater"
  start_sim COM3 "$scratch/received3.bin"
  start_sim COM4 "$scratch/received4.bin"
  download "$scratch/updater" COM3 &
  local packaged=$! status=0
  download "$scratch/portable" COM4 || status=$?
  wait "$packaged" || status=$?
  kill -TERM "${sim_pids[@]}"
  local pid
  for pid in "${sim_pids[@]}"; do
    wait "$pid"
  done
  sim_pids=()
  ((status == 0)) &&
    cmp "$scratch/firmware.bin" "$scratch/received3.bin" &&
    cmp "$scratch/firmware.bin" "$scratch/received4.bin"
}
if tevra-updater --help | grep -q -- '--download'; then
  step "headless downloads to installed dongle-sims: /usr/bin/tevra-updater and the portable one"
  headless_downloads
else
  step "no headless download: this tevra-updater has no --download"
fi
step "all checks passed"
