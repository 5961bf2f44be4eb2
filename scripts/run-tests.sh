#!/usr/bin/env bash
# Installs what is missing, builds the corpus, runs its main job (every program once, as
# scripts/run-corpus.sh does) and runs the whole test suite: the programs' tests
# on the default build, and every test on the AddressSanitizer/UndefinedBehaviorSanitizer build;
# then builds the two ThreadSanitizer variants and runs their unserialized and racy programs
# through `corpus run`, which fails on any report in the corpus's own code other than a racy
# program's labelled race (reports inside libraries are shown, not failed).
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

# The default build runs every test but the runner's own (preset "programs"): the runner is
# compiled the same way in both builds but for the sanitizers, so its tests run once, in the
# AddressSanitizer build, while the programs' tests run in both (optimised and not).
for preset in default asan; do
  step "build: $preset"
  bash scripts/configure.sh "$preset" >/dev/null
  [ "$preset" = default ] && build_preset=programs || build_preset=$preset
  cmake --build --preset "$build_preset"
  if [ "$preset" = default ]; then
    step "main job: every program once, natively"
    build/default/tools/corpus run
  fi
  step "tests: $preset"
  ctest --preset "$build_preset"
done

corpus=build/default/tools/corpus
# Each program twice in the plain build, once in the instrumented one: the test command checks
# that no report falls in our own code; rates over many runs are the scorecard's
# (corpus score --repeat N).
repeat_tsan=2
repeat_tsan_deep=1
for preset in tsan tsan-deep; do
  step "build: $preset"
  if [ "$preset" = tsan-deep ] && ! wait "$deep_configure"; then
    cat "$deep_log"
    echo "== the tsan-deep configure failed" >&2
    exit 1
  fi
  bash scripts/configure.sh "$preset" >/dev/null
  cmake --build --preset "$preset"
  for variant in unserialized racy; do
    step "$preset: $variant programs"
    repeat=repeat_${preset//-/_}
    "$corpus" run --tool tsan --bin "build/$preset/bin" --variant "$variant" \
      --repeat "${!repeat}" --jobs 2 --out "build/$preset/corpus-results"
  done
done
step "done"
