#!/usr/bin/env bash
# Installs what is missing, builds the corpus, runs its main job (every program once, as
# scripts/run-corpus.sh does) and runs the whole test suite on the AddressSanitizer/
# UndefinedBehaviorSanitizer build; then builds the two ThreadSanitizer variants and runs their
# unserialized and racy programs through `corpus run`, which fails on any report in the corpus's
# own code other than a racy program's labelled race (reports inside libraries are shown, not
# failed).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's heading says when it began, in seconds since the start.
step() { echo "== $* (at ${SECONDS} s)"; }

bash scripts/install-deps.sh

# tsan-deep's configure fetches and builds its instrumented libraries, much of that waiting on
# the archive or on single-threaded configure scripts: it runs beside the other builds, and its
# output is shown should it fail. It runs in a session of its own, so that a failure elsewhere
# stops it with everything it started (else a left-over build would go on writing into
# build/tsan-deep under the next run).
deep_log=$(mktemp)
setsid bash scripts/configure.sh tsan-deep >"$deep_log" 2>&1 &
deep_configure=$!
trap 'kill -- -"$deep_configure" 2>/dev/null || true; rm -f "$deep_log"' EXIT

# The default build is what the main job runs (every program once, optimised, against its
# contract) and what runs the ThreadSanitizer builds' programs below. The test suite runs on the
# AddressSanitizer/UndefinedBehaviorSanitizer build, which holds the unoptimised programs to the
# same behaviour and catches memory errors and undefined behaviour besides; what it skips runs on
# the default build after it.
step "build: default"
bash scripts/configure.sh default >/dev/null
cmake --build --preset default --target corpus_all
step "main job: every program once, natively"
build/default/tools/corpus run
step "build: asan"
bash scripts/configure.sh asan >/dev/null
cmake --build --preset asan
step "tests: asan"
asan_log=build/asan/ctest.log
ctest --preset asan | tee "$asan_log"

# What the sanitizer build has to skip (valgrind cannot run its programs, an address-space limit
# does not suit its runner) runs on the default build: the test executables that hold those tests
# are built there, and only those tests run.
mapfile -t skipped < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$asan_log")
if [ ${#skipped[@]} -eq 0 ] && grep -q '(Skipped)' "$asan_log"; then
  echo "== ctest reported skipped tests in a form this script does not read" >&2
  exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
  regex="^($(printf '%s\n' "${skipped[@]}" | sed 's/\./\\./g' | paste -sd'|'))\$"
  mapfile -t targets < <(ctest --preset asan -N -V -R "$regex" -FA ".*" |
                           sed -n 's/^.*Test command: \([^ ]*\).*$/\1/p' | xargs -n1 basename | sort -u)
  step "build: default, the executables of the ${#skipped[@]} tests the sanitizer build skips"
  cmake --build --preset default --target "${targets[@]}"
  step "tests: default, the ${#skipped[@]} tests the sanitizer build skips"
  ctest --preset default -R "$regex"
fi

corpus=build/default/tools/corpus
# Each program runs once in each build: the test command checks that no report falls in our own
# code beyond the labelled races; rates over many runs are the scorecard's
# (corpus score --repeat N).
for preset in tsan tsan-deep; do
  step "build: $preset"
  if [ "$preset" = tsan-deep ] && ! wait "$deep_configure"; then
    cat "$deep_log"
    echo "== the tsan-deep configure failed" >&2
    exit 1
  fi
  bash scripts/configure.sh "$preset" >/dev/null
  # Only the programs run below are built (each program's target bears its name).
  mapfile -t programs < <("$corpus" list | awk '$2 == "unserialized" || $2 == "racy" { print $1 }')
  cmake --build --preset "$preset" --target "${programs[@]}"
  for variant in unserialized racy; do
    step "$preset: $variant programs"
    "$corpus" run --tool tsan --bin "build/$preset/bin" --variant "$variant" --jobs 2 \
      --out "build/$preset/corpus-results"
  done
done
step "done"
