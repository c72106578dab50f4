#!/usr/bin/env bash
# The folder scan over 2,000 files (warm cache): dicom2gsd --scan beside
# DCMTK's dcmdump over the same files and beside the single-file loop a
# script would otherwise run (dicom2gsd on every file, in a shell), and
# rewrites the "Folder scan" section of docs/PERFORMANCE.md.
#   bench/folder_scan_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

tools/install_deps.sh test
if ! command -v hyperfine >/dev/null; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends hyperfine
fi
cmake -S . -B build-bench-scan -G Ninja -DCMAKE_BUILD_TYPE=Release -DDGC_BUILD_TESTS=OFF \
  -DDGC_BUILD_GUI=OFF >/dev/null
cmake --build build-bench-scan --target dicom2gsd dicom-decode >/dev/null
bin=$root/build-bench-scan

work=$(mktemp -d /tmp/dgc-scan-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/make_folder_tree.py "$work/tree" 2000
files=$(find "$work/tree" -type f | wc -l)
size=$(du -sm "$work/tree" | cut -f1)
mkdir -p "$work/out"
cd "$work"

rows=()
measure() {  # name, runs, command
  local name=$1 runs=$2 command=$3 json=$work/$RANDOM.json
  hyperfine --warmup 1 --runs "$runs" --export-json "$json" --command-name "$name" \
    "$command" >/dev/null
  rows+=("$name|$(/usr/bin/python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][0]['median'])" "$json")")
}
measure "dicom2gsd --scan" 10 "$bin/dicom2gsd --scan tree >/dev/null 2>&1"
measure "dcmdump +sd +r (whole files)" 5 "dcmdump -q +sd +r tree >/dev/null 2>&1"
measure "dcmdump +sd +r -M (short values)" 5 "dcmdump -q +sd +r -M tree >/dev/null 2>&1"
measure "dicom2gsd per file in a shell loop" 3 \
  "find tree -type f | while read -r f; do $bin/dicom2gsd \"\$f\" out/x.gsd >/dev/null 2>&1 || true; done"

scan=$(echo "${rows[0]}" | cut -d'|' -f2)
table=""
for row in "${rows[@]}"; do
  name=${row%%|*}
  seconds=${row##*|}
  table+="| $name | $(awk -v s="$seconds" 'BEGIN { printf "%.3f", s }') | $(awk -v s="$seconds" -v f="$files" 'BEGIN { printf "%.0f", f / s }') | $(awk -v s="$seconds" -v b="$scan" 'BEGIN { printf "%.1f", s / b }') |"$'\n'
done
section=$(cat <<TEXT
## Folder scan

Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(uname -m)) with
\`bench/folder_scan_bench.sh\` (Release build, median of hyperfine runs after a
warm-up, so the files are in the page cache): $files files ($size MiB) in 40
folders, CT slices of 256 x 256 and 20 gated NM studies (8 gates x 16 frames),
half of the files without an extension. \`dicom2gsd --scan\` reads each header
up to Pixel Data and lists the 20 studies; \`dcmdump\` reads the same files
(\`+sd +r\`), whole or with short values only (\`-M\`); the shell loop runs
\`dicom2gsd FILE OUT\` on every file, as a script without the folder mode
would, each CT file declined.

| command | seconds | files per second | time / --scan |
|---|---:|---:|---:|
${table}
TEXT
)
report=$root/docs/PERFORMANCE.md
/usr/bin/python3 "$root/bench/replace_section.py" "$report" "Folder scan" "$section"
echo "$section"
