#!/usr/bin/env bash
# Sets up and builds the three programs it runs (not the tests), bundles a
# demo payload into a copy of the updater, starts the device simulator on
# COM3 and opens the updater's window.
# TEVRA_DEMO_BUILD_DIR: another build directory (default build/default);
# TEVRA_DEMO_DRY_RUN=1: only list what the build would do, then stop.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
targets=(tevra-updater tevra-bundle dongle-sim)

./scripts/setup.sh
bin="${TEVRA_DEMO_BUILD_DIR:-$root/build/default}"
cmake --preset default -B "$bin" >/dev/null
if [[ -n "${TEVRA_DEMO_DRY_RUN:-}" ]]; then
  exec cmake --build "$bin" --target "${targets[@]}" -- -n
fi
if [[ ! -x "$bin/app/tevra-updater" ]]; then
  echo "demo: building ${targets[*]}; the first build takes about 4 minutes on 2 cores, later runs seconds."
fi
cmake --build "$bin" --target "${targets[@]}"

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
if [[ ! -s "$demo/received.bin" ]]; then
  echo "demo: no download was made: the device received nothing."
elif cmp -s "$demo/payload.bin" "$demo/received.bin"; then
  echo "demo: the device received the 16384-byte payload byte for byte."
else
  echo "demo: the image the device received differs from the payload ($(stat -c %s "$demo/received.bin") of 16384 bytes)."
  exit 1
fi
