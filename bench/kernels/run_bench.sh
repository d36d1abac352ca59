#!/usr/bin/env bash
# Runs the kernel benchmarks and the peer's on the same data, threads and machine, then prints
# both with ratios (ours / peer; below 1 is faster). Usage: run_bench.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-kernels}"
export KERNELS_BENCH_DIR="${KERNELS_BENCH_DIR:-/tmp/dz_kernels_bench}"
mkdir -p "$KERNELS_BENCH_DIR"

if ! /usr/bin/python3 -c 'import faiss' 2>/dev/null; then
  apt-get install -y --no-install-recommends python3-faiss
fi
cmake --build "$build" -j4 --target kernels_bench
uptime  # the machine's load, which the figures (above all those at every core) depend on
"$build/bench/kernels/kernels_bench" --benchmark_out="$KERNELS_BENCH_DIR/kernels.json" \
  --benchmark_out_format=json --benchmark_filter="${BENCH_FILTER:-.}"
/usr/bin/python3 "$root/bench/kernels/faiss_peer.py" "$KERNELS_BENCH_DIR/kernels.json" "$KERNELS_BENCH_DIR"
uptime
