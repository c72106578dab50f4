#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a plain
# build and one with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_deps.sh test

export QT_QPA_PLATFORM=offscreen
for config in plain sanitize; do
  dir=build-tests-$config
  sanitize=OFF
  [ "$config" = sanitize ] && sanitize=ON
  echo "== $config build"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDGC_SANITIZE=$sanitize >/dev/null
  cmake --build "$dir"
  echo "== $config tests"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --timeout 1200)
done
echo "== Windows build (MinGW-w64) and its tests under wine"
tools/install_deps.sh windows
# The Windows programs, held under wine to the plain build's dicom2gsd. Their libraries are
# cross-built from Debian's sources once per machine and reused from /var/cache/dicom-data-converter
# after: the converters' (about 20 CPU-minutes) here when missing; Qt's, for the window and its MSI
# (about 55 more), by tools/build_windows_deps.sh, which .ci/run calls in the time its run leaves.
DGC_LINUX_BUILD=$PWD/build-tests-plain tools/test_windows.sh --window-if-built
echo "== bounded fuzz run (fixed seed)"
fuzz/run_fuzz.sh 150000 90
tools/check_package.sh build-tests-plain
echo "all tests passed (plain and sanitizer builds, Windows build under wine, fuzz run)"
