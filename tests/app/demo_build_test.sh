#!/usr/bin/env bash
# scripts/demo.sh builds what it runs and nothing else: its build, in a
# fresh build directory, as the build tool would carry it out (a dry run),
# makes the updater, the bundler and the simulator, and no test, benchmark
# or virtual-machine program.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
TEVRA_DEMO_BUILD_DIR="$dir/build" TEVRA_DEMO_DRY_RUN=1 "$root/scripts/demo.sh" >"$dir/out" 2>&1 ||
  { echo "FAIL: the demo's dry run failed:"; tail -n 5 "$dir/out"; exit 1; }
failed=0
for program in app/tevra-updater bundler/tevra-bundle sim/dongle-sim; do
  grep -q "Linking CXX executable $program\$" "$dir/out" || { echo "FAIL: $program is not built"; failed=1; }
done
if grep -E "(CXX executable|object) (tests|bench)/" "$dir/out"; then
  echo "FAIL: the demo builds tests or benchmarks (above)"
  failed=1
fi
echo "the demo's build: $(grep -c '^\[' "$dir/out") steps"
exit "$failed"
