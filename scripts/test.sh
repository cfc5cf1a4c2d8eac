#!/usr/bin/env bash
# Sets up, builds and runs the tests. Usage: scripts/test.sh [default|asan|tsan|vm]
# "vm" runs the cases against the kernel's real serial drivers in a virtual
# machine (tests/vm/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
./scripts/setup.sh
if [[ "$preset" == vm ]]; then
  exec tests/vm/run.sh
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
