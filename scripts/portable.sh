#!/usr/bin/env bash
# Builds the portable updater: the release build's settings (optimised,
# hardened, no debug information), carrying Qt and the libraries its window
# needs beyond what every desktop has (see scripts/portable-collect.sh).
# Bundle firmware into it with tevra-bundle as into any updater. Prints the
# file's path last: build/portable/tevra-updater
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh portable >&2
cmake --preset portable >/dev/null
cmake --build --preset portable --target tevra-updater tevra-bundle >&2
# Without the compilers' version notes, as the package's other programs.
strip --strip-all --remove-section=.comment -o build/portable/tevra-updater \
  build/portable/app/tevra-updater
echo build/portable/tevra-updater
