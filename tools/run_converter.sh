#!/usr/bin/env bash
# Installs what is missing, builds, and converts a study.
#   tools/run_converter.sh                  the synthetic sample study
#   tools/run_converter.sh INPUT OUTPUT     INPUT (DICOM) into OUTPUT (GSD)
# With a display the window opens filled (batch mode): check the fields and
# press Save. Without one the headless dicom2gsd converts instead.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DDGC_BUILD_TESTS=OFF >/dev/null
cmake --build build >/dev/null

if [ $# -eq 2 ]; then
  input=$1
  output=$2
elif [ $# -eq 0 ]; then
  /usr/bin/python3 tools/make_sample_study.py build/sample >/dev/null
  input=build/sample/sample_gated64.dcm
  output=build/sample/sample_gated64.gsd
  echo "sample study: $input"
else
  echo "usage: $0 [INPUT.dcm OUTPUT.gsd]" >&2
  exit 2
fi

status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "opening the window on $input; Save writes $output"
  build/dicom-converter "$input" "$output" || status=$?
else
  echo "no display: converting with the headless dicom2gsd"
  build/dicom2gsd "$input" "$output" || status=$?
fi
case $status in
  0) ;;
  255) echo "cancelled: nothing written" >&2; exit $status ;;
  *) echo "conversion failed (exit status $status)" >&2; exit $status ;;
esac
if [ -f "$output" ]; then
  build/gsdinfo "$output" --png "${output%.gsd}.png"
  echo "written: $output (montage of its frames: ${output%.gsd}.png)"
else
  echo "window closed without saving: nothing written"
fi
