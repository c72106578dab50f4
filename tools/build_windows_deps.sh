#!/usr/bin/env bash
# Builds the libraries the Windows programs link (Qt's Core, Gui and Widgets with the windows
# platform plugin and the vista style; GDCM with its bundled OpenJPEG, CharLS, IJG JPEG and zlib)
# from Debian 12's own sources with the MinGW-w64 toolchain, as static libraries, into a prefix
# named after the Debian versions of those sources:
#   ${DGC_WINDOWS_CACHE:-/var/cache/dicom-data-converter}/mingw-gdcm_<v>_qtbase_<v>
# A prefix that is complete (its stamp is written last) is reused as it is. The prefix is printed
# on the last line of the output; pass it to CMake as DGC_WINDOWS_DEPS with
# -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake.
#
# The sources come through a private apt configuration (a deb-src entry, lists and cache under the
# cache folder); /etc/apt is neither read for sources nor changed. Nothing prebuilt is fetched.
# Needs the packages of `tools/install_deps.sh windows`.
#
# Environment: DGC_WINDOWS_CACHE (the cache folder), DGC_JOBS (parallel jobs, default 2),
# DGC_DEBIAN_MIRROR (default http://deb.debian.org/debian).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${DGC_WINDOWS_CACHE:-/var/cache/dicom-data-converter}
jobs=${DGC_JOBS:-2}
mirror=${DGC_DEBIAN_MIRROR:-http://deb.debian.org/debian}
triplet=x86_64-w64-mingw32

say() { echo "build_windows_deps: $*" >&2; }
die() {
  say "$*"
  exit 1
}

for tool in ${triplet}-gcc-posix ${triplet}-g++-posix ${triplet}-windres cmake ninja apt-get \
  dpkg-source perl; do
  command -v "$tool" >/dev/null || die "$tool is missing: run tools/install_deps.sh windows"
done
[ -x /usr/lib/qt6/libexec/moc ] || die "the host Qt tools are missing (qt6-base-dev-tools)"

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9 || die "cannot lock $cache"

# --- The private apt configuration -------------------------------------------------------------
apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
cat >"$apt_dir/sources.list.d/debian-src.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o Debug::NoLocking=true -o "APT::Sandbox::User=$(id -un)")

# The cross-built Qt runs the host's moc, rcc and uic, which must be of the very same release: its
# source version is the installed qt6-base-dev-tools'. GDCM is the newest Debian 12 source.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
source_version() { # the newest version of source package $1 that the lists know
  apt-cache "${apt_options[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' |
    sort -V | tail -n 1 || true
}
gdcm_version=$(source_version gdcm)
if [ -z "$gdcm_version" ]; then
  apt-get "${apt_options[@]}" update -qq || die "apt-get update failed for $mirror"
  gdcm_version=$(source_version gdcm)
fi
[ -n "$gdcm_version" ] || die "no gdcm source in $mirror"

# Versions go into a folder name: ':' (an epoch) and '+' are kept out of it.
key() { echo "$1" | tr ':+~' '___'; }
prefix=$cache/mingw-gdcm_$(key "$gdcm_version")_qtbase_$(key "$qt_version")
stamp=$prefix/.complete
if [ -f "$stamp" ]; then
  say "reusing $prefix"
  echo "$prefix"
  exit 0
fi

# --- A cold build ------------------------------------------------------------------------------
# Close to an hour of compiling: it yields to whatever else the machine runs.
renice -n 10 -p $$ >/dev/null || true
work=$cache/work
rm -rf "$work"
mkdir -p "$work/src" "$prefix"
# Only parts the prefix says it finished are kept from an interrupted run.
[ -f "$prefix/.gdcm-done" ] || rm -rf "$prefix/gdcm"
[ -f "$prefix/.qtbase-done" ] || rm -rf "$prefix/qt"

(
  cd "$work/src"
  apt-get "${apt_options[@]}" update -qq
  apt-get "${apt_options[@]}" source --download-only "gdcm=$gdcm_version" \
    "qt6-base=$qt_version" >/dev/null
  # apt checked the files against the signed Release; dpkg-source applies Debian's patches.
  dpkg-source --no-check -x gdcm_*.dsc gdcm >/dev/null
  dpkg-source --no-check -x qt6-base_*.dsc qtbase >/dev/null
) || die "fetching the sources failed"

# The toolchain file goes into the prefix: Qt's own toolchain file chain-loads it by path, so it
# must outlive the clone that built the prefix.
mkdir -p "$prefix/share"
cp "$here/cmake/mingw-w64.cmake" "$prefix/share/mingw-w64.cmake"
toolchain=$prefix/share/mingw-w64.cmake

timed() { # runs "$@" and records its wall and CPU (user + system) seconds in the prefix
  local name=$1 TIMEFORMAT="%R %U %S" wall user system
  shift
  exec 8>&2
  { time "$@" 2>&8; } 2>"$work/$name.time"
  exec 8>&-
  read -r wall user system <"$work/$name.time"
  echo "$name wall=${wall}s cpu=$(awk "BEGIN { print $user + $system }")s" >>"$prefix/build-times.txt"
  say "$name: ${wall} s wall"
}

build_gdcm() {
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
  cmake -S "$work/src/gdcm" -B "$work/gdcm-build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix/gdcm" -DCMAKE_C_FLAGS="-I$work/gdcm-stubs" \
    -DGDCM_BUILD_SHARED_LIBS=OFF -DGDCM_BUILD_APPLICATIONS=OFF -DGDCM_BUILD_TESTING=OFF \
    -DGDCM_BUILD_EXAMPLES=OFF -DGDCM_DOCUMENTATION=OFF -DGDCM_BUILD_DOCBOOK_MANPAGES=OFF \
    -DGDCM_USE_VTK=OFF -DGDCM_WRAP_PYTHON=OFF -DGDCM_WRAP_CSHARP=OFF -DGDCM_WRAP_JAVA=OFF \
    -DGDCM_USE_SYSTEM_OPENJPEG=OFF -DGDCM_USE_SYSTEM_CHARLS=OFF -DGDCM_USE_SYSTEM_ZLIB=OFF \
    -DGDCM_USE_SYSTEM_EXPAT=OFF -DGDCM_USE_SYSTEM_UUID=OFF -DGDCM_USE_SYSTEM_OPENSSL=OFF \
    -DGDCM_USE_SYSTEM_JSON=OFF -DGDCM_USE_SYSTEM_PAPYRUS3=OFF -DGDCM_USE_SYSTEM_LJPEG=OFF
  cmake --build "$work/gdcm-build" -j "$jobs"
  cmake --install "$work/gdcm-build" >/dev/null
}

build_qtbase() {
  # Only what the window uses: Core, Gui, Widgets, the windows and offscreen platforms and the
  # vista style. Everything third-party is Qt's bundled copy (the host's are Linux libraries).
  # OpenGL is off: the window paints with QPainter, and Qt would otherwise load opengl32 lazily.
  # Wintab's header is not in Debian's source, hence no tablet events.
  cmake -S "$work/src/qtbase" -B "$work/qtbase-build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix/qt" -DBUILD_SHARED_LIBS=OFF \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_xml=OFF -DFEATURE_testlib=OFF -DFEATURE_concurrent=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_androiddeployqt=OFF -DFEATURE_direct2d=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF -DFEATURE_jpeg=OFF \
    -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_sessionmanager=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
  cmake --build "$work/qtbase-build" -j "$jobs"
  cmake --install "$work/qtbase-build" >/dev/null
}

if [ ! -f "$prefix/.gdcm-done" ]; then
  timed gdcm build_gdcm
  echo "$gdcm_version" >"$prefix/.gdcm-done"
fi
if [ ! -f "$prefix/.qtbase-done" ]; then
  timed qtbase build_qtbase
  echo "$qt_version" >"$prefix/.qtbase-done"
fi

printf 'gdcm %s\nqt6-base %s\n' "$gdcm_version" "$qt_version" >"$prefix/versions.txt"
rm -rf "$work"
echo "$gdcm_version $qt_version" >"$stamp"
say "built $prefix"
echo "$prefix"
