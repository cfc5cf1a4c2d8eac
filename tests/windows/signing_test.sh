#!/usr/bin/env bash
# Signed files: a bundled program signed after bundling with a test
# certificate verifies; one payload byte changed after signing does not;
# tevra-bundle (Linux and Windows) reads the signed file; the bundled
# payload-probe.exe, signed, finds its own payload under Wine and extracts
# it into the prefix's local application data, nothing under C:\windows.
# Needs WINEPREFIX set up (run.sh) and both builds.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$PWD/build/windows
linux_bundle=$PWD/build/default/bundler/tevra-bundle
work=$(mktemp -d "$build/signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "signing: FAILED: $*" >&2
  exit 1
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tevra test signing" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
# A length that leaves the bundle 3 bytes short of a multiple of 8: the
# signer pads it before its certificate table, and the payload must still
# be found.
probe=$build/tests/windows/tools/payload-probe.exe
length=$((16384 + ((5 - ($(stat -c %s "$probe") + 16384 + 8) % 8) + 8) % 8))
head -c "$length" /dev/urandom >"$work/firmware.bin"
want=$(sha256sum "$work/firmware.bin" | cut -d' ' -f1)
"$linux_bundle" pack --updater "$probe" \
  --payload "$work/firmware.bin" --output "$work/probe-fw.exe"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Tevra updater" \
  -in "$work/probe-fw.exe" -out "$work/probe-fw-signed.exe" >/dev/null
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/probe-fw-signed.exe" \
  >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "osslsigncode verify refused the signed file"; }
echo "signing: osslsigncode verify accepts the signed file"

for inspect in "$linux_bundle inspect" "wine $build/bundler/tevra-bundle.exe inspect"; do
  out=$($inspect "$work/probe-fw-signed.exe" </dev/null | tr -d '\r') ||
    fail "$inspect cannot read the signed file"
  grep -qx "payload_sha256: $want" <<<"$out" || { echo "$out"; fail "$inspect: wrong payload"; }
  grep -q "^certificate_table_bytes: [1-9]" <<<"$out" || fail "$inspect: no certificate table"
done
echo "signing: tevra-bundle inspect reads the signed file (Linux and Windows)"

# One payload byte changed after signing.
cp "$work/probe-fw-signed.exe" "$work/tampered.exe"
at=$(($(sed -n 's/^image_bytes: //p' <<<"$out") + 100))
byte=$(( ($(od -An -tu1 -j "$at" -N1 "$work/tampered.exe") + 1) % 256 ))
# shellcheck disable=SC2059 # the format is the byte, in octal
printf "\\$(printf '%03o' "$byte")" |
  dd of="$work/tampered.exe" bs=1 seek="$at" conv=notrunc status=none
cmp -s "$work/probe-fw-signed.exe" "$work/tampered.exe" && fail "the byte did not change"
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" >"$work/tampered.log" 2>&1; then
  fail "osslsigncode verify accepted a file whose payload changed after signing"
fi
echo "signing: osslsigncode verify refuses the file whose payload changed after signing"

# A vendor on Windows: tevra-bundle.exe takes the tevra-updater.exe beside
# it, and names outside the ANSI code page.
mkdir "$work/kit"
cp "$build/bundler/tevra-bundle.exe" "$work/kit/"
cp "$probe" "$work/kit/tevra-updater.exe"
cp "$work/firmware.bin" "$work/Fw-固件.bin"
wine "$work/kit/tevra-bundle.exe" pack --windows --payload "$work/Fw-固件.bin" \
  --output "$work/kit-固件.exe" </dev/null >/dev/null || fail "tevra-bundle.exe pack --windows failed"
cmp "$work/probe-fw.exe" "$work/kit-固件.exe" || fail "tevra-bundle.exe packed another file"
echo "signing: tevra-bundle.exe packs the Windows updater beside it, as the Linux one does"

marker=$work/marker
touch "$marker"
out=$(wine "$work/probe-fw-signed.exe" </dev/null | tr -d '\r') || fail "payload-probe.exe failed"
grep -qx "payload_sha256: $want" <<<"$out" || { echo "$out"; fail "probe: wrong payload"; }
grep -qx "extracted_sha256: $want" <<<"$out" || { echo "$out"; fail "probe: wrong extraction"; }
directory=$(readlink -f "$(winepath -u "$(sed -n 's/^directory: //p' <<<"$out")" 2>/dev/null)")
case $directory in
  "$(readlink -f "$WINEPREFIX")"/drive_c/users/*/AppData/Local/Tevra/tevra-updater) ;;
  *) fail "extracted into '$directory', not the local application data folder" ;;
esac
cmp "$work/firmware.bin" "$directory/serial1.bin" || fail "serial1.bin differs from the firmware"
[[ -s $directory/serial1.exe ]] || fail "no serial1.exe"
written=$(find "$WINEPREFIX/drive_c/windows" -newer "$marker" -type f -iname 'serial1*' | head -n 5)
[[ -z $written ]] || fail "written under C:\\windows: $written"
echo "signing: the signed payload-probe.exe found its payload and extracted it into $directory"
