#!/usr/bin/env bash
# Builds the libraries the Windows programs link from Debian 12's own sources with the MinGW-w64
# toolchain, as static libraries, into a prefix named after the Debian versions of those sources:
#   ${DGC_WINDOWS_CACHE:-/var/cache/dicom-data-converter}/mingw-<package>_<version>...
# one folder per library inside it:
#   zlib       zlib, for DCMTK's deflated transfer syntax and GDCM
#   openjpeg   openjpeg2 (JPEG 2000), for the decoder helper and GDCM
#   charls     charls (JPEG-LS), for the decoder helper and GDCM
#   gdcm       gdcm, with its own IJG JPEG builds and the three above, as Debian builds it
#   dcmtk      dcmtk's ofstd, oflog and dcmdata (the folder scan; the node stays on Linux)
#   qt         qt6-base's Core, Gui and Widgets, the windows and offscreen platforms, the vista
#              style; its moc, rcc and uic are the host's (qt6-base-dev-tools, same version)
# A prefix that is complete (its stamp is written last) is reused as it is; a library finished
# by an interrupted run is kept, and the one it was building resumes in its build folder (delete
# the cache folder's work/ to start it afresh). The prefix is printed on the last line of the
# output; pass it to CMake as DGC_WINDOWS_DEPS with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake.
#
# The sources come through a private apt configuration (a deb-src entry, lists and cache under the
# cache folder); /etc/apt is neither read for sources nor changed. Nothing prebuilt is fetched.
# Needs the packages of `tools/install_deps.sh windows`.
#
# With --without-window the libraries of the converters and the helper alone (all but Qt, about
# 20 CPU-minutes instead of 50): a prefix whose other libraries are finished is reused then,
# even while another run still builds its Qt.
#
# Environment: DGC_WINDOWS_CACHE (the cache folder), DGC_JOBS (parallel jobs, default 2),
# DGC_DEBIAN_MIRROR and DGC_DEBIAN_SECURITY_MIRROR (default deb.debian.org).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${DGC_WINDOWS_CACHE:-/var/cache/dicom-data-converter}
jobs=${DGC_JOBS:-2}
mirror=${DGC_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${DGC_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
triplet=x86_64-w64-mingw32

with_window=true
[ "${1:-}" = --without-window ] && with_window=false

say() { echo "build_windows_deps: $*" >&2; }
die() {
  say "$*"
  exit 1
}

for tool in ${triplet}-gcc-posix ${triplet}-g++-posix ${triplet}-windres cmake ninja apt-get \
  dpkg-source perl wine wineserver flock; do
  command -v "$tool" >/dev/null || die "$tool is missing: run tools/install_deps.sh windows"
done
[ -x /usr/lib/qt6/libexec/moc ] || die "the host Qt tools are missing (qt6-base-dev-tools)"

mkdir -p "$cache"
exec 9>"$cache/.lock"
# Another run that holds the lock may be building Qt into a prefix whose other libraries are
# done: without the window, those are looked for first (below) and the lock waited for only when
# there is something to build.
locked=false
if flock -n 9; then locked=true; elif $with_window; then flock 9 || die "cannot lock $cache"; locked=true; fi

# --- The private apt configuration -------------------------------------------------------------
apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
cat >"$apt_dir/sources.list.d/debian-src.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $security_mirror
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o Debug::NoLocking=true -o "APT::Sandbox::User=$(id -un)")

# The libraries in build order: the folder in the prefix, the Debian source package, and the
# binary package of the Linux build that comes from it.
parts=(zlib:zlib:zlib1g-dev openjpeg:openjpeg2:libopenjp2-7-dev charls:charls:libcharls-dev
  gdcm:gdcm:libgdcm-dev dcmtk:dcmtk:libdcmtk-dev qt:qt6-base:qt6-base-dev-tools)

source_version() { # the newest version of source package $1 that the lists know
  apt-cache "${apt_options[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' |
    sort -V | tail -n 1 || true
}
# Each library is the very version the Linux build on this machine uses when its -dev package is
# installed (the same decoders, so the same pixels), else the newest Debian 12 source. Qt must be
# the installed qt6-base-dev-tools' own: the cross-built Qt runs the host's moc, rcc and uic.
declare -A version
resolve_versions() {
  local entry package binary
  for entry in "${parts[@]}"; do
    IFS=: read -r _ package binary <<<"$entry"
    version[$package]=$(dpkg-query -W -f='${source:Version}' "$binary" 2>/dev/null || true)
    if [ -z "${version[$package]}" ]; then
      [ "$package" = qt6-base ] && die "qt6-base-dev-tools is not installed"
      version[$package]=$(source_version "$package")
    fi
    [ -n "${version[$package]}" ] || return 1
  done
}
# Known lists are enough to find a finished prefix offline; otherwise they are fetched.
resolve_versions || {
  apt-get "${apt_options[@]}" update -qq || die "apt-get update failed for $mirror"
  resolve_versions || die "a source package is missing from $mirror"
}

# CharLS is Debian's charls source, or, where the mirror lacks that source's files (its .orig
# tarball has answered 404), the copy of CharLS 2.0 that GDCM's source bundles: then its
# "version" is gdcm-<GDCM's version>, and that is what the folder name and versions.txt say.
debian_charls=${version[charls]}
bundled_charls=gdcm-${version[gdcm]}
prefix_for() { # the prefix for the versions resolved, with CharLS's set to $1
  local entry package name=mingw
  version[charls]=$1
  # Versions go into the folder name: ':' (an epoch), '+' and '~' become '_'.
  for entry in "${parts[@]}"; do
    IFS=: read -r _ package _ <<<"$entry"
    name+="_${package}_$(echo "${version[$package]}" | tr ':+~' '___')"
  done
  echo "$cache/$name"
}
# What the converters and the helper link: every part but Qt.
without_window_done() { # prefix
  local entry part
  for entry in "${parts[@]}"; do
    IFS=: read -r part _ _ <<<"$entry"
    [ "$part" = qt ] || [ -f "$1/.$part-done" ] || return 1
  done
}
for charls_version in "$debian_charls" "$bundled_charls"; do
  prefix=$(prefix_for "$charls_version")
  if [ -f "$prefix/.complete" ] || { ! $with_window && without_window_done "$prefix"; }; then
    say "reusing $prefix"
    echo "$prefix"
    exit 0
  fi
done
$locked || flock 9 || die "cannot lock $cache"

# --- A cold build ------------------------------------------------------------------------------
# About an hour of compiling: it yields to whatever else the machine runs.
renice -n 10 -p $$ >/dev/null || true
# The versions may have come from the installed -dev packages alone: the source lists are fetched
# (or refreshed) before anything is downloaded.
apt-get "${apt_options[@]}" update -qq || die "apt-get update failed for $mirror"
probe=$cache/charls-probe
rm -rf "$probe"
mkdir -p "$probe"
charls_version=$debian_charls
if ! (cd "$probe" && apt-get "${apt_options[@]}" source --download-only \
  "charls=$debian_charls" >/dev/null); then
  say "the mirror lacks the source of charls $debian_charls: CharLS comes from GDCM's source"
  charls_version=$bundled_charls
fi
prefix=$(prefix_for "$charls_version")
version[charls]=$charls_version
stamp=$prefix/.complete
mkdir -p "$prefix/share"
# The sources and build folders of an interrupted run for this prefix are kept: ninja goes on
# where it stopped (Qt alone is most of the hour).
work=$cache/work
if [ "$(cat "$work/.prefix" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$work"
  mkdir -p "$work/src"
  echo "$prefix" >"$work/.prefix"
fi
# apt-get source finds these files present and does not fetch them again.
find "$probe" -maxdepth 1 -type f -exec mv -f {} "$work/src/" \;
rm -rf "$probe"
# The toolchain file goes into the prefix: Qt's own toolchain file chain-loads it by path, so it
# must outlive the clone that built the prefix.
cp "$here/cmake/mingw-w64.cmake" "$prefix/share/mingw-w64.cmake"
toolchain=$prefix/share/mingw-w64.cmake
export WINEDEBUG=-all

fetch() { # fetches and unpacks source package $1 (Debian's patches applied) into $work/src/$1
  local package=$1
  [ -d "$work/src/$package" ] && return 0
  # apt checks the files against the signed Release; dpkg-source applies Debian's patches. The
  # folder gets its name once complete: an interrupted unpacking is not taken for a source.
  rm -rf "$work/src/$package.partial"
  (cd "$work/src" &&
    apt-get "${apt_options[@]}" source --download-only "$package=${version[$package]}" >/dev/null &&
    dpkg-source --no-check -x "${package}_${version[$package]#*:}.dsc" "$package.partial" \
      >/dev/null &&
    mv "$package.partial" "$package") ||
    die "fetching the source of $package ${version[$package]} failed"
}

configure() { # configure <source folder> <part> <cmake options...>
  local source=$1 part=$2
  shift 2
  cmake -S "$source" -B "$work/$part-build" -G Ninja -Wno-dev --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DDGC_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix/$part" -DBUILD_SHARED_LIBS=OFF "$@"
}
build_and_install() {
  cmake --build "$work/$1-build" -j "$jobs"
  cmake --install "$work/$1-build" >/dev/null
}
# A Windows header declares a static library's functions without __declspec(dllimport) only when
# told; the define goes into the pkg-config file, so that a consumer gets it with the flags.
add_static_define() { # add_static_define <.pc file> <define>
  sed -i "s/^Cflags: .*/& -D$2/" "$1"
}

build_zlib() {
  fetch zlib
  # Only the static library: zlib's CMake would also make a DLL and hand out its import library.
  configure "$work/src/zlib" zlib
  cmake --build "$work/zlib-build" -j "$jobs" --target zlibstatic
  mkdir -p "$prefix/zlib/include" "$prefix/zlib/lib"
  cp "$work/src/zlib/zlib.h" "$work/zlib-build/zconf.h" "$prefix/zlib/include/"
  cp "$work/zlib-build/libzlibstatic.a" "$prefix/zlib/lib/libz.a"
}

build_openjpeg() {
  fetch openjpeg2
  configure "$work/src/openjpeg2" openjpeg -DBUILD_STATIC_LIBS=ON -DBUILD_CODEC=OFF \
    -DBUILD_TESTING=OFF -DBUILD_DOC=OFF
  build_and_install openjpeg
  add_static_define "$prefix/openjpeg/lib/pkgconfig/libopenjp2.pc" OPJ_STATIC
}

build_charls() {
  if [ "${version[charls]}" = "$bundled_charls" ]; then
    build_charls_from_gdcm
    return
  fi
  fetch charls
  configure "$work/src/charls" charls -DCHARLS_BUILD_TESTS=OFF -DCHARLS_BUILD_SAMPLES=OFF \
    -DCHARLS_BUILD_FUZZ_TEST=OFF -DCHARLS_INSTALL=ON -DCHARLS_TREAT_WARNING_AS_ERROR=OFF
  build_and_install charls
  add_static_define "$prefix/charls/lib/pkgconfig/charls.pc" CHARLS_STATIC
  # GDCM includes <CharLS/charls.h>: Debian's libcharls-dev has the same link.
  ln -s charls "$prefix/charls/include/CharLS"
}

# CharLS 2.0 from GDCM's Utilities/gdcmcharls, built on its own as libcharls.a with its headers
# in include/CharLS, where GDCM looks for a system CharLS (whose API it expects to be 2.0's).
# GDCM then links this one, so that a program has a single CharLS. Its API is 2.0's only
# (JpegLsReadHeader, JpegLsDecode); charls_jpegls_decoder_* came with 2.1.
build_charls_from_gdcm() {
  fetch gdcm
  configure "$work/src/gdcm/Utilities/gdcmcharls" charls -DGDCM_TARGETS_NAME=CharLSTargets \
    -DCHARLS_INSTALL_INCLUDE_DIR=include/CharLS
  build_and_install charls
  mkdir -p "$prefix/charls/lib/pkgconfig"
  cat >"$prefix/charls/lib/pkgconfig/charls.pc" <<EOF
prefix=$prefix/charls
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: charls
Description: CharLS 2.0 as bundled in the source of GDCM ${version[gdcm]}
Version: 2.0.0
Libs: -L\${libdir} -lcharls
Cflags: -I\${includedir} -DCHARLS_STATIC
EOF
}

build_gdcm() {
  fetch gdcm
  # GDCM's reader of one vendor's MR private data converts Shift-JIS names with iconv and
  # allocates with posix_memalign, neither of which MinGW has. Stubs: the names stay unconverted
  # (that data is never in a SPECT study) and 16-byte aligned malloc suffices for its buffers,
  # which it frees with free().
  mkdir -p "$work/gdcm-stubs"
  cat >"$work/gdcm-stubs/iconv.h" <<'EOF'
#include <stddef.h>
#include <stdlib.h>
typedef void *iconv_t;
static inline iconv_t iconv_open(const char *to, const char *from) {
  (void)to; (void)from; return (iconv_t)0;
}
static inline size_t iconv(iconv_t c, char **in, size_t *in_left, char **out, size_t *out_left) {
  (void)c; (void)in; (void)in_left; (void)out; (void)out_left; return (size_t)-1;
}
static inline int iconv_close(iconv_t c) { (void)c; return 0; }
static inline int posix_memalign(void **memory, size_t alignment, size_t size) {
  (void)alignment; *memory = malloc(size); return *memory ? 0 : 12;
}
EOF
  # The codecs as Debian's GDCM has them: its own IJG builds, the system OpenJPEG, CharLS and
  # zlib (here the ones built above), so that GDCM decodes as the Linux build does. GDCM's
  # finder of CharLS predates CharLS 2's header folder: it is told where things are.
  configure "$work/src/gdcm" gdcm -DCMAKE_C_FLAGS="-I$work/gdcm-stubs" \
    -DGDCM_BUILD_SHARED_LIBS=OFF -DGDCM_BUILD_APPLICATIONS=OFF -DGDCM_BUILD_TESTING=OFF \
    -DGDCM_BUILD_EXAMPLES=OFF -DGDCM_DOCUMENTATION=OFF -DGDCM_BUILD_DOCBOOK_MANPAGES=OFF \
    -DGDCM_USE_VTK=OFF -DGDCM_WRAP_PYTHON=OFF -DGDCM_WRAP_CSHARP=OFF -DGDCM_WRAP_JAVA=OFF \
    -DGDCM_USE_SYSTEM_OPENJPEG=ON -DGDCM_USE_SYSTEM_CHARLS=ON -DGDCM_USE_SYSTEM_ZLIB=ON \
    -DCHARLS_INCLUDE_DIR="$prefix/charls/include" \
    -DCHARLS_LIBRARY="$prefix/charls/lib/libcharls.a" \
    -DZLIB_INCLUDE_DIR="$prefix/zlib/include" -DZLIB_LIBRARY="$prefix/zlib/lib/libz.a" \
    -DGDCM_USE_SYSTEM_EXPAT=OFF -DGDCM_USE_SYSTEM_UUID=OFF -DGDCM_USE_SYSTEM_OPENSSL=OFF \
    -DGDCM_USE_SYSTEM_JSON=OFF -DGDCM_USE_SYSTEM_PAPYRUS3=OFF -DGDCM_USE_SYSTEM_LJPEG=OFF
  build_and_install gdcm
  # GDCM found OpenJPEG through pkg-config and exports it by bare name, which a linker finds in
  # /usr/lib on Linux but nowhere here: its targets file gets the library's path.
  sed -i "s|<LINK_ONLY:openjp2>|<LINK_ONLY:$prefix/openjpeg/lib/libopenjp2.a>|" \
    "$prefix/gdcm/lib/gdcm-3.0/GDCMTargets.cmake"
}

build_dcmtk() {
  fetch dcmtk
  # DCMTK runs its configuration checks under wine, in a wine prefix of its own in the build
  # folder, and wants to know where the C++ runtime DLL is (our programs link it statically).
  # Debian's configuration where it matters to reading a header (private tags, the STL, C++17,
  # zlib); the dictionary is compiled in, as DCMTK does on Windows, instead of a file under /usr
  # (Debian's patches name that folder CMAKE_INSTALL_DATADIC).
  configure "$work/src/dcmtk" dcmtk -DDCMTK_MODULES="ofstd;oflog;dcmdata" -DBUILD_APPS=OFF \
    -DCPP_RUNTIME="$(${triplet}-g++-posix -print-file-name=libstdc++-6.dll)" \
    -DDCMTK_ENABLE_PRIVATE_TAGS=ON -DDCMTK_ENABLE_STL=ON -DCMAKE_CXX_STANDARD=17 \
    -DDCMTK_DEFAULT_DICT=builtin -DCMAKE_INSTALL_DATADIC=share/dcmtk -DDCMTK_WITH_ZLIB=ON \
    -DZLIB_INCLUDE_DIR="$prefix/zlib/include" -DZLIB_LIBRARY="$prefix/zlib/lib/libz.a" \
    -DDCMTK_WITH_OPENSSL=OFF -DDCMTK_WITH_PNG=OFF -DDCMTK_WITH_TIFF=OFF -DDCMTK_WITH_XML=OFF \
    -DDCMTK_WITH_SNDFILE=OFF -DDCMTK_WITH_ICONV=OFF -DDCMTK_WITH_ICU=OFF -DDCMTK_WITH_WRAP=OFF \
    -DDCMTK_WITH_OPENJPEG=OFF -DDCMTK_WITH_DOXYGEN=OFF -DDCMTK_ENABLE_MANPAGES=OFF
  build_and_install dcmtk
  WINEPREFIX=$(sed -n 's/^DCMTK_WINEPREFIX:[A-Z]*=//p' "$work/dcmtk-build/CMakeCache.txt") \
    wineserver -k 2>/dev/null || true
}

build_qt() {
  fetch qt6-base
  # Only what the window uses. Everything third-party is Qt's bundled copy (the host's are Linux
  # libraries). OpenGL is off: the window paints with QPainter, and Qt would otherwise load
  # opengl32 lazily. Wintab's header is not in Debian's source, hence no tablet events. Without
  # Direct2D, Qt 6.4 leaves out the DirectWrite font database that the windows plugin still
  # calls when DirectWrite 3 is on: fonts go through GDI's database.
  configure "$work/src/qt6-base" qt \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_xml=OFF -DFEATURE_testlib=OFF -DFEATURE_concurrent=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_androiddeployqt=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF \
    -DFEATURE_vulkan=OFF \
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF -DFEATURE_jpeg=OFF \
    -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_sessionmanager=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
  build_and_install qt
}

timed() { # runs "$@" and records its wall and CPU (user + system) seconds in the prefix
  local part=${1#build_} TIMEFORMAT="%R %U %S" times=$work/$1.time status
  # The part runs with set -e in a subshell that no || or && governs (either would turn set -e
  # off in it). The subshell around it always succeeds, so that the time reaches the part's file
  # even when the part fails: an interrupted attempt is counted in with the run that finishes it.
  exec 8>&2
  { time (set +e; (set -e; "$@") 2>&8; echo $? >"$work/.status"); } 2>>"$times"
  exec 8>&-
  status=$(cat "$work/.status")
  [ "$status" = 0 ] || exit "$status"
  awk -v part="$part" '{ wall += $1; cpu += $2 + $3 }
    END { runs = NR > 1 ? " (" NR " runs)" : ""
          printf "%s wall=%.1fs cpu=%.1fs%s\n", part, wall, cpu, runs }' "$times" |
    tee -a "$prefix/build-times.txt" | sed 's/^/build_windows_deps: /' >&2
}

for entry in "${parts[@]}"; do
  IFS=: read -r part package _ <<<"$entry"
  [ -f "$prefix/.$part-done" ] && continue
  if [ "$part" = qt ] && ! $with_window; then
    say "built $prefix without Qt"
    echo "$prefix"
    exit 0
  fi
  rm -rf "${prefix:?}/$part"
  timed "build_$part"
  echo "${version[$package]}" >"$prefix/.$part-done"
done

for entry in "${parts[@]}"; do
  IFS=: read -r _ package _ <<<"$entry"
  echo "$package ${version[$package]}"
done >"$prefix/versions.txt"
rm -rf "$work"
date -u +%FT%TZ >"$stamp"
say "built $prefix"
echo "$prefix"
