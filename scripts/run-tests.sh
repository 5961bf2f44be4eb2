#!/usr/bin/env bash
# Installs what is missing, builds the corpus and runs the whole test suite on the default build
# and on the AddressSanitizer/UndefinedBehaviorSanitizer build; then builds the two
# ThreadSanitizer variants and runs their unserialized and racy programs through `corpus run`,
# which fails on any report in the corpus's own code other than a racy program's labelled race
# (reports inside libraries are shown, not failed).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# tsan-deep's configure fetches and builds its instrumented libraries, much of that waiting on
# the archive or on single-threaded configure scripts: it runs beside the other builds, and its
# output is shown should it fail.
deep_log=$(mktemp)
bash scripts/configure.sh tsan-deep >"$deep_log" 2>&1 &
deep_configure=$!
trap 'kill "$deep_configure" 2>/dev/null || true; rm -f "$deep_log"' EXIT

for preset in default asan; do
  echo "== build: $preset"
  bash scripts/configure.sh "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== tests: $preset"
  ctest --preset "$preset"
done

corpus=build/default/tools/corpus
repeat_tsan=3 # the plain build as before; the instrumented one runs each program once
repeat_tsan_deep=1
for preset in tsan tsan-deep; do
  echo "== build: $preset"
  if [ "$preset" = tsan-deep ] && ! wait "$deep_configure"; then
    cat "$deep_log"
    echo "== the tsan-deep configure failed" >&2
    exit 1
  fi
  bash scripts/configure.sh "$preset" >/dev/null
  cmake --build --preset "$preset"
  for variant in unserialized racy; do
    echo "== $preset: $variant programs"
    repeat=repeat_${preset//-/_}
    "$corpus" run --tool tsan --bin "build/$preset/bin" --variant "$variant" \
      --repeat "${!repeat}" --jobs 2 --out "build/$preset/corpus-results"
  done
done
