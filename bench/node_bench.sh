#!/usr/bin/env bash
# The DICOM node under load: 100 gated 64 x 64 studies (8 gates x 32 frames,
# 530 KiB each) sent by four storescu associations at once, 25 studies each,
# to gsd-node and, in the same run, to DCMTK's storescp alone (receiving to
# files, one process per association). Reports studies per second received
# and converted, the ratio to storescp, and the node's peak resident memory,
# and rewrites the "DICOM node" section of docs/PERFORMANCE.md.
#   bench/node_bench.sh [RUNS]   (default 3; the median run is reported)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-3}

tools/install_deps.sh test
cmake -S . -B build-bench-node -G Ninja -DCMAKE_BUILD_TYPE=Release -DDGC_BUILD_TESTS=OFF \
  -DDGC_BUILD_GUI=OFF >/dev/null
cmake --build build-bench-node --target gsd-node dicom2gsd dicom-decode >/dev/null
bin=$root/build-bench-node

work=$(mktemp -d /tmp/dgc-node-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
/usr/bin/python3 bench/make_bench_studies.py "$work/in" >/dev/null
for batch in a b c d; do
  /usr/bin/python3 tests/node/make_studies.py "$work/in/typical64.dcm" "$work/in/$batch" 25
done

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
now() { echo $(($(date +%s%N) / 1000000)); }  # milliseconds
wait_port() {
  for _ in $(seq 500); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    sleep 0.02
  done
  echo "nothing listens on $1" >&2
  return 1
}
send_all() {  # port
  local senders=()
  for batch in a b c d; do
    storescu -aet BENCH -aec GSDNODE 127.0.0.1 "$1" "$work/in/$batch"0*.dcm &
    senders+=($!)
  done
  for pid in "${senders[@]}"; do wait "$pid"; done
}

results=()
for run in $(seq "$runs"); do
  # storescp alone: received when every sender has its answers.
  port=$(free_port)
  rm -rf "$work/scp" && mkdir -p "$work/scp"
  storescp --fork -aet GSDNODE -od "$work/scp" "$port" &
  pids+=($!)
  wait_port "$port"
  start=$(now)
  send_all "$port"
  scp_ms=$(($(now) - start))
  kill "${pids[-1]}"
  [ "$(ls "$work/scp" | wc -l)" -eq 100 ] || { echo "storescp kept $(ls "$work/scp" | wc -l) files" >&2; exit 1; }

  # gsd-node: received as above, converted when 100 GSD files are there.
  port=$(free_port)
  rm -rf "$work/spool" "$work/out"
  "$bin/gsd-node" --port "$port" --spool "$work/spool" --out "$work/out" --workers 2 \
    --log "$work/node.log" &
  node=$!
  pids+=($node)
  wait_port "$port"
  start=$(now)
  send_all "$port"
  received_ms=$(($(now) - start))
  for _ in $(seq 6000); do
    [ "$(find "$work/out" -maxdepth 1 -name '*.gsd' -size +0 | wc -l)" -eq 100 ] && break
    sleep 0.01
  done
  converted_ms=$(($(now) - start))
  [ "$(find "$work/out" -maxdepth 1 -name '*.gsd' -size +0 | wc -l)" -eq 100 ] || { echo "not every study converted" >&2; exit 1; }
  rss=$(awk '/VmHWM/ {print $2}' /proc/"$node"/status)
  kill -TERM "$node"
  wait "$node" || true
  results+=("$converted_ms $received_ms $scp_ms $rss")
  echo "run $run: received in $received_ms ms, converted in $converted_ms ms, storescp $scp_ms ms, node peak RSS $rss KiB" >&2
done

median=$(printf '%s\n' "${results[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
read -r converted_ms received_ms scp_ms rss <<<"$median"
rate() { awk -v ms="$1" 'BEGIN { printf "%.1f", 100000 / ms }'; }
section=$(cat <<TEXT
## DICOM node

Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(uname -m)) with
\`bench/node_bench.sh\` (Release build, median of $runs runs): 100 gated
studies of 8 gates x 32 frames of 64 x 64 (530 KiB each), sent by four
\`storescu\` associations at once (25 studies each) over 127.0.0.1; gsd-node
with \`--workers 2\`. Received: when every sender had its last answer (each
object fsynced in the spool first); converted: when the 100 GSD files were
complete. \`storescp --fork\` receives the same studies to files in the same
run, without fsync or conversion.

| receiver | studies per second received | studies per second converted | ratio to storescp (received) |
|---|---:|---:|---:|
| storescp --fork (baseline) | $(rate "$scp_ms") | - | 1.00 |
| gsd-node | $(rate "$received_ms") | $(rate "$converted_ms") | $(awk -v a="$scp_ms" -v b="$received_ms" 'BEGIN { printf "%.2f", a / b }') |

Peak resident memory of the gsd-node process (VmHWM, its dicom2gsd children
apart): $((rss / 1024)) MiB ($rss KiB).
TEXT
)
report=$root/docs/PERFORMANCE.md
/usr/bin/python3 "$root/bench/replace_section.py" "$report" "DICOM node" "$section"
echo "$section"
