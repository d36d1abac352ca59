#!/usr/bin/env bash
# Runs the Python benchmark: dodezero_vizu against FAISS IndexIVFFlat on Fashion-MNIST, both in
# the same run, then prints one table (ratios ours / FAISS) and writes bench/python/recall_qps.png.
# FAISS runs twice: Debian's generic python3-faiss and the AVX2 build of
# bench/faiss/build_faiss_avx2.sh (built here when missing).
# Usage: run_bench.sh [BUILD_DIR]   (default: build). Extra arguments reach bench_faiss.py, e.g.
# --threads 8 --lists 256 to narrow a run, or --report-only to reprint the last one.
# PY_BENCH_DIR (default /tmp/dz_python_bench) keeps the data, the exact neighbours and the records.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
shift || true
py=/usr/bin/python3

missing=()
"$py" -c 'import numpy' 2>/dev/null || missing+=(python3-numpy)
"$py" -c 'import faiss' 2>/dev/null || missing+=(python3-faiss)
"$py" -c 'import matplotlib' 2>/dev/null || missing+=(python3-matplotlib)
[ -f /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz ] || missing+=(dataset-fashion-mnist)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
fi
bash "$root/bench/faiss/build_faiss_avx2.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
fi
cmake --build "$build" -j4 --target dodezero_vizu
uptime  # the machine's load, which the figures (above all those on every core) depend on
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" "$py" "$root/bench/python/bench_faiss.py" "$@"
uptime
