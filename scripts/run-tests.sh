#!/usr/bin/env bash
# Installs what is missing, builds the corpus and runs the whole test suite on the default build
# and on the AddressSanitizer/UndefinedBehaviorSanitizer build; then builds the ThreadSanitizer
# variant and runs its unserialized programs through `corpus run --tool tsan`, which fails on
# any report in the corpus's own code (reports inside libraries are shown, not failed).
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

echo "== build: tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
echo "== ThreadSanitizer: unserialized programs"
build/default/tools/corpus run --tool tsan --bin build/tsan/bin --variant unserialized --repeat 3
