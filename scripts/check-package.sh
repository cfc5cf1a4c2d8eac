#!/usr/bin/env bash
# Builds two test packages in build/package-check (never in build/release,
# whose cache and .deb stay as they were): one without firmware, which must
# have no menu entry, and one with a test firmware and test USB ids, whose
# updater must be the bundled one with a menu entry and a udev rule. Checks
# both with lintian and their AppStream data, and each copyright file against
# what the portable updater carries; installs the second, runs the installed
# programs, validates the installed desktop entry, AppStream data, udev rule
# and polkit action, downloads with the installed updater and a bundled
# portable one, then removes the package (also when a check fails) and
# deletes the test packages, which carry the test firmware.
# A tevra-updater package that is installed already is the publisher's: the
# check then changes nothing and stops, saying so.
# Installs system-wide: meant for CI, which runs as root; elsewhere sudo asks.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh package-check
build=build/package-check
# Mixed case: the package must hold them lower-cased.
test_ids="0403:6001;1A86:7523"
expected_rules='SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", TAG+="uaccess"
SUBSYSTEM=="tty", ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523", TAG+="uaccess"'
rules=/usr/lib/udev/rules.d/70-tevra-updater.rules
firmware="$build/test-firmware.bin"

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
step() { echo "check-package: $*"; }
fail() { echo "check-package: $*" >&2; exit 1; }
# Waits for the package lock: other builds on this machine install too.
apt_get() { "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@"; }

mkdir -p "$build"
# Always the same bytes, so that a test package left behind by a check that
# was killed is told from the publisher's by its firmware.
python3 -c '
import random, sys
r = random.Random(0x55188155)
sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(16384)))' >"$firmware"
firmware_sha="$(sha256sum "$firmware" | cut -d' ' -f1)"

installed_version="$(dpkg-query -W -f='${db:Status-Status} ${Version}' tevra-updater 2>/dev/null || true)"
if [[ $installed_version == installed\ * ]]; then
  if ! tevra-bundle inspect /usr/bin/tevra-updater 2>/dev/null | grep -qxF "payload_sha256: $firmware_sha"; then
    fail "tevra-updater ${installed_version#installed } is installed: this check installs a test package" \
      "and removes it afterwards, which would take that one away. Nothing was changed. Remove it" \
      "(apt-get remove tevra-updater), run the check, then install it again."
  fi
  # The same version from another build would count as installed already.
  step "removing the test package a previous check left installed"
  apt_get remove --purge -y -q tevra-updater >/dev/null
fi

# What the check must leave as it found it.
release_state() {
  sha256sum build/release/CMakeCache.txt build/release/tevra-updater_*.deb 2>/dev/null || true
}
release_before="$(release_state)"

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
  # They carry the test firmware: not packages to ship.
  rm -f "$build"/tevra-updater_*.deb
  rm -rf "$scratch"
}
trap cleanup EXIT

# Builds the test package in $build with the configure arguments given and
# copies it to $scratch/NAME.deb.
package() {
  local name=$1
  shift
  ./scripts/package.sh -B "$build" "$@"
  local debs=("$build"/tevra-updater_*.deb)
  cp "${debs[0]}" "$scratch/$name.deb"
}

# The copyright file must name each part the portable updater carries in a
# Files paragraph, and give each licence it names a License paragraph; Qt's
# libraries must be under the LGPL-3, referred to in common-licenses.
check_copyright() {
  "$2" --licenses >"$scratch/notices"
  python3 - "$1" "$scratch/notices" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
paragraphs = [dict(re.findall(r"^(\S[^:]*):(.*(?:\n[ \t].*)*)", block, re.M))
              for block in re.split(r"\n\s*\n", text.strip())]
assert paragraphs[0]["Format"].strip().startswith("https://www.debian.org/doc/packaging-manuals/copyright-format/1.0")
named = {}
for p in paragraphs:
    for name in p.get("Files", "").split():
        named[name] = p
licences = {p["License"].split("\n")[0].strip(): p["License"] for p in paragraphs if "Files" not in p and "License" in p}
carried = re.findall(r"^==== Debian package [^:]+:((?: \S+)+)$", open(sys.argv[2], encoding="utf-8").read(), re.M)
parts = [name for line in carried for name in line.split()]
assert len(parts) > 10, parts
for part in parts:
    assert part in named, f"the copyright file does not name {part}"
    p = named[part]
    assert p["Copyright"].strip(), f"{part}: no holder"
    for name in re.split(r"\s+(?:and|or)\s+", p["License"].strip()):
        assert name in licences, f"{part}: no License paragraph '{name}'"
assert "LGPL-3" in named["libQt6Core.so.6"]["License"], named["libQt6Core.so.6"]
assert "/usr/share/common-licenses/LGPL-3" in licences["LGPL-3"]
font = [p for p in parts if p.endswith(".ttf")]
assert font and "GPL-2 with Font embedding exception" in named[font[0]]["License"]
print(f"{len(parts)} carried parts named, {len(licences)} licences")
PY
}

step "the package without firmware: no menu entry"
package plain -DTEVRA_FIRMWARE= -DTEVRA_DONGLE_USB_IDS=
lintian --fail-on error,warning "$scratch/plain.deb"
dpkg-deb -x "$scratch/plain.deb" "$scratch/plain"
[[ ! -e "$scratch/plain/usr/share/applications" ]] || fail "a menu entry without firmware"
[[ ! -e "$scratch/plain/usr/share/icons" ]] || fail "menu icons without a menu entry"
[[ ! -e "$scratch/plain/usr/lib/udev" ]] || fail "a udev rule without ids"
[[ -x "$scratch/plain/usr/lib/tevra-updater/tevra-updater" ]]
if "$build/bundler/tevra-bundle" inspect "$scratch/plain/usr/bin/tevra-updater" >/dev/null 2>&1; then
  fail "the updater of a package without firmware carries some"
fi
grep -q '<component type="console-application">' "$scratch/plain/usr/share/metainfo/"*.metainfo.xml
appstreamcli validate-tree --no-net "$scratch/plain"
check_copyright "$scratch/plain/usr/share/doc/tevra-updater/copyright" \
  "$scratch/plain/usr/lib/tevra-updater/tevra-updater"

step "TEVRA_DONGLE_USB_IDS and TEVRA_FIRMWARE: a bad one stops the configure and is named"
if cmake --preset release -B "$build" -DTEVRA_DONGLE_USB_IDS="0403:6001;1a86:752" >"$scratch/bad.log" 2>&1; then
  fail "a 3-digit product id was accepted"
fi
grep -q "'1a86:752' is not a USB id" "$scratch/bad.log" || { cat "$scratch/bad.log" >&2; exit 1; }
if cmake --preset release -B "$build" -DTEVRA_DONGLE_USB_IDS= -DTEVRA_FIRMWARE="$scratch/none.bin" \
  >"$scratch/bad.log" 2>&1; then
  fail "a firmware file that does not exist was accepted"
fi
grep -qF "TEVRA_FIRMWARE: no file at '$scratch/none.bin'" "$scratch/bad.log" ||
  { cat "$scratch/bad.log" >&2; exit 1; }

step "the package with firmware and the udev rule for $test_ids"
package firmware -DTEVRA_FIRMWARE="$PWD/$firmware" -DTEVRA_DONGLE_USB_IDS="$test_ids"
deb="$scratch/firmware.deb"
version="$(dpkg-deb -f "$deb" Version)"
app_id="$(sed -n 's/^TEVRA_APP_ID:STRING=//p' "$build/CMakeCache.txt")"
lintian --fail-on error,warning "$deb"

step "installing it"
export DEBIAN_FRONTEND=noninteractive
installed=yes
apt_get install -y -q "$deb"

step "installed programs"
[[ "$(command -v tevra-updater)" == /usr/bin/tevra-updater ]]
reported="$(tevra-updater --version)"
echo "$reported"
# The menu's updater names the firmware it carries, as sha256sum does.
[[ "$reported" == "tevra-updater $version"$'\n'"firmware: $(stat -c %s "$firmware") bytes, sha256 $firmware_sha" ]]
tevra-bundle --help >/dev/null
dongle-sim --help >/dev/null
for page in tevra-updater tevra-bundle dongle-sim; do
  man -w "$page"
done

step "the file for Windows, from the Windows updater the package carries"
if [[ -e /usr/lib/tevra-updater/tevra-updater.exe ]]; then
  tevra-bundle pack --windows --payload "$firmware" --output "$scratch/fw.exe"
  tevra-bundle inspect "$scratch/fw.exe" | grep -qxF "payload_sha256: $firmware_sha"
else
  echo "check-package: the package carries no Windows updater: it did not build"
fi

step "the menu's updater carries the firmware, byte for byte as bundled"
cmp /usr/bin/tevra-updater "$build/dist/bundled/tevra-updater"
tevra-bundle inspect /usr/bin/tevra-updater | tee "$scratch/inspect"
grep -qxF "payload_sha256: $firmware_sha" "$scratch/inspect"

step "desktop entry, icons and AppStream data"
desktop-file-validate "/usr/share/applications/$app_id.desktop"
grep -qx 'Exec=tevra-updater' "/usr/share/applications/$app_id.desktop"
# --no-net: the home page and the screenshot URL are the publisher's to set.
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml"
grep -q '<component type="desktop-application">' "/usr/share/metainfo/$app_id.metainfo.xml"
for size in 16x16 32x32 48x48 256x256; do
  [[ -s "/usr/share/icons/hicolor/$size/apps/$app_id.png" ]]
done
[[ -s "/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ]]

step "copyright: each part the portable updater carries"
check_copyright /usr/share/doc/tevra-updater/copyright /usr/lib/tevra-updater/tevra-updater

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
tevra-bundle pack --payload "$firmware" --output "$scratch/portable"
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
  start_sim COM3 "$scratch/received3.bin"
  start_sim COM4 "$scratch/received4.bin"
  download /usr/bin/tevra-updater COM3 &
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
    cmp "$firmware" "$scratch/received3.bin" &&
    cmp "$firmware" "$scratch/received4.bin"
}
step "headless downloads to installed dongle-sims: /usr/bin/tevra-updater and the portable one"
headless_downloads

step "build/release's cache and package are as they were"
[[ "$(release_state)" == "$release_before" ]] || fail "build/release changed"
step "all checks passed"
