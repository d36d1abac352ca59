#!/usr/bin/env bash
# Runs the core benchmarks and `openssl speed -evp aes-256-gcm` in one session on this machine and
# prints the figures with their ratios:
#   - each cipher on one thread against `openssl speed` at the same message size (goal: >= 0.5);
#   - every benchmark on all cores against linear scaling of its one-thread figure (goal: >= 0.8);
#   - the label hash against EVP_Digest with SHA3-256 on the same inputs (goal: > 1).
#
# The benchmark binary runs twice: with the C library's default allocator settings, and with memory
# kept mapped between calls (GLIBC_TUNABLES: heap allocations up to 32 MiB, no trimming, a large top
# pad, transparent huge pages). Figures are medians of three repetitions.
# The second pass shows the cipher cost apart from page faults on freshly mapped result memory,
# which dominate where faults are expensive (virtual machines).
#
# Usage: bench/core/run_core_bench.sh [build-dir]   (default: build; built when missing)
# Environment: SPEED_SECONDS (default 3) for each `openssl speed` run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
bin=$build/bench/core/core_bench
seconds=${SPEED_SECONDS:-3}
py=/usr/bin/python3

if [[ ! -x $bin ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j4 --target core_bench
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== machine: $(nproc) cores, load average: $(cut -d' ' -f1-3 /proc/loadavg), $(openssl version)"

echo "== core_bench, default allocator"
"$bin" --benchmark_out="$work/default.json" --benchmark_out_format=json
echo "== core_bench, memory kept mapped"
GLIBC_TUNABLES=glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=4294967295:glibc.malloc.top_pad=67108864 \
  "$bin" --benchmark_out="$work/warm.json" --benchmark_out_format=json

echo "== openssl speed -evp aes-256-gcm (${seconds}s per size)"
: >"$work/speed.txt"
for size in 64 512 3136; do
  for mode in encrypt decrypt; do
    flag=()
    [[ $mode == decrypt ]] && flag=(-decrypt)
    rate=$(openssl speed -evp aes-256-gcm "${flag[@]}" -bytes "$size" -seconds "$seconds" -mr 2>/dev/null |
      awk -F: '/^\+F:/ {print $4}')
    echo "$mode $size $rate" | tee -a "$work/speed.txt"
  done
done

"$py" - "$work" <<'EOF'
import json, sys, os

work = sys.argv[1]
speed = {}
for line in open(os.path.join(work, "speed.txt")):
    mode, size, rate = line.split()
    speed[(mode, int(size))] = float(rate)

def load(name):
    runs = {}
    for b in json.load(open(os.path.join(work, name)))["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        fields = b.get("run_name", b["name"]).split("/")
        parts = dict(f.split(":", 1) for f in fields[1:] if ":" in f)
        runs[(fields[0][3:], int(parts["bytes"]), int(parts["threads"]))] = b
    return runs

def mbs(b):
    return b["bytes_per_second"] / 1e6

for label, name in (("default allocator", "default.json"), ("memory kept mapped", "warm.json")):
    runs = load(name)
    cores = max(k[2] for k in runs)
    print(f"\n-- {label}")
    print(f"{'operation':<14}{'bytes':>6}{'1 thread MB/s':>15}{'openssl MB/s':>14}{'ratio':>8}"
          f"{cores:>4} thr MB/s{'scaling':>9}")
    for op in ("EncryptItems", "DecryptItems", "EncryptMatrix", "DecryptMatrix"):
        mode = "encrypt" if op.startswith("Encrypt") else "decrypt"
        for size in (64, 512, 3136):
            one, many = runs.get((op, size, 1)), runs.get((op, size, cores))
            if not one or not many:
                continue
            peer = speed.get((mode, size), 0) / 1e6
            ratio = mbs(one) / peer if peer else float("nan")
            scaling = mbs(many) / (cores * mbs(one))
            print(f"{op:<14}{size:>6}{mbs(one):>15.1f}{peer:>14.1f}{ratio:>8.2f}{mbs(many):>13.1f}{scaling:>9.2f}")
    own1, ownn = runs.get(("Sha3HashToU64", 32, 1)), runs.get(("Sha3HashToU64", 32, cores))
    evp1, evpn = runs.get(("EvpDigestSha3", 32, 1)), runs.get(("EvpDigestSha3", 32, cores))
    if own1 and evp1:
        m = lambda b: b["items_per_second"] / 1e6
        print(f"{'hash (32 B)':<14}{'1 thread M/s':>20}{cores:>4} thr M/s{'scaling':>9}")
        print(f"{'Sha3HashToU64':<14}{m(own1):>20.2f}{m(ownn):>12.2f}{m(ownn) / (cores * m(own1)):>9.2f}")
        print(f"{'EVP_Digest':<14}{m(evp1):>20.2f}{m(evpn):>12.2f}{m(evpn) / (cores * m(evp1)):>9.2f}")
        print(f"own / EVP_Digest: {m(own1) / m(evp1):.2f} on 1 thread, {m(ownn) / m(evpn):.2f} on {cores}")
EOF
