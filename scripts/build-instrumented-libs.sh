#!/usr/bin/env bash
# Builds zlib, expat and libpng (with --full, libcurl, GLib, GTK+ 2 and ImageMagick too) as shared
# libraries from Debian's own source packages of the versions installed on this machine, with the
# compilers and flags given in CC, CXX and CFLAGS (for example -fsanitize=thread), and installs
# them into one prefix. A sanitizer then sees the libraries' own memory accesses, not only ours.
#
#   build-instrumented-libs.sh --prefix DIR --work DIR [--full] [--mirror URL] [--sources FILE]
#                              [--download-only]
#
# --full adds libcurl, GLib (glib, gobject, gio, gmodule, gthread), GTK+ 2 (gdk, gtk) and
# ImageMagick (MagickCore, MagickWand, Magick++ and its coder modules), so that every library the
# programs drive is built with the flags given (scripts/install-deps.sh --full installs what those
# builds need).
#
# The sources come through a private apt set-up under the work folder (its own sources list,
# state and cache), so the machine's apt configuration is left alone. The deb-src entries are
# made from the machine's own deb entries for its Debian release; --mirror replaces the URL of
# the main archive's entries (the security archive keeps its own); --sources gives the deb-src
# lines to use instead. When the installed version of a package cannot be fetched through the
# indexes (they no longer list it, or they list files the archive no longer serves), its files are
# taken from an archive's pool if they are still there (the .dsc's signature checked against
# debian-keyring); failing that, the nearest Debian revision of the same upstream version whose
# files can be fetched is built instead, and the script says so. --download-only stops once the
# sources are fetched and prints which revision of each was fetched.
#
# A stamp in the prefix records what was built (installed versions, compiler, flags, this
# script); when it matches, nothing is fetched or rebuilt.
set -euo pipefail

prefix=
work=
mirror=
sources_given=
sources_text=
download_only=
full=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --mirror) mirror=$2; shift 2 ;;
    --sources) sources_given=1; sources_text=$(cat "$2") || exit 2; shift 2 ;;
    --download-only) download_only=1; shift ;;
    --full) full=1; shift ;;
    *) echo "build-instrumented-libs: unknown argument: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$prefix" ] || [ -z "$work" ]; then
  echo "usage: build-instrumented-libs.sh --prefix DIR --work DIR [--full] [--mirror URL] [--sources FILE] [--download-only]" >&2
  exit 2
fi
prefix=$(realpath -m "$prefix")
work=$(realpath -m "$work")
CC=${CC:-cc}
CFLAGS=${CFLAGS:-}
lib_cflags="$CFLAGS -O2 -g"
jobs=2

say() { echo "instrumented libraries: $*"; }
die() { echo "instrumented libraries: error: $*" >&2; exit 1; }

# The tools a build needs ($1 names what installs them); fetching the sources takes only apt's.
need_tools() {
  local from=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "'$tool' is missing ($from installs it)"
  done
}
need_tools scripts/install-deps.sh apt-get apt-cache dpkg-query dpkg-source

# Binary package whose installed version picks the source; the source package comes from it.
binaries=(zlib1g libexpat1 libpng16-16)
[ -z "$full" ] || binaries+=(libcurl4 libglib2.0-0 libgtk2.0-0 libmagickcore-6.q16-6)
declare -A src_name src_installed src_chosen
for b in "${binaries[@]}"; do
  line=$(dpkg-query -W -f='${db:Status-Abbrev}|${source:Package}|${source:Version}' "$b" 2>/dev/null) ||
    die "package $b is not installed"
  case "$line" in
    ii*) ;;
    *) die "package $b is not installed" ;;
  esac
  IFS='|' read -r _ name version <<<"$line"
  src_name[$b]=$name
  src_installed[$b]=$version
done

key=$(
  printf 'script %s\n' "$(sha256sum "$0" | cut -d' ' -f1)"
  printf 'cc %s\n' "$("$CC" --version | head -n1)"
  printf 'cflags %s\n' "$lib_cflags"
  [ -z "$full" ] || printf 'cxx %s\n' "$("${CXX:-c++}" --version | head -n1)"
  for b in "${binaries[@]}"; do printf 'installed %s %s\n' "${src_name[$b]}" "${src_installed[$b]}"; done
)
stamp=$prefix/.instrumented-libs.stamp
if [ -z "$download_only" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
  say "up to date in $prefix"
  exit 0
fi

# Both folders are emptied first (only the work folder when only fetching, so that the libraries
# already built stay); only ever ones this script made (or empty ones).
marker=.made-by-build-instrumented-libs
emptied=("$work")
[ -n "$download_only" ] || emptied+=("$prefix")
for dir in "${emptied[@]}"; do
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ] && [ ! -e "$dir/$marker" ]; then
    die "$dir exists and was not made by this script; refusing to empty it"
  fi
done
rm -rf "${emptied[@]}"
mkdir -p "${emptied[@]}" "$work/logs"
for dir in "${emptied[@]}"; do touch "$dir/$marker"; done
logs=$work/logs

# Runs a step with its output in a log; on failure shows the log's end and stops.
run_logged() {
  local log=$logs/$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "'$*' failed (whole log: $log)"
  fi
}

# --- the private apt set-up -------------------------------------------------------------------
codename=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release | tr -d "\"")
[ -n "$codename" ] || die "cannot tell the Debian release from /etc/os-release"

apt_dir=$work/apt
mkdir -p "$apt_dir/parts" "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial"
sources=$apt_dir/sources.list

# One "uri|suites|components|signed-by" line per deb entry of the machine, from one-line .list
# files and deb822 .sources files alike.
machine_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '
      $1 == "deb" {
        signed = ""; i = 2
        if ($2 ~ /^\[/) {
          while (i <= NF) {
            opt = $i; sub(/^\[/, "", opt); sub(/\]$/, "", opt)
            if (opt ~ /^signed-by=/) { signed = substr(opt, 11) }
            if ($i ~ /\]$/) { i++; break }
            i++
          }
        }
        uri = $i; suite = $(i + 1); comps = ""
        for (j = i + 2; j <= NF && $j !~ /^#/; j++) comps = comps (comps == "" ? "" : " ") $j
        print uri "|" suite "|" comps "|" signed
      }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "")
          print uris "|" suites "|" comps "|" signed
        types = uris = suites = comps = signed = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { next }
      {
        field = tolower($1); sub(/:$/, "", field)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        if (field == "types") types = value
        else if (field == "uris") uris = value
        else if (field == "suites") suites = value
        else if (field == "components") comps = value
        else if (field == "enabled") enabled = tolower(value)
        else if (field == "signed-by" && value ~ /^\//) signed = value
      }
      END { flush() }' "$f"
  done
}

if [ -n "$sources_given" ]; then
  printf '%s\n' "$sources_text" >"$sources"
else
  : >"$sources"
  while IFS='|' read -r uris suites comps signed; do
    for uri in $uris; do
      for suite in $suites; do
        # Only the Debian release's own suites: other vendors' repositories carry no deb-src.
        case "$suite" in
          "$codename" | "$codename"-*) ;;
          *) continue ;;
        esac
        from=$uri
        if [ -n "$mirror" ] && [[ "$suite" != *-security ]]; then
          from=$mirror
        fi
        opts=
        [ -z "$signed" ] || opts="[signed-by=$signed] "
        echo "deb-src ${opts}${from} ${suite} ${comps}" >>"$sources"
      done
    done
  done < <(machine_entries)
fi
[ -s "$sources" ] || die "no apt entry for Debian $codename in /etc/apt/sources.list or /etc/apt/sources.list.d"

apt_opts=(
  -o "Dir::Etc::SourceList=$sources"
  -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::State=$apt_dir/state"
  -o "Dir::Cache=$apt_dir/cache"
)
# Root downloads as root into our own folders (the sandbox user could not write there).
[ "$(id -u)" -ne 0 ] || apt_opts+=(-o "APT::Sandbox::User=root")

# The URI and suite of each deb-src line, past its [options].
source_entries() {
  awk '$1 == "deb-src" {
    i = 2
    if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
    if (i + 1 <= NF) print $i " " $(i + 1)
  }' "$sources"
}
say "reading the source indexes of $(source_entries | tr ' ' '/' | sort -u | tr '\n' ' ')"
if ! apt-get "${apt_opts[@]}" -q --error-on=any update >"$logs/apt-update.log" 2>&1; then
  # apt says "Failed to fetch <URL>  <reason>" once for each index it could not get.
  echo "instrumented libraries: error: could not reach the Debian package archive:" >&2
  grep -E '^[WE]: Failed to fetch ' "$logs/apt-update.log" | sed -E 's/^[WE]: Failed to fetch /  /' >&2 || true
  die "apt-get update with the private sources list $sources failed (whole log: $logs/apt-update.log)"
fi

# --- pick the versions and fetch the sources ---------------------------------------------------
upstream_of() { local v=${1#*:}; echo "${v%-*}"; }
# The version without its Debian revision, epoch kept: revisions of one upstream version share it.
without_revision() { echo "${1%-*}"; }

src_dir=$work/src
mkdir -p "$src_dir"
[ "$(id -u)" -ne 0 ] || chmod 755 "$work" "$src_dir"
helper=/usr/lib/apt/apt-helper
archives=$(source_entries | cut -d' ' -f1 | sort -u)

# A version the indexes no longer list may still lie in an archive's pool. Fetches its .dsc and
# the files it lists (each checked against the .dsc's SHA-256) into $src_dir, once the .dsc's own
# signature checks out against the maintainers' keyring (package debian-keyring): nothing signed
# the indexes vouches for these files. Returns 1 when no archive has them all, validly signed.
fetch_from_pool() {
  local name=$1 version=${2#*:} dir uri pool try dsc sum file ok
  case "$name" in
    lib?*) dir=${name:0:4} ;;
    *) dir=${name:0:1} ;;
  esac
  for uri in $archives; do
    for pool in pool/main pool/updates/main; do
      try=$work/pool-try
      rm -rf "$try"
      mkdir -p "$try"
      [ "$(id -u)" -ne 0 ] || chmod 755 "$try"
      dsc=${name}_${version}.dsc
      "$helper" "${apt_opts[@]}" download-file "$uri/$pool/$dir/$name/$dsc" "$try/$dsc" \
        >>"$logs/pool-$name.log" 2>&1 || continue
      ok=1
      while read -r sum _ file; do
        "$helper" "${apt_opts[@]}" download-file "$uri/$pool/$dir/$name/$file" "$try/$file" "SHA256:$sum" \
          >>"$logs/pool-$name.log" 2>&1 || { ok=0; break; }
      done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$try/$dsc")
      if [ "$ok" = 1 ] &&
         ! dpkg-source --require-valid-signature -x "$try/$dsc" "$try/check" >>"$logs/pool-$name.log" 2>&1; then
        say "$uri/$pool/$dir/$name/$dsc: no valid signature (see $logs/pool-$name.log)"
        ok=0
      fi
      if [ "$ok" = 1 ]; then
        rm -rf "$try/check"
        mv "$try"/* "$src_dir"/
        rm -rf "$try"
        say "fetched $name $2 from $uri/$pool (no longer in the indexes)"
        return 0
      fi
    done
  done
  rm -rf "$work/pool-try"
  return 1
}

# Fetches the source package NAME=VERSION that the indexes list into $src_dir; on failure (the
# index lists files the archive no longer serves) says why and returns 1.
fetch_listed() {
  local name=$1 version=$2 log=$logs/apt-source-$1-${2#*:}.log
  if (cd "$src_dir" && apt-get "${apt_opts[@]}" -q source --download-only "$name=$version") >>"$log" 2>&1; then
    return 0
  fi
  say "could not fetch $name $version, which the indexes list:"
  grep -E '^[WE]: Failed to fetch [a-z]+:' "$log" | sed -E 's/^[WE]: Failed to fetch /  /' | sort -u || true
  return 1
}

# Prints the versions given, nearest first: each time the one of those left that is `op` ("lt":
# the lowest first, "gt": the highest) in dpkg's order. Few revisions: selection does.
in_order() {
  local op=$1 i best
  shift
  local left=("$@")
  while [ ${#left[@]} -gt 0 ]; do
    best=0
    for i in "${!left[@]}"; do
      if dpkg --compare-versions "${left[$i]}" "$op" "${left[$best]}"; then best=$i; fi
    done
    echo "${left[$best]}"
    left=("${left[@]:0:$best}" "${left[@]:$((best + 1))}")
  done
}

# The other revisions of the installed version's upstream version that the indexes list, nearest
# first: the newer ones from the oldest up, then the older ones from the newest down.
other_revisions() {
  local want=$1 v
  shift
  local newer=() older=()
  for v in "$@"; do
    [ "$v" != "$want" ] && [ "$(without_revision "$v")" = "$(without_revision "$want")" ] || continue
    if dpkg --compare-versions "$v" gt "$want"; then newer+=("$v"); else older+=("$v"); fi
  done
  in_order lt "${newer[@]}"
  in_order gt "${older[@]}"
}

declare -A tree
for b in "${binaries[@]}"; do
  name=${src_name[$b]}
  want=${src_installed[$b]}
  mapfile -t offered < <(apt-cache "${apt_opts[@]}" showsrc --only-source "$name" 2>/dev/null |
                           sed -n 's/^Version: //p' | sort -u)
  listed=
  for v in "${offered[@]}"; do
    if [ "$v" = "$want" ]; then listed=1; fi
  done
  # The installed version from the indexes, else from a pool; failing both (not listed, or listed
  # with files the archive no longer has), the nearest revision of the same upstream version
  # whose files can be fetched.
  chosen=
  if [ -n "$listed" ]; then
    say "fetching $name $want"
    if fetch_listed "$name" "$want"; then chosen=$want; fi
  fi
  if [ -z "$chosen" ] && fetch_from_pool "$name" "$want"; then
    chosen=$want
  fi
  if [ -z "$chosen" ]; then
    while read -r v; do
      [ -n "$v" ] || continue
      say "fetching $name $v"
      if fetch_listed "$name" "$v"; then chosen=$v; break; fi
    done < <(other_revisions "$want" "${offered[@]}")
    [ -n "$chosen" ] ||
      die "source $name $want (installed) cannot be fetched from any index or pool, nor any revision of upstream $(upstream_of "$want"); offered: ${offered[*]:-none}"
    say "NOTE: source $name $want (installed) cannot be fetched from the archive; building $chosen (same upstream version)"
  fi
  src_chosen[$b]=$chosen
done

if [ -n "$download_only" ]; then
  for b in "${binaries[@]}"; do
    printf '%s installed %s fetched %s\n' "${src_name[$b]}" "${src_installed[$b]}" "${src_chosen[$b]}"
  done
  exit 0
fi

need_tools scripts/install-deps.sh cmake make nm readelf
[ -z "$full" ] || need_tools "scripts/install-deps.sh --full" meson ninja autoreconf libtoolize patch
for b in "${binaries[@]}"; do
  name=${src_name[$b]}
  v=${src_chosen[$b]#*:}
  tree[$b]=$src_dir/$name
  run_logged "unpack-$name.log" dpkg-source -x "$src_dir/${name}_${v}.dsc" "${tree[$b]}"
done

# --- build, each lean: shared library and headers only, no tools, tests or documentation -------
export CC
export CFLAGS="$lib_cflags"
# The libraries find each other in the prefix first (RPATH, which the system paths do not override).
export LDFLAGS="-Wl,-rpath,$prefix/lib -Wl,--disable-new-dtags"
cmake_common=(-DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib
              -DCMAKE_C_COMPILER="$CC")

say "building zlib ${src_chosen[zlib1g]}"
(
  cd "${tree[zlib1g]}"
  run_logged zlib-configure.log ./configure --prefix="$prefix" --libdir="$prefix/lib" --shared
  run_logged zlib-build.log make -j"$jobs" install
)
# zlib installs its static library too; the programs are to load the shared one.
rm -f "$prefix/lib/libz.a"

say "building expat ${src_chosen[libexpat1]}"
run_logged expat-configure.log cmake -S "${tree[libexpat1]}/expat" -B "$work/build-expat" "${cmake_common[@]}" \
  -DEXPAT_SHARED_LIBS=ON -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
  -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF
# Debian builds expat with autotools, whose header defines XML_DTD as 1; its patches test
# "XML_DTD == 1", which the CMake header's bare definition would fail to compile.
sed -i 's/^#define XML_DTD$/#define XML_DTD 1/' "$work/build-expat/expat_config.h"
grep -q '^#define XML_DTD 1$' "$work/build-expat/expat_config.h" ||
  die "$work/build-expat/expat_config.h does not define XML_DTD as 1"
run_logged expat-build.log cmake --build "$work/build-expat" -j "$jobs" --target install

say "building libpng ${src_chosen[libpng16-16]}"
run_logged libpng-configure.log cmake -S "${tree[libpng16-16]}" -B "$work/build-libpng" "${cmake_common[@]}" \
  -DPNG_SHARED=ON -DPNG_STATIC=OFF -DPNG_EXECUTABLES=OFF -DPNG_TESTS=OFF \
  -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.so"
run_logged libpng-build.log cmake --build "$work/build-libpng" -j "$jobs" --target install

libs=(libz.so libexpat.so libpng16.so)
if [ -n "$full" ]; then
  # The other libraries find these and each other through pkg-config in the prefix first.
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  # Their configure steps compile without the sanitizer, and the builds with it: configure
  # compiles hundreds of small test programs, and their answers do not depend on it. They link
  # with it (LDFLAGS), since the libraries already built here leave its symbols to the program.
  # Autotools builds take the sanitizer inside CC and CXX at `make`: libtool leaves compiler
  # flags it does not know out of a link, and the programs these builds run must link the
  # sanitizer's runtime. Meson takes it as its own option.
  sanitize= sanitizers= plain_cflags=
  for flag in $lib_cflags; do
    case "$flag" in
      -fsanitize=*) sanitize+=" $flag"; sanitizers+="${sanitizers:+,}${flag#-fsanitize=}" ;;
      *) plain_cflags+="${plain_cflags:+ }$flag" ;;
    esac
  done
  export LDFLAGS="$LDFLAGS$sanitize"
  cxx=${CXX:-c++}
  make_sanitized=(CC="$CC$sanitize" CXX="$cxx$sanitize")

  say "building curl ${src_chosen[libcurl4]}"
  (
    cd "${tree[libcurl4]}"
    export CFLAGS="$plain_cflags"
    # libcurl4 is Debian's OpenSSL flavour, which Debian builds before its last two patches (the
    # GnuTLS and NSS flavours') are applied.
    for patch in 99_nss.patch 90_gnutls.patch; do
      run_logged "curl-unpatch-$patch.log" patch -R -p1 -i "debian/patches/$patch"
    done
    run_logged curl-autoreconf.log autoreconf -fi
    # Debian's flags (debian/rules) for that flavour, less the documentation and shell completions.
    run_logged curl-configure.log ./configure --prefix="$prefix" --libdir="$prefix/lib" \
      --disable-static --disable-dependency-tracking --disable-symbol-hiding \
      --enable-versioned-symbols --enable-threaded-resolver --with-lber-lib=lber \
      --with-gssapi=/usr --with-nghttp2 --without-libssh --with-libssh2 --with-openssl \
      --with-ca-path=/etc/ssl/certs --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt \
      --disable-manual --without-zsh-functions-dir --without-fish-functions-dir
    run_logged curl-build.log make -j"$jobs" -C lib "${make_sanitized[@]}"
    run_logged curl-install.log make -C lib install "${make_sanitized[@]}"
    run_logged curl-install-headers.log make -C include install
    run_logged curl-install-pc.log make install-pkgconfigDATA
  )
  libs+=(libcurl.so)

  say "building glib ${src_chosen[libglib2.0-0]}"
  # Debian's options for its shared build, less tests, manuals and SystemTap probes. The
  # libraries' undefined sanitizer symbols are the program's to supply (b_lundef=false).
  (
    export CFLAGS="$plain_cflags"
    run_logged glib-configure.log meson setup "$work/build-glib" "${tree[libglib2.0-0]}" \
      --prefix="$prefix" --libdir=lib --buildtype=plain -Ddefault_library=shared \
      -Db_sanitize="${sanitizers:-none}" -Db_lundef=false \
      -Dtests=false -Dinstalled_tests=false -Dman=false -Dgtk_doc=false -Dsystemtap=false \
      -Dlibelf=enabled -Dlibmount=enabled -Dselinux=enabled -Dmultiarch=false
    run_logged glib-build.log ninja -C "$work/build-glib" -j"$jobs"
    run_logged glib-install.log meson install -C "$work/build-glib" --no-rebuild
  )
  libs+=(libglib-2.0.so libgobject-2.0.so libgio-2.0.so libgmodule-2.0.so libgthread-2.0.so)

  say "building gtk+2.0 ${src_chosen[libgtk2.0-0]}"
  (
    cd "${tree[libgtk2.0-0]}"
    export CFLAGS="$plain_cflags"
    # The configure GTK+ ships, kept from regenerating itself (Debian's patches touch
    # configure.ac, and regenerating would take gtk-doc and gobject-introspection); Debian's
    # flags, less introspection, documentation and printing back ends. Only GDK and GTK+
    # themselves are built.
    run_logged gtk-configure.log ./configure --prefix="$prefix" --libdir="$prefix/lib" \
      --enable-shared --disable-static --with-xinput=yes --enable-introspection=no \
      --disable-gtk-doc --disable-man --disable-cups --disable-papi --disable-maintainer-mode
    run_logged gtk-build-gdk.log make -j"$jobs" -C gdk "${make_sanitized[@]}"
    run_logged gtk-build-gtk.log make -j"$jobs" -C gtk "${make_sanitized[@]}"
    run_logged gtk-install-gdk.log make -C gdk install "${make_sanitized[@]}"
    run_logged gtk-install-gtk.log make -C gtk install "${make_sanitized[@]}"
    # gtk+-2.0.pc and gdk-2.0.pc are copies of the X11 target's, made by the install hook.
    run_logged gtk-install-pc.log make install-pkgconfigDATA install-data-hook
  )
  libs+=(libgdk-x11-2.0.so libgtk-x11-2.0.so)

  say "building imagemagick ${src_chosen[libmagickcore-6.q16-6]}"
  (
    cd "${tree[libmagickcore-6.q16-6]}"
    export CFLAGS="$plain_cflags" CXXFLAGS="$plain_cflags"
    # Debian's flags for its Q16 build (debian/rules), less PerlMagick and the documentation.
    # clang's OpenMP is LLVM's libomp; without the cached answer configure would link GCC's
    # libgomp as well.
    run_logged imagemagick-configure.log ./configure --prefix="$prefix" --libdir="$prefix/lib" \
      --enable-reproducible-build --with-modules --with-magick-plus-plus --with-djvu --with-heic \
      --with-openjp2 --with-webp --with-wmf --without-gvc --enable-shared --disable-static \
      --without-dps --without-fpx --without-perl --without-rsvg --without-gcc-arch \
      --with-quantum-depth=16 --enable-hdri=no --disable-docs \
      ac_cv_lib_gomp_GOMP_parallel_start=no
    run_logged imagemagick-build.log make -j"$jobs" "${make_sanitized[@]}"
    # The coder modules and configuration files too: the library looks for them in the prefix.
    run_logged imagemagick-install.log make install "${make_sanitized[@]}"
  )
  libs+=(libMagickCore-6.Q16.so libMagickWand-6.Q16.so libMagick++-6.Q16.so)

  # The programs' pkg-config modules must all come from the prefix.
  for module in zlib expat libpng libcurl glib-2.0 gthread-2.0 gtk+-2.0 Magick++-6.Q16; do
    [ "$(pkg-config --variable=libdir "$module")" = "$prefix/lib" ] ||
      die "pkg-config finds $module outside $prefix"
  done
fi

# Each library must carry the sanitizer's instrumentation, and each but zlib must look for the
# others in the prefix first (libpng for our zlib, GTK+ for our GLib, ...).
for lib in "${libs[@]}"; do
  [ -f "$prefix/lib/$lib" ] || die "$prefix/lib/$lib was not installed"
  if [[ "$CFLAGS" == *-fsanitize=thread* ]] && [ "$(nm -D "$prefix/lib/$lib" | grep -c ' U __tsan_')" -eq 0 ]; then
    die "$prefix/lib/$lib is not instrumented with ThreadSanitizer"
  fi
  [ "$lib" != libz.so ] || continue
  readelf -d "$prefix/lib/$lib" | grep -q "(RPATH).*\[\(.*:\)\?$prefix/lib[]:]" ||
    die "$prefix/lib/$lib does not look for the other libraries in $prefix/lib first"
done

{
  for b in "${binaries[@]}"; do
    printf '%s installed %s built %s\n' "${src_name[$b]}" "${src_installed[$b]}" "${src_chosen[$b]}"
  done
} >"$prefix/versions.txt"
printf '%s\n' "$key" >"$stamp"
say "built into $prefix:"
sed 's/^/  /' "$prefix/versions.txt"
