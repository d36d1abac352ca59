#!/usr/bin/env bash
# Cold queries on PostgreSQL and Redis against the floor of the bytes they move
# (wire_cold_bench.cc), in one run on throwaway servers, for this tree and optionally an older
# one, then one report with both side by side.
# Usage: run_wire_bench.sh [BUILD_DIR [BEFORE_BUILD_DIR]]   (default: build)
# BEFORE_BUILD_DIR is a build of an older tree into which bench/index/wire_cold_bench.cc,
# open_floor.h and their line of bench/index/CMakeLists.txt were copied (the source builds there).
# WIRE_BENCH_DIR (default /tmp/dz_cold_bench) keeps the data and the pinned centroids, shared with
# the cold query benchmark; WIRE_BENCH_STORES ("postgres,redis"), WIRE_BENCH_THREADS ("1,4") and
# WIRE_BENCH_PROBES ("1,4,16,64") narrow a run; WIRE_BENCH_PG_OPTS (default "-c shared_buffers=1GB":
# the server holds the index, as one serving it would) sets PostgreSQL's options.
# Only for benchmarks: the tests, CI and the demo never run it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
before="${2:-}"
dir="${WIRE_BENCH_DIR:-/tmp/dz_cold_bench}"
stores="${WIRE_BENCH_STORES:-postgres,redis}"
threads="${WIRE_BENCH_THREADS:-1,4}"
probes="${WIRE_BENCH_PROBES:-1,4,16,64}"
py=/usr/bin/python3

[ -f /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz ] ||
  apt-get install -y --no-install-recommends dataset-fashion-mnist ||
  { apt-get update && apt-get install -y --no-install-recommends dataset-fashion-mnist; }
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" >/dev/null
else
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
fi
cmake --build "$build" -j4 --target wire_cold_bench
[ -z "$before" ] || [ -x "$before/bench/index/wire_cold_bench" ] ||
  { echo "no $before/bench/index/wire_cold_bench: build it in the older tree first" >&2; exit 2; }
mkdir -p "$dir"
"$py" "$root/bench/index/make_data.py" "$dir" fashion

# shellcheck source=scripts/test-servers.sh
source "$root/scripts/test-servers.sh"
export DZ_PG_SERVER_OPTS="${WIRE_BENCH_PG_OPTS--c shared_buffers=1GB}"
trap dz_servers_stop EXIT
dz_servers_start

# The library's notices go to the log; the figures and progress to the terminal.
runs=()
[ -z "$before" ] || runs+=("before:$before")
runs+=("after:$build")
for r in "${runs[@]}"; do
  tag="${r%%:*}"
  "${r#*:}/bench/index/wire_cold_bench" "$dir" fashion "$tag" "$dir/wire_$tag.json" "$stores" "$threads" "$probes" \
    >"$dir/wire_$tag.log"
done
"$py" "$root/bench/index/wire_report.py" "$dir/wire_after.json" ${before:+"$dir/wire_before.json"}
