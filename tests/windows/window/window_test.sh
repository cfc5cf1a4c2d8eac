#!/usr/bin/env bash
# The native window under Wine and Xvfb. First its in-process tests
# (updater_window_test.exe); then the updater as a customer gets it
# (tevra-updater.exe with a payload bundled by the Linux tevra-bundle), driven by
# the keyboard in its tab order against the dongle simulator on the prefix's
# COM3: Com settings, COM3 and 9600 picked, Open Com, Download. window-probe
# reads the log, the progress bar and the buttons from outside the program;
# the simulator's image must be the payload byte for byte. Prints the time
# from start to a shown window and the window's idle CPU (figures, never a
# failure). Exits 77 (skipped) where it cannot run: no Xvfb, xdotool or Wine,
# or no window built.
#   window_test.sh [--screenshot FILE]   also saves the window as a PNG
set -euo pipefail
cd "$(dirname "$0")/../../.."
build=$PWD/build/windows
bin=$build/tests/windows/window
bundle=${TEVRA_BUNDLE:-$PWD/build/default/bundler/tevra-bundle}
simulator=${TEVRA_DONGLE_SIM:-$PWD/build/default/sim/dongle-sim}
screenshot=
if [[ ${1:-} == --screenshot ]]; then
  screenshot=$(realpath -m "$2")
fi
skip() {
  echo "window: SKIPPED: $*"
  exit 77
}
for tool in Xvfb xdotool wine import; do
  command -v "$tool" >/dev/null || skip "no $tool here"
done
updater=$build/app/tevra-updater.exe
[[ -f $bin/updater_window_test.exe && -f $updater ]] || skip "the window is not built (build/windows)"
[[ -x $bundle && -x $simulator ]] || skip "no $bundle or $simulator (the default preset)"

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wine wineboot -i </dev/null >/dev/null 2>&1 || true
fi
tmp=$(mktemp -d "$build/window.XXXXXX")
com3=$WINEPREFIX/dosdevices/com3
old_com3=$(readlink "$com3" || true)
xvfb= sim= window=
cleanup() {
  for pid in $window $sim; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  # Wine's desktop process holds the display until the prefix's server ends.
  if [[ -n $xvfb ]]; then
    timeout 60 wineserver -w 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
  if [[ -n $old_com3 ]]; then ln -sfn "$old_com3" "$com3"; else rm -f "$com3"; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Waits up to 20 s for a condition that another process brings about.
wait_until() {
  for ((i = 0; i < 200; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
wait_until test -s "$tmp/display" || skip "Xvfb did not start: $(tail -n 1 "$tmp/xvfb.log")"
export DISPLAY=:$(cat "$tmp/display")

"$simulator" --port COM3 --ports-dir "$tmp/ports" --image "$tmp/received.bin" \
  </dev/null >"$tmp/sim.log" 2>&1 &
sim=$!
wait_until test -L "$tmp/ports/COM3" || { echo "window: the simulator published no COM3" >&2; exit 1; }
ln -sfn "$(readlink -f "$tmp/ports/COM3")" "$com3"

# Wine's session keeps the display (or none) it started with: a session of
# earlier tests without one ends first. Each session's server is started
# here, so that what it says at its end goes to a log of its own.
new_session() {
  timeout 60 wineserver -w 2>/dev/null || true
  wineserver </dev/null >>"$tmp/wineserver.log" 2>&1
}
new_session
failed=0
# With the display up, a test that skips for want of one is a failure.
if wine "$bin/updater_window_test.exe" </dev/null >"$tmp/unit.log" 2>&1 &&
  ! grep -q '^\[  SKIPPED \]' "$tmp/unit.log"; then
  echo "window: updater_window_test: $(grep -E '^\[  (PASSED|SKIPPED) ' "$tmp/unit.log" | tr '\n' ' ')"
else
  echo "window: updater_window_test FAILED" >&2
  tail -n 40 "$tmp/unit.log" >&2
  failed=1
fi

probe() {
  wine "$bin/window-probe.exe" "$@" </dev/null
}
caption="Tevra dongle updater for Tevra 7 V2.4.1"
head -c 4096 /dev/urandom >"$tmp/payload.bin"
"$bundle" pack --updater "$updater" --payload "$tmp/payload.bin" \
  --output "$tmp/tevra-updater.exe" >/dev/null
# From a cold start: no Wine process left but a fresh server.
new_session
start=$(date +%s%N)
wine "$tmp/tevra-updater.exe" </dev/null >"$tmp/window.log" 2>&1 &
window=$!
probe wait-window "$caption" >/dev/null
echo "window: start to a painted window: $((($(date +%s%N) - start) / 1000000)) ms (figure)"

# Each step must hold (set -e does not reach into a function run by "if").
e2e() {
  local xid x y w h
  xid=$(xdotool search --sync --onlyvisible --name "^$caption\$" | head -n 1)
  eval "$(xdotool getwindowgeometry --shell "$xid")"
  x=$X y=$Y w=$WIDTH h=$HEIGHT
  # A click into the log (the window's middle) gives the window the focus.
  xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1 || return 1
  # Log -> Com Close -> Download -> reader type -> Com settings.
  xdotool key --delay 150 Tab Tab Tab Tab space || return 1
  probe wait-window "com settings" >/dev/null || return 1
  # The port box has the focus: COM4, back to COM3; the rate stays 9600;
  # Return presses the default button, Open Com.
  xdotool key --delay 150 Down Up Tab Return || return 1
  probe wait-log "Com has opened already!" || return 1
  # Back on Com settings: Shift+Tab twice is Download.
  xdotool key --delay 150 shift+Tab shift+Tab space || return 1
  # The bar follows the blocks, once a second; Download waits meanwhile.
  probe wait-progress 50 || return 1
  probe state | tr -d '\r' | grep -qx "download disabled" || return 1
  if [[ -n $screenshot ]]; then
    mkdir -p "$(dirname "$screenshot")"
    import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$screenshot"
    echo "window: screenshot: $screenshot"
  fi
  probe wait-log "File download finish!" || return 1
  probe wait-enabled || return 1
  probe state | tr -d '\r' >"$tmp/state.txt" || return 1
  # At the end the bar falls back to its start.
  grep -qx "progress 1" "$tmp/state.txt"
}
if ! e2e; then
  echo "window: driving the window FAILED" >&2
  failed=1
fi
cat "$tmp/state.txt" 2>/dev/null || true

# Idle with the port still open: the window's process over 10 s, from the
# kernel's count of its ticks.
ticks() { awk '{print $14 + $15}' "/proc/$window/stat"; }
if [[ -r /proc/$window/stat ]]; then
  before=$(ticks)
  sleep 10
  after=$(ticks)
  hz=$(getconf CLK_TCK)
  echo "window: idle CPU over 10 s, the port open: $(((after - before) * 1000 / hz)) ms of CPU (figure)"
fi

probe close
if ! wait "$window"; then
  echo "window: the window program ended with a failure" >&2
  failed=1
fi
window=
if cmp -s "$tmp/payload.bin" "$tmp/received.bin"; then
  echo "window: download byte for byte ($(stat -c %s "$tmp/payload.bin") bytes, $(grep -ci erase "$tmp/sim.log") erase lines)"
else
  echo "window: the device did not receive the payload byte for byte" >&2
  cat "$tmp/window.log" "$tmp/sim.log" >&2
  failed=1
fi
exit $failed
