#!/usr/bin/env bash
# Start to window mapped, under Xvfb, in milliseconds: the portable updater's
# first start (its cache emptied before each run) and later starts, against
# another updater (the release build) started the same way.
#   xvfb-run -a bench/portable_start.sh build/portable/tevra-updater build/release/app/tevra-updater [runs]
# $WRAP, when set, is a command the updaters run under (e.g. one that hides
# the system's Qt in a mount namespace).
set -euo pipefail
portable=$1 other=$2 runs=${3:-5}
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT

mapped_ms() {  # updater: starts it, waits for its window to be mapped, ends it
  local start pid
  start=$(date +%s%N)
  XDG_CACHE_HOME=$cache ${WRAP:-} "$1" >/dev/null 2>&1 &
  pid=$!
  if timeout 120 xdotool search --sync --onlyvisible --pid "$pid" >/dev/null; then
    echo "$((($(date +%s%N) - start) / 1000000)) ms"
  else
    echo "no window"
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

for ((i = 0; i < runs; i++)); do
  rm -rf "${cache:?}"/*
  first=$(mapped_ms "$portable")
  later=$(mapped_ms "$portable")
  echo "portable first $first, later $later; $(basename "$other") $(mapped_ms "$other")"
done
