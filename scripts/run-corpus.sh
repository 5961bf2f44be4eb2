#!/usr/bin/env bash
# The corpus's main job: installs what is missing, builds the programs and the runner, and runs
# every program once through `corpus run`, each in a fresh directory seeded with the shipped
# inputs, checked against its contract. Extra arguments go to `corpus run`, for example
#   bash scripts/run-corpus.sh --repeat 5
#   bash scripts/run-corpus.sh --tool helgrind xml_fanout_unlocked
# (--tool tsan needs the ThreadSanitizer build: cmake --preset tsan && cmake --build --preset tsan,
# then add --bin build/tsan/bin.)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/configure.sh default >/dev/null
cmake --build --preset default --target corpus_all
exec build/default/tools/corpus run "$@"
