#!/usr/bin/env bash
# Installs what is missing, builds, and converts a study.
#   tools/run_converter.sh                  convert the synthetic sample study
#   tools/run_converter.sh INPUT OUTPUT     convert INPUT into OUTPUT
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
build/dicom2gsd "$input" "$output" || status=$?
if [ $status -ne 0 ]; then
  echo "conversion failed (exit status $status)" >&2
  exit $status
fi
build/gsdinfo "$output" --png "${output%.gsd}.png"
echo "written: $output"
