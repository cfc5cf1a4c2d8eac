#!/usr/bin/env bash
# The portable updater against an updater that uses the system's Qt (the
# release build), started the same way on the same display: the file's size,
# and for each kind of start the milliseconds from exec to the window mapped
# and the peak resident memory then (VmHWM), medians of RUNS. "first" starts
# with the portable updater's cache emptied (it unpacks), "later" with it
# filled. Targets: at most 32 MiB, and at most 1.5 times the release build's
# time and memory for both kinds of start.
#   xvfb-run -a bench/portable.sh build/portable/tevra-updater build/release/app/tevra-updater [RUNS]
set -euo pipefail
portable=$1 release=$2 runs=${3:-5}
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT

# Starts UPDATER, waits for its window, prints "MS KB", ends it.
start() {
  local began pid ms kb
  began=$(date +%s%N)
  XDG_CACHE_HOME=$cache "$1" >/dev/null 2>&1 &
  pid=$!
  if ! timeout 120 xdotool search --sync --onlyvisible --pid "$pid" >/dev/null; then
    echo "bench: $1 opened no window" >&2
    exit 1
  fi
  ms=$((($(date +%s%N) - began) / 1000000))
  kb=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "$ms $kb"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A ms kb
for ((i = 0; i < runs; i++)); do
  rm -rf "${cache:?}"/*
  for kind in first later release; do
    read -r m k < <(start "$([[ $kind == release ]] && echo "$release" || echo "$portable")")
    ms[$kind]+="$m " kb[$kind]+="$k "
  done
done

size=$(stat -L -c %s "$portable")
echo "portable_bytes $size mib $(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1048576 }') target_mib 32"
for what in ms kb; do
  declare -n figures=$what
  release_value=$(tr ' ' '\n' <<<"${figures[release]}" | grep . | median)
  for kind in first later; do
    value=$(tr ' ' '\n' <<<"${figures[$kind]}" | grep . | median)
    label=$([[ $what == ms ]] && echo start_ms || echo peak_rss_kb)
    echo "$label $kind $value release $release_value ratio $(awk -v a="$value" -v b="$release_value" \
      'BEGIN { printf "%.2f", a / b }') target_ratio 1.5 runs $runs"
  done
done
