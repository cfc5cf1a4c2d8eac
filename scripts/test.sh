#!/usr/bin/env bash
# Sets up, builds and runs the tests.
# Usage: scripts/test.sh [default|asan|tsan|vm|systems [UPDATER]|windows]
# "vm" runs the cases against the kernel's real serial drivers in a virtual
# machine (tests/vm/run.sh); "systems" runs the bundled updater on Debian
# roots as customers have them (tests/systems/run.sh); "windows" builds the
# Windows core and runs its tests under Wine (tests/windows/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
./scripts/setup.sh
if [[ "$preset" == vm ]]; then
  exec tests/vm/run.sh
fi
if [[ "$preset" == windows ]]; then
  exec tests/windows/run.sh
fi
if [[ "$preset" == systems ]]; then
  exec tests/systems/run.sh "${@:2}"
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
