#!/usr/bin/env bash
# The cold query benchmark: our cold single queries against their decryption floor, and every
# query row against FAISS 1.7.3 IndexIVFFlat twice, built for this processor with AVX2
# (bench/faiss/build_faiss_avx2.sh, built here when missing) and Debian's generic python3-faiss,
# on Fashion-MNIST (60,000 x 784) and its 128-dimension projection, in one run, then one report.
# Usage: run_cold_bench.sh [BUILD_DIR]   (default: build-index-bench)
# COLD_BENCH_DIR (default /tmp/dz_cold_bench) keeps the data, centroids and records;
# COLD_BENCH_SETS ("fashion fashion128"), COLD_BENCH_THREADS ("1 8"), COLD_BENCH_LISTS ("256,1024")
# and COLD_BENCH_PROBES ("1,4,16,64") narrow a run. Before each multi-threaded side the script waits
# (COLD_BENCH_WAIT seconds at most, default 300) until an empty OpenMP region costs under 100 us.
# Only for benchmarks: the tests, CI and the demo never run it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-index-bench}"
dir="${COLD_BENCH_DIR:-/tmp/dz_cold_bench}"
sets="${COLD_BENCH_SETS:-fashion fashion128}"
threads="${COLD_BENCH_THREADS:-1 8}"
lists="${COLD_BENCH_LISTS:-256,1024}"
probes="${COLD_BENCH_PROBES:-1,4,16,64}"
py=/usr/bin/python3
avx2="$root/.deps/faiss-avx2/python"

bench_wait="${COLD_BENCH_WAIT:-300}"
# shellcheck source=bench/index/bench_setup.sh
source "$root/bench/index/bench_setup.sh"
bench_prepare cold_query_bench index_bench

for set in $sets; do
  # A new run trains anew: the first training of this run gives every side its lists.
  rm -f "$dir/${set}_L"*_centroids.f32
  for t in $threads; do
    wait_for_quiet "$t"
    run "$build/bench/index/cold_query_bench" "$dir" "$set" "$t" "$lists" "$probes" "$dir/cold_ours_${set}_t$t.json" \
      >"$dir/cold_ours_${set}_t$t.log"
    for build_name in avx2 generic; do
      wait_for_quiet "$t"
      path="${PYTHONPATH:-}"
      [ "$build_name" = avx2 ] && path="$avx2${PYTHONPATH:+:$PYTHONPATH}"
      OMP_NUM_THREADS=$t OPENBLAS_NUM_THREADS=$t OMP_WAIT_POLICY=PASSIVE PYTHONPATH="$path" run "$py" \
        "$root/bench/index/faiss_cold.py" "$dir" "$set" "$t" "$dir/cold_ours_${set}_t$t.json" \
        "$dir/cold_faiss-${build_name}_${set}_t$t.json" "$build_name"
    done
  done
done
"$py" "$root/bench/index/cold_report.py" "$dir" "$(echo $threads | tr ' ' ',')" $sets
