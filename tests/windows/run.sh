#!/usr/bin/env bash
# The Windows tier: builds the windows preset and runs the core's unit tests
# under Wine, in a prefix kept under the build tree (never $HOME/.wine), with
# the dongle simulator's pseudo-terminal linked as the prefix's COM3.
set -euo pipefail
cd "$(dirname "$0")/../.."
./scripts/setup.sh windows
cmake --preset windows >/dev/null
cmake --build --preset windows
# The simulator runs on the Linux side of the line, and so does the test that
# drives the Windows program end to end.
cmake --preset default >/dev/null
cmake --build --preset default --target dongle-sim wine_headless_test
# The vendor's bundler makes the signed files' bundles on the Linux side
# (and the window's test's).
cmake --build --preset default --target tevra-bundle

build=$PWD/build/windows
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  # Without 32-bit Wine, wineboot says it cannot start syswow64's rundll32:
  # harmless for 64-bit programs.
  wine wineboot -i </dev/null >/dev/null 2>&1 || true
fi
ports=$(mktemp -d "$build/ports.XXXXXX")
sim=
cleanup() {
  if [[ -n $sim ]]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -f "$WINEPREFIX/dosdevices/com3"
  rm -rf "$ports"
}
trap cleanup EXIT

build/default/sim/dongle-sim --port COM3 --ports-dir "$ports" </dev/null >"$build/dongle-sim.log" 2>&1 &
sim=$!
for ((i = 0; i < 100; i++)); do
  [[ -L $ports/COM3 ]] && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.1
done
if [[ -L $ports/COM3 ]]; then
  ln -sfn "$(readlink -f "$ports/COM3")" "$WINEPREFIX/dosdevices/com3"
  export TEVRA_WINE_COM3=1
else
  echo "windows: the simulator published no COM3; the serial port test skips" >&2
fi

failed=()
for test in "$build"/tests/windows/*.exe; do
  name=$(basename "$test" .exe)
  # Standard input from /dev/null: with an open pipe there, wine can hang.
  if timeout 300 wine "$test" </dev/null >"$build/$name.log" 2>&1; then
    echo "windows: $name: $(grep -E '^\[  (PASSED|SKIPPED) ' "$build/$name.log" | tr '\n' ' ')"
  else
    echo "windows: $name FAILED" >&2
    tail -n 30 "$build/$name.log" >&2
    failed+=("$name")
  fi
done
if tests/windows/signing_test.sh >"$build/signing_test.log" 2>&1; then
  echo "windows: signing_test: $(grep -c '^signing: ' "$build/signing_test.log") checks passed"
else
  echo "windows: signing_test FAILED" >&2
  tail -n 30 "$build/signing_test.log" >&2
  failed+=(signing_test)
fi
# tevra-updater.exe --download end to end, with simulators of its own.
if TEVRA_WINE_UPDATER=$build/app/tevra-updater.exe TEVRA_WINE_HOLD=$build/tests/windows/helpers/hold.exe \
  timeout 600 build/default/tests/windows/host/wine_headless_test </dev/null \
  >"$build/wine_headless_test.log" 2>&1; then
  echo "windows: wine_headless_test: $(grep -E '^\[  (PASSED|SKIPPED) ' "$build/wine_headless_test.log" | tr '\n' ' ')"
else
  echo "windows: wine_headless_test FAILED" >&2
  tail -n 30 "$build/wine_headless_test.log" >&2
  failed+=(wine_headless_test)
fi
# The native window, under Xvfb: skipped (77) where it cannot run.
window_status=0
tests/windows/window/window_test.sh || window_status=$?
if ((window_status != 0 && window_status != 77)); then
  failed+=(window)
fi
wineserver -w 2>/dev/null || true
if ((${#failed[@]} > 0)); then
  echo "windows: failed: ${failed[*]}" >&2
  exit 1
fi
