#!/usr/bin/env bash
# Builds the Debian package from a release build (no debug information,
# hardened): build/release/tevra-updater_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh package
cmake --preset release >/dev/null
rm -f build/release/tevra-updater_*.deb
cmake --build --preset release --target package
