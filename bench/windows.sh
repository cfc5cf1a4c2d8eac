#!/usr/bin/env bash
# The Windows updater under Wine, in the prefix the Windows tier makes
# (tests/windows/run.sh): prints figures, never fails on a slow machine.
#   download_seconds X floor_seconds 25.6 ratio R   16 KB at 9600 baud through
#       Wine's COM3 against dongle-sim answering at once, as the updater's own
#       report times it (erase to the last acknowledgement); the floor is the
#       protocol's, 256 answers each framed by 100 ms of silence; target 1.05
#   exe_bytes N stripped_bytes S stripped_mib M     target: stripped 4 MiB
#   version_ms first F median M runs N              wine start to exit of
#       --version: the first with no wineserver running, then with one
#   bench/windows.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=$PWD/build/windows
exe=$build/app/tevra-updater.exe
for tool in "$exe" build/default/sim/dongle-sim build/default/bundler/tevra-bundle; do
  [[ -x $tool ]] || { echo "bench: $tool is not built (tests/windows/run.sh builds it)" >&2; exit 1; }
done
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
[[ -f $WINEPREFIX/system.reg ]] || wine wineboot -i </dev/null >/dev/null 2>&1 || true
work=$(mktemp -d)
sim=
cleanup() {
  [[ -n $sim ]] && { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }
  rm -f "$WINEPREFIX/dosdevices/com3"
  rm -rf "$work"
}
trap cleanup EXIT
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

head -c 16384 /dev/urandom >"$work/fw.bin"
build/default/bundler/tevra-bundle pack --updater "$exe" --payload "$work/fw.bin" \
  --output "$work/fw-updater.exe" >/dev/null
mkdir "$work/ports"
build/default/sim/dongle-sim --port COM3 --ports-dir "$work/ports" --image "$work/got.bin" \
  </dev/null >"$work/sim.log" 2>&1 &
sim=$!
for ((i = 0; i < 100; i++)); do
  [[ -L $work/ports/COM3 ]] && break
  sleep 0.1
done
ln -sfn "$(readlink -f "$work/ports/COM3")" "$WINEPREFIX/dosdevices/com3"
wine "$work/fw-updater.exe" --download --port COM3 --report "Z:$work/report.jsonl" \
  </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt" >&2; exit 1; }
cmp -s "$work/got.bin" "$work/fw.bin" || { echo "bench: the device got another image" >&2; exit 1; }
seconds=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())["seconds"])' \
  "$work/report.jsonl")
awk -v s="$seconds" 'BEGIN { printf "download_seconds %.3f floor_seconds 25.6 ratio %.4f target 1.05\n", s, s / 25.6 }'

x86_64-w64-mingw32-strip -o "$work/stripped.exe" "$exe"
bytes=$(stat -c %s "$exe")
stripped=$(stat -c %s "$work/stripped.exe")
awk -v b="$bytes" -v s="$stripped" \
  'BEGIN { printf "exe_bytes %d stripped_bytes %d stripped_mib %.2f target 4\n", b, s, s / 1048576 }'

wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
times=()
for ((i = 0; i <= runs; i++)); do
  began=$(date +%s%N)
  wine "$exe" --version </dev/null >/dev/null
  times+=($((($(date +%s%N) - began) / 1000000)))
done
later=$(printf '%s\n' "${times[@]:1}" | median)
echo "version_ms first ${times[0]} median $later runs $runs"
