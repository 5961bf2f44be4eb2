#!/usr/bin/env bash
# Installs what is missing, builds the corpus and runs every program once in a fresh scratch
# directory seeded with the shipped inputs, showing what each printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

bin=build/default/bin
scratch=build/default/scratch
rm -rf "$scratch"
for exe in "$bin"/*; do
  name=$(basename "$exe")
  dir="$scratch/$name"
  mkdir -p "$dir"
  cp samples/* "$dir"/
  echo "== $name (in $dir)"
  status=0
  (cd "$dir" && timeout 120 "../../bin/$name") || status=$?
  echo "== $name: exit status $status"
done
