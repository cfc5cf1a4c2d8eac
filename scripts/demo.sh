#!/usr/bin/env bash
# Sets up and builds, bundles a demo payload into a copy of the updater,
# starts the device simulator on COM3 and opens the updater's window.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

bin=$root/build/default
demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/ports" "$demo/runtime"
chmod 700 "$demo/runtime"

head -c 16384 /dev/urandom >"$demo/payload.bin"
# Bundled without debug information, like the packaged updater vendors bundle.
objcopy --strip-debug "$bin/app/tevra-updater" "$demo/updater-image"
"$bin/bundler/tevra-bundle" pack --updater "$demo/updater-image" \
  --payload "$demo/payload.bin" --output "$demo/tevra-updater" --force
"$bin/bundler/tevra-bundle" inspect "$demo/tevra-updater"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "demo: no display to open the window on; run it under Xvfb: xvfb-run -a scripts/demo.sh"
  exit 1
fi

# The demo's own port map and extraction directory, so a real adapter the
# user mapped as COM3 is left alone.
export TEVRA_PORTS_DIR="$demo/ports"
export XDG_RUNTIME_DIR="$demo/runtime"

"$bin/sim/dongle-sim" --port COM3 --ports-dir "$TEVRA_PORTS_DIR" \
  --image "$demo/received.bin" --baud 9600 --pace >"$demo/dongle-sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  [[ -L "$TEVRA_PORTS_DIR/COM3" ]] && break
  if ! kill -0 "$sim" 2>/dev/null; then
    echo "demo: the device simulator did not start:"
    cat "$demo/dongle-sim.log"
    exit 1
  fi
  sleep 0.1
done

echo "demo: a simulated device waits on COM3 at 9600 baud."
echo "demo: press \"Com settings\", then \"Open Com\", then \"Download\"; close the window when done."
"$demo/tevra-updater" || true

kill -TERM "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
trap - EXIT

echo "demo: the device saw:"
sed 's/^/  /' "$demo/dongle-sim.log" | tail -n 5
if [[ -s "$demo/received.bin" ]] && cmp -s "$demo/payload.bin" "$demo/received.bin"; then
  echo "demo: the device received the 16384-byte payload byte for byte."
elif [[ -e "$demo/received.bin" ]]; then
  echo "demo: the image the device received does NOT match the payload ($(stat -c %s "$demo/received.bin") of 16384 bytes)."
  exit 1
else
  echo "demo: no download reached the device."
  exit 1
fi
