#!/usr/bin/env bash
# Installs, with apt-get, every Debian package the corpus needs to build, run and test.
# Does nothing when all of them are present.
#
#   install-deps.sh [--compilers | --full]
#
# --compilers adds the other clang releases of Debian 12 (13, 15 and 16, with their
# ThreadSanitizer runtimes and symbolizers) for the tsan-clang-N presets; --full adds what
# building libcurl, GLib, GTK+ 2 and ImageMagick from their sources takes (preset tsan-full).
# The README's two set-up commands ask for neither.
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
  --full)
    # The build tools, then the development files of the features Debian builds libcurl with
    # (its OpenSSL flavour). GLib's, GTK+ 2's and ImageMagick's come with the development
    # packages above.
    packages+=(meson autoconf automake libtool patch python3-packaging
               libssl-dev libnghttp2-dev libidn2-dev libpsl-dev librtmp-dev libssh2-1-dev
               libldap-dev libkrb5-dev libzstd-dev libbrotli-dev libelf-dev) ;;
  *) echo "install-deps: unknown argument: $1 (--compilers or --full)" >&2; exit 2 ;;
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
