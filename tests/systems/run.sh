#!/usr/bin/env bash
# The customers' systems tier: the bundled updater on Debian roots as
# customers have them (prepare.sh), each run in a mount namespace of its own
# (chroot with the host's /dev, /proc, /sys and Xvfb's socket directory) against a
# dongle-sim on the host. In each root:
#   headless  `--download --port /dev/pts/N` (the simulator's terminal)
#             writes the firmware byte for byte;
#   window    opens on an Xvfb of the host and downloads to COM3 (a link in
#             the root's ports directory), driven as a person would with
#             xdotool: Com settings, Open Com, Download, until the log
#             (copied as a person would) says "File download finish!";
#   no-qt     while the window is open, no Qt library of the root's own
#             /usr/lib or /lib is mapped into the updater;
#   glyphs    the about box's Chinese caption is drawn with real glyphs, not
#             boxes (glyph_shapes below).
# A portable updater's file is also checked on the host, meanwhile: the
# symbol versions of everything it carries (tests/portable/floor_test.sh)
# and its behaviour beside the host's Qt (tests/portable/portable_test.sh).
# Every case of every root runs at once: each download takes the protocol's
# 25.6 s at least. It fails, never skips, when a root cannot be made or a
# case cannot run.
# Usage: tests/systems/run.sh [UPDATER]
#   UPDATER: the program bundled and tested; default $TEVRA_SYSTEMS_UPDATER,
#   else the portable build (the last line scripts/portable.sh prints) when
#   that script exists, else build/default/app/tevra-updater.
# TEVRA_SYSTEMS_ROOTS="debian12 ..." limits the roots; TEVRA_SYSTEMS_DIR
# keeps them elsewhere than build/systems (a cache that outlives a checkout).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
here="$root/tests/systems"
cd "$root"
out="${TEVRA_SYSTEMS_DIR:-$root/build/systems}"
run="$out/run"
started=$SECONDS

say() { echo "systems: $*" >&2; }
die() { echo "systems: FAILED: $*" >&2; exit 1; }

./scripts/setup.sh systems
cmake --preset default >/dev/null
cmake --build --preset default --target dongle-sim tevra-bundle tevra-updater
sim="$root/build/default/sim/dongle-sim"
updater="${1:-${TEVRA_SYSTEMS_UPDATER:-}}"
if [[ -z "$updater" && -x scripts/portable.sh ]]; then
  updater="$(scripts/portable.sh | tail -n 1)"
fi
updater="${updater:-build/default/app/tevra-updater}"
[[ -x "$updater" ]] || die "no updater to test at $updater"
say "updater under test: $updater"

read -r -a names <<<"${TEVRA_SYSTEMS_ROOTS:-debian12 debian13}"
prep_started=$SECONDS
"$here/prepare.sh" "$out" "${names[@]}" || die "the roots could not be made"
prep_time=$((SECONDS - prep_started))

rm -rf "$run"
mkdir -p "$run"
head -c 16384 /dev/urandom >"$run/firmware.bin"
build/default/bundler/tevra-bundle pack --updater "$updater" --payload "$run/firmware.bin" \
  --output "$run/tevra-updater" >/dev/null

# Each case runs in a subshell of its own and stops what it started.
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}

# An Xvfb of the case's own (nothing else's window in the way of a click);
# it picks a free display and names it on descriptor 3. One starts at a
# time: two servers choosing at once can both take the same number, and the
# loser removes the winner's socket.
start_xvfb() {
  local base="$1" display="" lock
  mkfifo "$base.display"
  exec {lock}>"$run/xvfb.lock"
  flock "$lock"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$base.display" 2>"$base.xvfb" &
  pids+=($!)
  read -r -t 30 display <"$base.display" || true
  exec {lock}>&-
  if [[ -z "$display" ]]; then
    why+=("Xvfb did not start: $(tail -n 3 "$base.xvfb" | tr '\n' ' ')")
    return 1
  fi
  export DISPLAY=":$display"
}

# A simulated device published as COM3 in PORTS_DIR; its log and image are
# BASE.log and BASE.img.
start_sim() {
  local ports="$1" base="$2"
  mkdir -p "$ports"
  "$sim" --port COM3 --ports-dir "$ports" --image "$base.img" >"$base.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  local i
  for ((i = 0; i < 300; i++)); do
    # The terminal is the customer's, as a plugged-in adapter is theirs.
    [[ -L "$ports/COM3" ]] && chown 1000 "$(readlink "$ports/COM3")" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  why+=("the simulator did not publish COM3: $(tail -n 2 "$base.log")")
  return 1
}

# Stops the simulator (it saves its image on exit), then checks the image
# against the firmware byte for byte and the log for one erase and one
# header and one block per 128 bytes.
check_device() {
  local what="$1" base="$2" counts blocks=$((16384 / 128))
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  if ! cmp -s "$run/firmware.bin" "$base.img"; then
    why+=("$what: the device's image differs from the firmware ($(stat -c %s "$base.img" 2>/dev/null || echo no) bytes)")
    return 1
  fi
  counts="$(awk '$0 == "erase" { e++ } $0 == "header" { h++ } /^block [0-9]+ 128 bytes$/ { b++ }
    END { printf "%d %d %d", e, h, b }' "$base.log")"
  [[ "$counts" == "1 $blocks $blocks" ]] && return 0
  why+=("$what: the device saw erases, headers, blocks: $counts (want 1 $blocks $blocks)")
  return 1
}

headless() {
  local name="$1" base="$run/$1/headless" status=0 tty
  start_sim "$base.ports" "$base" || return 1
  tty="$(readlink "$base.ports/COM3")"
  timeout --kill-after=5 120 "$here/enter.sh" "$out/$name" "$run" "$name" \
    /tevra/tevra-updater --download --port "$tty" >"$base.out" 2>"$base.err" || status=$?
  if ((status != 0)); then
    why+=("headless: exit status $status: $(tail -n 1 "$base.out") $(tail -n 2 "$base.err" | tr '\n' ' ')")
    return 1
  fi
  check_device headless "$base"
}

# Waits up to CAP seconds for a visible window of PID whose name matches RE.
find_window() {
  local pid="$1" re="$2" cap="$3" wid i
  for ((i = 0; i < cap * 5; i++)); do
    wid="$(xdotool search --all --onlyvisible --pid "$pid" --name "$re" 2>/dev/null | head -n 1)" || true
    [[ -n "$wid" ]] && { echo "$wid"; return 0; }
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

# Clicks the middle of control X Y W H, in dialog units of a dialog W_DLU x
# H_DLU, in window WID: the window's size in pixels gives the units' scale,
# whatever font the root gave it.
click() {
  local wid="$1" wd="$2" hd="$3" x="$4" y="$5" w="$6" h="$7" button="${8:-1}"
  local W H
  read -r W H < <(xdotool getwindowgeometry --shell "$wid" |
    awk -F= '$1 == "WIDTH" { w = $2 } $1 == "HEIGHT" { h = $2 } END { print w, h }')
  xdotool mousemove --window "$wid" $(((2 * x + w) * W / (2 * wd))) \
    $(((2 * y + h) * H / (2 * hd))) click "$button"
}

# Qt libraries mapped into PID from the root's own system directories.
system_qt() {
  local name="$1" pid="$2" dir="$out/$1"
  awk '{ print $6 }' "/proc/$pid/maps" | sort -u |
    grep -E "^$dir/(usr/)?lib(32|64|x32)?/.*(libQt[0-9]|/qt[0-9]/plugins/)" || true
}

# The about box's OK button ("确定") in a screenshot: the boxes drawn for
# missing glyphs are hollow rectangles, whose rows and columns repeat a few
# patterns (the edges); real glyphs give many. Prints the number of distinct
# inked rows and columns (boxes: 4 to 7; the glyphs: about 30).
# Hook: once the updater can say itself whether its fonts cover its
# captions, ask it here as well as reading pixels.
glyph_shapes() {
  local png="$1" wd="$2" hd="$3" x="$4" y="$5" w="$6" h="$7" W H
  read -r W H < <(identify -format '%w %h\n' "$png")
  # The middle of the button: the label, without the border or focus frame.
  local cx=$(((5 * x + w) * W / (5 * wd))) cy=$(((5 * y + h) * H / (5 * hd)))
  local cw=$((3 * w * W / (5 * wd))) ch=$((3 * h * H / (5 * hd)))
  # Plain PBM ("P1", width, height, then 1 for ink), the header cut off.
  convert "$png" -crop "${cw}x${ch}+${cx}+${cy}" +repage -colorspace Gray -threshold 60% \
    -compress none pbm:- | tr -d ' \n' | cut -c"$((${#cw} + ${#ch} + 3))"- |
    awk -v w="$cw" '{ for (i = 0; i * w < length($0); i++) { r = substr($0, i * w + 1, w)
          for (j = 1; j <= w; j++) col[j] = col[j] substr(r, j, 1)
          if (r ~ /1/) rows[r] } }
      END { for (j = 1; j <= w; j++) if (col[j] ~ /1/) cols[col[j]]
            n = 0; for (r in rows) n++; for (c in cols) n++; print n }'
}

window() {
  local name="$1" base="$run/$1/window" pid wid dlg about i mapped shapes
  start_xvfb "$base" || return 1
  start_sim "$run/$name/ports" "$base" || return 1
  "$here/enter.sh" "$out/$name" "$run" "$name" /tevra/tevra-updater >"$base.out" 2>"$base.err" &
  pid=$!
  pids+=("$pid")
  if ! wid="$(find_window "$pid" '^Tevra dongle updater' 60)"; then
    why+=("window: did not open: $(tail -n 3 "$base.err" | tr '\n' ' ')")
    return 1
  fi
  # The updater's window: 442 x 262 dialog units.
  click "$wid" 442 262 120 6 75 14 # Com settings
  if ! dlg="$(find_window "$pid" '^com settings$' 30)"; then
    why+=("window: the com settings dialog did not open")
  else
    click "$dlg" 127 84 40 64 50 14 # Open Com
    for ((i = 0; i < 100; i++)); do
      xdotool search --all --onlyvisible --pid "$pid" --name '^com settings$' >/dev/null 2>&1 || break
      sleep 0.1
    done
    click "$wid" 442 262 373 6 60 14 # Download
    # The log's text, as a person copies it: click in, select all, copy.
    click "$wid" 442 262 3 49 429 200 # the log
    for ((i = 0; i < 240; i++)); do
      xdotool key ctrl+a ctrl+c
      xclip -o -selection clipboard >"$base.text" 2>/dev/null || true
      grep -q "File download finish!" "$base.text" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.5
    done
    grep -q "File download finish!" "$base.text" ||
      why+=("window: the log never said \"File download finish!\" (it holds: $(head -n 3 "$base.text" | tr '\n' '|'))")
  fi

  # Every Qt library mapped, wherever from, for whoever reads the logs.
  grep -E 'libQt[0-9]|/plugins/' "/proc/$pid/maps" | awk '{ print $6 }' | sort -u >"$base.qt" || true
  mapped="$(system_qt "$name" "$pid")"
  [[ -z "$mapped" ]] ||
    why+=("no-qt: $(grep -c . <<<"$mapped") Qt libraries of the root mapped, e.g. ${mapped%%$'\n'*}")

  # The about box, from the window's menu (a right click beside the buttons).
  click "$wid" 442 262 200 30 20 10 3
  for ((i = 0; i < 100; i++)); do
    (($(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | grep -c .) > 1)) && break
    sleep 0.1
  done
  xdotool key Down Return
  if ! about="$(find_window "$pid" '^关于 Tevra$' 20)"; then
    why+=("glyphs: the about box did not open")
  else
    import -window "$about" "$run/$name/about.png"
    shapes="$(glyph_shapes "$run/$name/about.png" 235 55 178 7 50 14)"
    ((shapes > 15)) || why+=("glyphs: the about box's \"确定\" is drawn as boxes ($shapes distinct rows and columns; $run/$name/about.png)")
    click "$about" 235 55 178 7 50 14 # OK
  fi

  xdotool windowfocus "$wid" key Escape 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    why+=("window: did not close on Escape")
    kill -TERM "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  check_device window "$base"
}

# CASE in root NAME; its causes go to NAME/CASE.why, one a line.
run_case() {
  local name="$1" case="$2" case_started=$SECONDS
  why=()
  trap cleanup EXIT
  "$case" "$name" || true
  ((${#why[@]} == 0)) || printf "%s\n" "${why[@]}" >"$run/$name/$case.why"
  say "$name: $case: $( ((${#why[@]})) && echo failed || echo passed) in $((SECONDS - case_started)) s"
}

cases_started=$SECONDS
jobs=()
checks=()
if objdump -h "$updater" | grep -q '\.tevra_carried_archive'; then
  checks=(floor portable)
  (tests/portable/floor_test.sh "$updater" >"$run/floor.log" 2>&1 || echo "$run/floor.log" >"$run/floor.why") &
  jobs+=($!)
  (xvfb-run -a tests/portable/portable_test.sh "$updater" build/default >"$run/portable.log" 2>&1 ||
    echo "$run/portable.log" >"$run/portable.why") &
  jobs+=($!)
fi
for name in "${names[@]}"; do
  mkdir -p "$run/$name"
  for case in headless window; do
    (run_case "$name" "$case") &
    jobs+=($!)
  done
done
for job in "${jobs[@]}"; do wait "$job" || true; done
cases_time=$((SECONDS - cases_started))

failed=()
for check in "${checks[@]}"; do
  if [[ -f "$run/$check.why" ]]; then
    failed+=("$check")
    grep FAIL "$run/$check.log" | sed "s/^/systems: $check: /" >&2 || true
  fi
  say "the file's $check checks: $([[ -f "$run/$check.why" ]] && echo failed || echo passed) (log: $run/$check.log)"
done
for name in "${names[@]}"; do
  for case in headless window; do
    [[ -f "$run/$name/$case.why" ]] || continue
    failed+=("$name/$case")
    sed "s/^/systems: $name: /" "$run/$name/$case.why" >&2
  done
done

say "roots ready in $prep_time s; cases in $cases_time s; $(du -sm --one-file-system "${names[@]/#/$out/}" | awk '{ s += $1 } END { print s }') MB in all; tier in $((SECONDS - started)) s"
if ((${#failed[@]})); then
  die "${failed[*]} (logs and screenshots in $run)"
fi
say "all cases passed"
