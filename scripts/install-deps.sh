#!/usr/bin/env bash
# Installs, with apt-get, every Debian package the corpus needs to build, run and test.
# Does nothing when all of them are present.
#
#   install-deps.sh [--compilers]
#
# --compilers adds the other clang releases of Debian 12 (13, 15 and 16, with their
# ThreadSanitizer runtimes and symbolizers) for the tsan-clang-N presets; the
# README's two set-up commands do not ask for them.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libpng-dev libexpat1-dev libmagick++-6.q16-dev libgtk2.0-dev libcurl4-openssl-dev zlib1g-dev
  libgtest-dev nlohmann-json3-dev
  xvfb valgrind
  clang-14 libclang-rt-14-dev libomp-14-dev llvm-14 dpkg-dev debian-keyring
  libc6-dbg # names the C library's own globals (gmtime's buffer) in reports
)

case "${1:-}" in
  "") ;;
  --compilers)
    # clang 13 and 15 carry their sanitizer runtimes in libclang-common-N-dev, which clang-N
    # brings; clang 16 has them in a package of their own. Debian lets one libomp-N-dev be
    # installed at a time: every clang build uses LLVM 14's OpenMP runtime.
    for v in 13 15 16; do packages+=("clang-$v" "llvm-$v"); done
    packages+=(libclang-rt-16-dev) ;;
  *) echo "install-deps: unknown argument: $1 (only --compilers)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
