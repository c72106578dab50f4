#!/usr/bin/env bash
# The DICOM node under load: 100 gated 64 x 64 studies (8 gates x 32 frames,
# 530 KiB each) sent by four storescu associations at once, 25 studies each,
# to gsd-node and, in the same run, to DCMTK's storescp alone (receiving to
# files, one process per association) and to Orthanc (Debian's package, a
# PACS server that stores into its own database). Reports studies per second
# received and converted, the ratio to storescp, and the peak resident
# memory; then 10,000 associations that end badly (5,000 for a wrong called
# AE, 5,000 aborted or closed unasked) against the node and Orthanc, with
# each one's threads, memory and the node's memory maps before and after,
# and whether a normal store is served afterwards; and, once, 1,000 of them
# against the node under valgrind's memcheck. Rewrites the "DICOM node"
# section of docs/PERFORMANCE.md.
#   bench/node_bench.sh [RUNS]   (default 3; the median run is reported)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-3}

tools/install_deps.sh test
if ! command -v Orthanc >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  # Installed for the comparison only; its own service is not started here.
  DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 $sudo apt-get install -y -qq --no-install-recommends orthanc
fi
cmake -S . -B build-bench-node -G Ninja -DCMAKE_BUILD_TYPE=Release -DDGC_BUILD_TESTS=OFF \
  -DDGC_BUILD_GUI=OFF >/dev/null
cmake --build build-bench-node --target gsd-node dicom2gsd dicom-decode >/dev/null
bin=$root/build-bench-node

work=$(mktemp -d /tmp/dgc-node-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]:-}"; do [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
/usr/bin/python3 bench/make_bench_studies.py "$work/in" >/dev/null
# Orthanc stores an instance only with its study and series UIDs.
/usr/bin/python3 - "$work/in/typical64.dcm" <<'PY'
import sys
import pydicom
from pydicom.uid import generate_uid
ds = pydicom.dcmread(sys.argv[1])
ds.StudyInstanceUID = ds.get("StudyInstanceUID") or generate_uid()
ds.SeriesInstanceUID = ds.get("SeriesInstanceUID") or generate_uid()
ds.save_as(sys.argv[1], write_like_original=True)
PY
for batch in a b c d; do
  /usr/bin/python3 tests/node/make_studies.py "$work/in/typical64.dcm" "$work/in/$batch" 25
done

# Orthanc on PORT, storing under DIR; it checks the called AE, so that it
# rejects a wrong one as the node does; its HTTP port on loopback only.
start_orthanc() {  # port dir
  mkdir -p "$2"
  cat >"$2/orthanc.json" <<JSON
{ "Name": "bench", "StorageDirectory": "$2/storage", "IndexDirectory": "$2/index",
  "DicomAet": "GSDNODE", "DicomPort": $1, "HttpPort": $(free_port), "RemoteAccessAllowed": false,
  "DicomCheckCalledAet": true, "Plugins": [], "ConcurrentJobs": 2 }
JSON
  Orthanc "$2/orthanc.json" >"$2/orthanc.log" 2>&1 &
  pids+=($!)
}
status_of() {  # pid field
  awk -v field="$2:" '$1 == field {print $2}' /proc/"$1"/status
}

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

  # Orthanc: received when every sender has its answers.
  port=$(free_port)
  rm -rf "$work/orthanc"
  start_orthanc "$port" "$work/orthanc"
  orthanc=${pids[-1]}
  wait_port "$port"
  start=$(now)
  send_all "$port"
  orthanc_ms=$(($(now) - start))
  orthanc_rss=$(status_of "$orthanc" VmHWM)
  kill -TERM "$orthanc"
  wait "$orthanc" || true

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
  results+=("$converted_ms $received_ms $scp_ms $rss $orthanc_ms $orthanc_rss")
  echo "run $run: received in $received_ms ms, converted in $converted_ms ms, storescp $scp_ms ms, Orthanc $orthanc_ms ms, node peak RSS $rss KiB, Orthanc $orthanc_rss KiB" >&2
done

median=$(printf '%s\n' "${results[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
read -r converted_ms received_ms scp_ms rss orthanc_ms orthanc_rss <<<"$median"

# 10,000 associations that end badly, then one normal store. Threads and
# resident memory of the receiver before and after (the node's memory maps
# too: a thread left behind keeps two), and whether the store was served.
peer=$root/tests/node/association_peer.py
hostile() {  # pid port
  local before_threads before_rss before_maps
  before_threads=$(status_of "$1" Threads)
  before_rss=$(status_of "$1" VmRSS)
  before_maps=$(wc -l </proc/"$1"/maps)
  /usr/bin/python3 "$peer" "$2" wrong-ae 5000
  /usr/bin/python3 "$peer" "$2" abort 5000
  sleep 1
  local served=no
  storescu -aet BENCH -aec GSDNODE 127.0.0.1 "$2" "$work/in/a"001.dcm 2>/dev/null && served=yes
  echo "$before_threads $(status_of "$1" Threads) $((before_rss / 1024)) $(($(status_of "$1" VmRSS) / 1024)) $before_maps $(wc -l </proc/"$1"/maps) $served"
}
port=$(free_port)
rm -rf "$work/spool" "$work/out"
"$bin/gsd-node" --port "$port" --spool "$work/spool" --out "$work/out" --workers 2 \
  --log "$work/node.log" &
node=$!
pids+=($node)
wait_port "$port"
read -r node_t0 node_t1 node_m0 node_m1 node_maps0 node_maps1 node_served <<<"$(hostile "$node" "$port")"
kill -TERM "$node"
wait "$node" || true
port=$(free_port)
rm -rf "$work/orthanc"
start_orthanc "$port" "$work/orthanc"
orthanc=${pids[-1]}
wait_port "$port"
read -r orthanc_t0 orthanc_t1 orthanc_m0 orthanc_m1 _ _ orthanc_served <<<"$(hostile "$orthanc" "$port")"
kill -TERM "$orthanc"
wait "$orthanc" || true

# Once under valgrind's memcheck: 500 of each kind, then SIGTERM.
port=$(free_port)
rm -rf "$work/spool" "$work/out"
valgrind --error-exitcode=99 --log-file="$work/valgrind.log" "$bin/gsd-node" --port "$port" \
  --spool "$work/spool" --out "$work/out" --log "$work/node.log" &
node=$!
pids+=($node)
wait_port "$port"
/usr/bin/python3 "$peer" "$port" wrong-ae 500
/usr/bin/python3 "$peer" "$port" abort 500
kill -TERM "$node"
valgrind_status=0
wait "$node" || valgrind_status=$?
valgrind_errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$work/valgrind.log" | tail -n 1)
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
run, without fsync or conversion, and Orthanc (Debian's 1.10 package, its
own database and storage) into its store.

| receiver | studies per second received | studies per second converted | ratio to storescp (received) |
|---|---:|---:|---:|
| storescp --fork (baseline) | $(rate "$scp_ms") | - | 1.00 |
| gsd-node | $(rate "$received_ms") | $(rate "$converted_ms") | $(awk -v a="$scp_ms" -v b="$received_ms" 'BEGIN { printf "%.2f", a / b }') |
| Orthanc | $(rate "$orthanc_ms") | - | $(awk -v a="$scp_ms" -v b="$orthanc_ms" 'BEGIN { printf "%.2f", a / b }') |

Peak resident memory (VmHWM) of the gsd-node process, its dicom2gsd
children apart: $((rss / 1024)) MiB; of Orthanc: $((orthanc_rss / 1024)) MiB.

After 10,000 associations that end badly (5,000 requests for a wrong called
AE, 5,000 accepted and aborted or connections closed before a request, from
\`tests/node/association_peer.py\`), then one normal store:

| receiver | threads before -> after | resident MiB before -> after | memory maps before -> after | store served after |
|---|---:|---:|---:|---|
| gsd-node | $node_t0 -> $node_t1 | $node_m0 -> $node_m1 | $node_maps0 -> $node_maps1 | $node_served |
| Orthanc | $orthanc_t0 -> $orthanc_t1 | $orthanc_m0 -> $orthanc_m1 | - | $orthanc_served |

gsd-node under valgrind's memcheck, 500 of each kind and SIGTERM: exit
status $valgrind_status, ${valgrind_errors:-?} errors.
TEXT
)
report=$root/docs/PERFORMANCE.md
/usr/bin/python3 "$root/bench/replace_section.py" "$report" "DICOM node" "$section"
echo "$section"
