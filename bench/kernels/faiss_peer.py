"""Times the peer's kernels on the data kernels_bench wrote and prints both sides with ratios.

Usage: faiss_peer.py BENCH_JSON [DATA_DIR]. BENCH_JSON is kernels_bench's --benchmark_out file;
DATA_DIR holds the .f32 files it wrote. Run with /usr/bin/python3.
"""
import json
import os
import sys
import time

import numpy as np
import faiss

N, D, LISTS, PROBE_Q, SEARCH_Q, TOPK = 100000, 128, 1024, 10000, 1000, 10


def load(data_dir, name, rows):
    return np.fromfile(os.path.join(data_dir, name), dtype=np.float32).reshape(rows, D)


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1000.0


def peer_times(data_dir, name, threads):
    faiss.omp_set_num_threads(threads)
    x = load(data_dir, name + "_data.f32", N)
    q = load(data_dir, name + "_queries.f32", PROBE_Q)
    c = load(data_dir, name + "_centroids.f32", LISTS)
    out = {}

    # Lloyd iterations over all N points: time per iteration, initialisation excluded.
    def train(iters):
        km = faiss.Kmeans(D, LISTS, niter=iters, seed=1, max_points_per_centroid=1 << 20)
        t0 = time.perf_counter()
        km.train(x)
        return (time.perf_counter() - t0) * 1000.0
    out["train_iter"] = (train(6) - train(1)) / 5.0

    quantizer = faiss.IndexFlatL2(D)
    quantizer.add(c)
    out["encode"] = best_of(lambda: quantizer.search(x, 1))
    for p in (1, 16):
        out["probe_%d" % p] = best_of(lambda: quantizer.search(q, p))

    ivf = faiss.IndexIVFFlat(quantizer, D, LISTS, faiss.METRIC_L2)
    ivf.is_trained = True
    ivf.add(x)
    qs = np.ascontiguousarray(q[:SEARCH_Q])
    for p in (1, 16):
        ivf.nprobe = p
        dq, iq = quantizer.search(qs, p)
        # The list scan alone, on lists assigned beforehand, as our search gets them.
        dist = np.empty((SEARCH_Q, TOPK), dtype=np.float32)
        ids = np.empty((SEARCH_Q, TOPK), dtype=np.int64)
        sp = faiss.swig_ptr
        out["search_%d" % p] = best_of(lambda: ivf.search_preassigned(
            SEARCH_Q, sp(qs), TOPK, sp(iq), sp(dq), sp(dist), sp(ids), False))
    ivf.nprobe = LISTS
    out["search_one"] = best_of(lambda: ivf.search(qs[:1], TOPK))
    return out


def ours(bench_json):
    with open(bench_json) as f:
        runs = json.load(f)["benchmarks"]
    t = {}
    for r in runs:
        t[r["name"]] = r["real_time"]  # milliseconds: every benchmark reports in ms
    return t


def main():
    bench_json = sys.argv[1]
    data_dir = sys.argv[2] if len(sys.argv) > 2 else os.environ.get("KERNELS_BENCH_DIR", "/tmp/dz_kernels_bench")
    mine = ours(bench_json)
    all_threads = os.cpu_count()
    print("%-10s %-8s %-22s %12s %12s %8s" % ("data", "threads", "kernel", "ours ms", "peer ms", "ratio"))
    for name in ("random", "clustered"):
        for threads in (1, all_threads):
            peer = peer_times(data_dir, name, threads)
            rows = []
            seed = mine.get("train_fullbatch_seed_only/%s/%d/0/%d/iterations:1/real_time" % (name, threads, N))
            full = mine.get("train_fullbatch/%s/%d/5/%d/iterations:1/real_time" % (name, threads, N))
            if seed is not None and full is not None:
                rows.append(("train per full iteration", (full - seed) / 5.0, peer["train_iter"]))
            mseed = mine.get("train_seed_only/%s/%d/0/0/iterations:1/real_time" % (name, threads))
            mini = mine.get("train_minibatch/%s/%d/100/0/iterations:1/real_time" % (name, threads))
            if mseed is not None and mini is not None:
                rows.append(("train per 1024 batch", (mini - mseed) / 100.0, None))
            rows.append(("encode 100k", mine.get("encode_l2/%s/%d/real_time" % (name, threads)), peer["encode"]))
            for p in (1, 16):
                rows.append(("probe 10k n_probes %d" % p,
                             mine.get("probe_l2/%s/%d/%d/real_time" % (name, threads, p)), peer["probe_%d" % p]))
                rows.append(("search 1k n_probes %d" % p,
                             mine.get("search_l2/%s/%d/%d/real_time" % (name, threads, p)), peer["search_%d" % p]))
            rows.append(("search 1 query, all", mine.get("search_one_l2/%s/%d/real_time" % (name, threads)),
                         peer["search_one"]))
            for label, a, b in rows:
                ratio = "%.2f" % (a / b) if a is not None and b else "-"
                print("%-10s %-8d %-22s %12s %12s %8s" % (name, threads, label,
                      "%.2f" % a if a is not None else "-", "%.2f" % b if b is not None else "-", ratio))


if __name__ == "__main__":
    main()
