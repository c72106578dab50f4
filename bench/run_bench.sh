#!/usr/bin/env bash
# Times dicom2gsd against a plain copy and against general DICOM tools on the
# same studies, in one run on this machine, and puts the figures into
# docs/PERFORMANCE.md: each table between its markers
# (<!-- bench:NAME --> ... <!-- /bench:NAME -->), the text around them and
# other sections left as they are.
#   bench/run_bench.sh            everything
#   bench/run_bench.sh compressed the compressed studies only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
only=${1:-all}

tools/install_deps.sh test
missing=()
for p in hyperfine medcon dcm2niix libgdcm-tools dcmtk libbenchmark-dev time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DDGC_BUILD_TESTS=OFF \
  -DDGC_BUILD_GUI=ON -DDGC_BUILD_BENCH=ON >/dev/null
cmake --build build-bench >/dev/null

work=$(mktemp -d /tmp/dgc-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/make_bench_studies.py "$work/in"
# The largest study as archives deliver it compressed, each lossless way.
dcmcjpeg "$work/in/max128.dcm" "$work/in/max128_jpeglossless.dcm"
dcmcjpls "$work/in/max128.dcm" "$work/in/max128_jpegls.dcm"
dcmcrle "$work/in/max128.dcm" "$work/in/max128_rle.dcm"
gdcmconv --j2k "$work/in/max128.dcm" "$work/in/max128_j2k.dcm"
mkdir -p "$work/out"
bin=$root/build-bench
report=$root/docs/PERFORMANCE.md
cd "$work"

declare -A median  # "study|command" -> seconds of wall clock
declare -A cpu     # "study|command" -> seconds of CPU (user + system, children included)
measure() {  # name, study, command[, runs]
  local name=$1 study=$2 command=$3 runs=${4:-15} json=$work/$RANDOM.json
  hyperfine --warmup 3 --runs "$runs" --export-json "$json" --prepare 'rm -rf out; mkdir -p out' \
    --command-name "$name" "$command" >/dev/null
  median["$study|$name"]=$(/usr/bin/python3 -c \
    "import json,sys; print(json.load(open(sys.argv[1]))['results'][0]['median'])" "$json")
  cpu["$study|$name"]=$(/usr/bin/python3 -c \
    "import json,sys; r=json.load(open(sys.argv[1]))['results'][0]; print(r['user'] + r['system'])" "$json")
}
ms() { /usr/bin/python3 -c "import sys; print('%.1f' % (float(sys.argv[1]) * 1000))" "$1"; }
ratio() { /usr/bin/python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
mib() { /usr/bin/python3 -c "import os,sys; print('%.1f' % (os.path.getsize(sys.argv[1]) / 2**20))" "$1"; }

# Puts the lines of file $2 between the markers of block $1 in the report.
replace_block() {
  /usr/bin/python3 - "$report" "$1" "$2" <<'EOF'
import sys
report, name, body = sys.argv[1], sys.argv[2], open(sys.argv[3]).read()
text = open(report).read()
start, end = "<!-- bench:%s -->\n" % name, "<!-- /bench:%s -->" % name
a, b = text.find(start), text.find(end)
if a < 0 or b < a:
    sys.exit("%s: no block %s" % (report, name))
open(report, "w").write(text[:a + len(start)] + body + text[b:])
EOF
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
stamp="Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))."

if [ "$only" = all ]; then
  studies=(max128 max128_implicit typical64 typical64_implicit)
  for study in "${studies[@]}"; do
    in=in/$study.dcm
    measure "cat (copy baseline)" $study "cat $in > out/copy"
    measure "dicom2gsd" $study "$bin/dicom2gsd $in out/o.gsd"
    measure "medcon -c intf" $study "medcon -f $in -c intf -o out/m"
    measure "dcm2niix" $study "dcm2niix -s y -w 1 -o out -f d $in"
    measure "gdcmconv --raw" $study "gdcmconv --raw $in out/g.dcm"
  done
  peak_kb=$(/usr/bin/time -v "$bin/dicom2gsd" in/max128.dcm out/o.gsd 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
  {
    echo "$stamp"
    echo
    echo "| study | command | median (ms) | ratio to copy |"
    echo "|---|---|---:|---:|"
    for study in "${studies[@]}"; do
      base=${median["$study|cat (copy baseline)"]}
      for name in "cat (copy baseline)" dicom2gsd "medcon -c intf" dcm2niix "gdcmconv --raw"; do
        m=${median["$study|$name"]}
        echo "| $study | $name | $(ms "$m") | $(ratio "$m" "$base") |"
      done
    done
    echo
    echo "Peak resident memory of \`dicom2gsd\` on max128 (\`/usr/bin/time -v\`): $((peak_kb / 1024)) MiB ($peak_kb KiB)."
  } >"$work/raw.md"
fi

# Compressed: each lossless encoding of max128 beside GDCM's and DCMTK's own
# decompression of the same file, and beside the raw file's conversion, all
# in this one run. 3 warm-up and 10 timed runs each (JPEG 2000 takes seconds).
encodings=(jpeglossless jpegls rle j2k)
declare -A label=([jpeglossless]="JPEG Lossless" [jpegls]="JPEG-LS" [rle]="RLE" [j2k]="JPEG 2000 lossless")
declare -A dcmtk=([jpeglossless]=dcmdjpeg [jpegls]=dcmdjpls [rle]=dcmdrle)
measure "dicom2gsd" max128 "$bin/dicom2gsd in/max128.dcm out/o.gsd" 10
for e in "${encodings[@]}"; do
  in=in/max128_$e.dcm
  measure "dicom2gsd" "$e" "$bin/dicom2gsd $in out/o.gsd" 10
  measure "gdcmconv --raw" "$e" "gdcmconv --raw $in out/g.dcm" 10
  if [ -n "${dcmtk[$e]:-}" ]; then
    measure "${dcmtk[$e]}" "$e" "${dcmtk[$e]} $in out/d.dcm" 10
  fi
done
{
  echo "$stamp"
  echo
  echo "| max128 as | file (MiB) | dicom2gsd (ms) | gdcmconv --raw (ms) | ratio | DCMTK (ms) | ratio | x raw conversion | CPU ms: dicom2gsd / gdcmconv | helper peak (MiB) |"
  echo "|---|---:|---:|---:|---:|---|---:|---:|---:|---:|"
  raw=${median["max128|dicom2gsd"]}
  for e in "${encodings[@]}"; do
    in=in/max128_$e.dcm
    d=${median["$e|dicom2gsd"]} g=${median["$e|gdcmconv --raw"]}
    tool=${dcmtk[$e]:-}
    if [ -n "$tool" ]; then
      t=${median["$e|$tool"]}
      dcmtk_cells="$tool $(ms "$t") | $(ratio "$d" "$t")"
    else
      dcmtk_cells="none (no JPEG 2000 decoder) | -"
    fi
    peak=$(/usr/bin/time -v "$bin/dicom-decode" <"$in" 2>&1 >/dev/null |
      awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print int($2 / 1024)}')
    echo "| ${label[$e]} | $(mib "$in") | $(ms "$d") | $(ms "$g") | $(ratio "$d" "$g") | $dcmtk_cells | $(ratio "$d" "$raw") | $(ms "${cpu["$e|dicom2gsd"]}") / $(ms "${cpu["$e|gdcmconv --raw"]}") | $peak |"
  done
  echo
  echo "The raw file's conversion in the same run: $(ms "$raw") ms. Ratios are dicom2gsd's median"
  echo "wall time over the other command's; CPU is the mean user + system time of a run, its"
  echo "children (the helper) included; \"helper peak\" is \`dicom-decode\`'s own maximum resident"
  echo "set on the file. Load average when the run began: $load."
} >"$work/compressed.md"

if [ "$only" = all ]; then
  micro=$(DGC_BENCH_STUDY=in/max128.dcm "$bin/micro_bench" 2>/dev/null | grep -E "^(Benchmark|-|HeaderScan|Binning|WholeLoad|Writer)")
  pane=$(QT_QPA_PLATFORM=offscreen "$bin/pane_bench" 2>/dev/null | grep -E "^(Benchmark|-|RenderStrip|NewStudy|PaintMontage|CineStep)")
  printf '```\n%s\n```\n' "$micro" >"$work/micro.md"
  printf '```\n%s\n```\n' "$pane" >"$work/pane.md"
  replace_block raw "$work/raw.md"
  replace_block micro "$work/micro.md"
  replace_block pane "$work/pane.md"
fi
replace_block compressed "$work/compressed.md"
cat "$report"
