#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 and runs their tests under wine (the toolchain's
# emulator): so far the operating system's seam and its contract tests.
#   tools/test_windows.sh [--with-deps] [BUILD_DIR]       (default build-windows)
# The seam alone needs none of the MinGW dependencies; with --with-deps (for the programs,
# which need GDCM, DCMTK and Qt) their prefix comes from DGC_WINDOWS_DEPS, else from
# tools/build_windows_deps.sh, which builds it once and reuses it.
# Needs the packages of `tools/install_deps.sh windows` (MinGW-w64, googletest's sources, wine).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
with_deps=false
if [ "${1:-}" = --with-deps ]; then
  with_deps=true
  shift
fi
build=${1:-$here/build-windows}

if $with_deps && [ -z "${DGC_WINDOWS_DEPS:-}" ]; then
  DGC_WINDOWS_DEPS=$("$here/tools/build_windows_deps.sh" | tail -n 1)
fi
export DGC_WINDOWS_DEPS=${DGC_WINDOWS_DEPS:-}

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" "${launcher[@]}"
nice cmake --build "$build"
# One wine server for the whole run, its output detached so that ctest does not wait on the
# services that hold it; a start then takes a fraction of a second instead of seconds. It ends
# by itself a minute after its last program (one already running is left as it is: other runs
# may share the prefix).
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs on a first start: the tests need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

ctest --test-dir "$build" --output-on-failure
