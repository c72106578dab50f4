#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each from the seed corpora and
# the saved regressions.
#   fuzz/run_fuzz.sh RUNS [SECONDS]
# RUNS inputs per target with a fixed seed (repeatable), stopping early
# after SECONDS. A crash fails the run; the input is kept in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
seconds=${2:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DDGC_FUZZ=ON -DDGC_BUILD_GUI=OFF \
  -DDGC_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz

work=build-fuzz/work
mkdir -p fuzz/regressions/dicom fuzz/regressions/gsd fuzz/regressions/own fuzz/regressions/frame
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 tests/data/make_dicom.py "$work/testdata" >/dev/null
/usr/bin/python3 fuzz/make_seeds.py "$work/testdata" "$work/dicom" "$work/gsd" build-fuzz/dicom2gsd \
  "$work/own" "$work/frame"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
for target in dicom_load gsd_reader own_codecs frame_decode; do
  corpus=$work/${target%%_*}
  [ "$target" = gsd_reader ] && corpus=$work/gsd
  echo "== fuzz_$target: $runs runs, at most ${seconds}s"
  log=build-fuzz/fuzz_$target.log
  status=0
  build-fuzz/fuzz_$target -seed=1 -runs="$runs" -max_total_time="$seconds" -max_len=40000 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build-fuzz/crash-$target- \
    -print_final_stats=1 "$corpus" "fuzz/regressions/${target%%_*}" >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY)" "$log" || true
  if [ $status -ne 0 ]; then
    tail -40 "$log" >&2
    echo "fuzz_$target failed (status $status); inputs kept as build-fuzz/crash-$target-*" >&2
    exit 1
  fi
done
