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
# The operating system's seam and its contract tables under wine. The Windows programs
# (`tools/test_windows.sh --without-window`, or with the window and the MSI without the option)
# build on libraries cross-built from Debian's sources, 20 to 50 CPU-minutes on a fresh machine.
tools/test_windows.sh --platform-only
echo "== bounded fuzz run (fixed seed)"
fuzz/run_fuzz.sh 150000 90
tools/check_package.sh build-tests-plain
echo "all tests passed (plain and sanitizer builds, Windows build under wine, fuzz run)"
