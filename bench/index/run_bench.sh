#!/usr/bin/env bash
# Runs the index benchmark and its FAISS peer on the same data, lists, probes and threads, then
# prints both side by side with the ratios (ours / FAISS in time; below 1 is faster), where our
# time goes, sanity checks and the goals. The peer is Debian's generic python3-faiss; every query
# row is also run against FAISS built with AVX2 (bench/faiss/build_faiss_avx2.sh, built when
# missing) and shown beside it. Usage: run_bench.sh [BUILD_DIR]
# INDEX_BENCH_DIR (default /tmp/dz_index_bench) keeps the data and results; the data is made once
# and reused. INDEX_BENCH_SETS ("clustered fashion") and INDEX_BENCH_THREADS ("1 8") narrow a run.
# Parallel figures taken while other processes hold cores measure the machine: before each side
# of a multi-threaded step the script waits (INDEX_BENCH_WAIT seconds at most, default 300) until
# an empty OpenMP region on that many threads costs under 100 us; the report marks busy rows.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-index-bench}"
dir="${INDEX_BENCH_DIR:-/tmp/dz_index_bench}"
sets="${INDEX_BENCH_SETS:-clustered fashion}"
threads="${INDEX_BENCH_THREADS:-1 8}"
py=/usr/bin/python3
avx2="$root/.deps/faiss-avx2/python"

bench_wait="${INDEX_BENCH_WAIT:-300}"
# shellcheck source=bench/index/bench_setup.sh
source "$root/bench/index/bench_setup.sh"
bench_prepare index_bench

for set in $sets; do
  # A new run trains anew: the first training of this run is the one every index and FAISS use.
  rm -f "$dir/${set}_centroids.f32" "$dir/ours_${set}_t"*.json "$dir/faiss_${set}_t"*.json \
    "$dir/${set}_ours_ids_"*.i64
  for t in $threads; do
    wait_for_quiet "$t"
    # The library writes notices to stdout and untrained-query warnings to stderr: kept in a log.
    run "$build/bench/index/index_bench" "$dir" "$set" "$t" >"$dir/ours_${set}_t$t.log" \
      2> >(tee -a "$dir/ours_${set}_t$t.log" | grep --line-buffered -e '^\[index_bench' -e '^index_bench' >&2)
    wait_for_quiet "$t"
    echo "[faiss_peer $(cut -d' ' -f1-3 /proc/loadavg)] $set threads $t" >&2
    OMP_NUM_THREADS=$t OPENBLAS_NUM_THREADS=$t run "$py" "$root/bench/index/faiss_peer.py" "$dir" "$set" "$t" \
      "$dir/ours_${set}_t$t.json" "$dir/faiss_${set}_t$t.json"
    # The same queries on FAISS built for this processor (AVX2), beside Debian's generic build.
    wait_for_quiet "$t"
    echo "[faiss_peer avx2 $(cut -d' ' -f1-3 /proc/loadavg)] $set threads $t" >&2
    OMP_NUM_THREADS=$t OPENBLAS_NUM_THREADS=$t PYTHONPATH="$avx2${PYTHONPATH:+:$PYTHONPATH}" run "$py" \
      "$root/bench/index/faiss_peer.py" "$dir" "$set" "$t" "$dir/ours_${set}_t$t.json" \
      "$dir/faiss-avx2_${set}_t$t.json" avx2
  done
done
"$py" "$root/bench/index/report.py" "$dir" $sets
