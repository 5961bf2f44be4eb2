#!/usr/bin/env bash
# Configures the build folder of a preset (build/<preset>). A folder configured by an earlier
# checkout with another generator than the presets' Ninja is one CMake refuses to reconfigure:
# its cache is cleared first, and what else it holds (instrumented libraries, results) stays.
#
#   configure.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:?usage: configure.sh PRESET}
cache=build/$preset/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
  echo "configure: build/$preset was made with another generator; its CMake cache is cleared"
  rm -rf "$cache" "build/$preset/CMakeFiles"
fi
exec cmake --preset "$preset"
