#!/usr/bin/env bash
# Installs what is missing, builds the corpus and runs the whole test suite: on the default
# build and on the AddressSanitizer/UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in default asan; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== tests: $preset"
  ctest --preset "$preset"
done
