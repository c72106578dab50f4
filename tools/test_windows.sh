#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64, their MSI and zip, and runs their tests under wine
# (the toolchain's emulator): the unit suites that need no window, every test study converted by
# dicom2gsd.exe to the Linux dicom2gsd's very bytes, the exit codes, a non-Latin path, a failed
# replace, the helper ended with its converter, the window in batch mode under Xvfb, and the MSI
# installed, listed and removed.
#   tools/test_windows.sh [--platform-only|--without-window|--window-if-built] [BUILD_DIR]
# (default build-windows)
# The libraries the programs link (GDCM, DCMTK, Qt, ...) come from DGC_WINDOWS_DEPS, else from
# tools/build_windows_deps.sh, which builds them once (about an hour) and reuses them after.
# --platform-only builds the operating system's seam and its contract tests alone, which need
# none of them; --without-window builds and tests everything but the window and the MSI (which
# installs the window), on every library but Qt; --window-if-built includes the window and the
# MSI when Qt is already built for MinGW on this machine, and says so when it is not. The Linux dicom2gsd the Windows one is held to is DGC_LINUX_BUILD's (a build
# folder of this source), else one built here in build-windows-reference.
# Needs the packages of `tools/install_deps.sh windows`, and the test ones for the reference.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
platform_only=false
window=true
case "${1:-}" in
  --platform-only) platform_only=true; shift ;;
  --without-window) window=false; shift ;;
  --window-if-built) window=auto; shift ;;
  --with-deps) shift ;;  # the default
esac
build=${1:-$here/build-windows}
started=$(date +%s)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
options=(-DDGC_PLATFORM_ONLY=ON)
if ! $platform_only; then
  if [ -z "${DGC_WINDOWS_DEPS:-}" ]; then
    deps_options=()
    [ $window = true ] || deps_options=(--without-window)
    DGC_WINDOWS_DEPS=$("$here/tools/build_windows_deps.sh" "${deps_options[@]}" | tail -n 1)
  fi
  if [ $window = auto ]; then
    window=false
    [ -f "$DGC_WINDOWS_DEPS/.qt-done" ] && window=true
    $window || echo "test_windows: Qt is not built for MinGW on this machine yet" \
      "(tools/build_windows_deps.sh builds it once, about 55 CPU-minutes): the window and" \
      "its MSI are neither built nor tested in this run" >&2
  fi
  reference=${DGC_LINUX_BUILD:-$here/build-windows-reference}
  if [ -z "${DGC_LINUX_BUILD:-}" ]; then
    cmake -S "$here" -B "$reference" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDGC_BUILD_GUI=OFF -DDGC_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
    nice cmake --build "$reference" --target dicom2gsd dicom-decode dicom-decode-gdcm
  fi
  options=(-DDGC_PLATFORM_ONLY=OFF -DDGC_LINUX_DICOM2GSD="$reference/dicom2gsd"
    -DDGC_BUILD_GUI=$($window && echo ON || echo OFF))
fi
export DGC_WINDOWS_DEPS=${DGC_WINDOWS_DEPS:-}

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" "${options[@]}" "${launcher[@]}"
nice cmake --build "$build"
$platform_only || ! $window || nice cmake --build "$build" --target windows_packages
built=$(date +%s)

# A wine prefix of the build's own: the tests install the MSI into it and change its settings,
# which no other user of wine on the machine should see. One wine server for the whole run, its
# output detached so that ctest does not wait on the services that hold it; a start then takes a
# fraction of a second instead of seconds. It ends by itself a minute after its last program.
# It is started first: a server is started once per prefix, and the one wineboot would start
# ends seconds after its last program, leaving every test to start a server of its own. The
# first program makes a new prefix itself (wine runs wineboot for it): an explicit wineboot -i
# there would be a second one, with a second services.exe, and every later start of the desktop
# (the first program with a window after a pause) would wait ten seconds for RpcSs.
# (The window's test makes a prefix of its own on its virtual screen.)
export WINEPREFIX=${WINEPREFIX:-$build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs on a first start: the tests need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$WINEPREFIX"
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

ctest --test-dir "$build" --output-on-failure --timeout 1200
finished=$(date +%s)
echo "test_windows: build $((built - started)) s, tests $((finished - built)) s"
if ! $platform_only && $window; then
  for package in "$build"/packages/*.msi "$build"/packages/*.zip; do
    echo "test_windows: $(basename "$package") $(stat -c %s "$package") bytes"
  done
fi
