"""Times the peer's kernels on the data kernels_bench wrote and prints both sides with ratios.

Usage: faiss_peer.py BENCH_JSON [DATA_DIR]. BENCH_JSON is kernels_bench's --benchmark_out file;
DATA_DIR holds the .f32 files it wrote. Run with /usr/bin/python3.

The peer gets the same thread budget as ours: its OpenMP team and its BLAS (Debian links the
pthread OpenBLAS, which otherwise starts a thread per core whatever the OpenMP setting) are both
set to the count measured. Its OpenMP threads wait passively, or they spin between regions on the
cores its BLAS threads need, which made it slower at every core than at one.
"""
import ctypes
import json
import os
import sys
import time

os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # read when the OpenMP runtime starts

import numpy as np
import faiss

N, D, LISTS, PROBE_Q, SEARCH_Q, TOPK = 100000, 128, 1024, 10000, 1000, 10
TRAIN_ROUNDS = 10  # as kernels_bench's full-batch training
BLAS = ctypes.CDLL("libopenblas.so.0")  # the one FAISS links


def set_threads(threads):
    faiss.omp_set_num_threads(threads)
    BLAS.openblas_set_num_threads(threads)
    if BLAS.openblas_get_num_threads() != threads:
        sys.exit("could not set the peer's BLAS threads to %d" % threads)


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
    set_threads(threads)
    x = load(data_dir, name + "_data.f32", N)
    q = load(data_dir, name + "_queries.f32", PROBE_Q)
    c = load(data_dir, name + "_centroids.f32", LISTS)
    out = {}

    # Lloyd iterations over all N points, timed by the peer's own clock: the time of the last
    # iteration's stats runs from the start of training, whose initialisation is a random pick.
    km = faiss.Kmeans(D, LISTS, niter=TRAIN_ROUNDS, seed=1, max_points_per_centroid=1 << 20)
    km.train(x)
    out["train_iter"] = km.iteration_stats[-1]["time"] * 1000.0 / TRAIN_ROUNDS

    quantizer = faiss.IndexFlatL2(D)
    quantizer.add(c)
    out["encode"] = best_of(lambda: quantizer.search(x, 1))
    for p in (1, 16):
        out["probe_%d" % p] = best_of(lambda: quantizer.search(q, p))

    ivf = faiss.IndexIVFFlat(quantizer, D, LISTS, faiss.METRIC_L2)
    ivf.is_trained = True
    ivf.add(x)
    sizes = np.array([ivf.invlists.list_size(i) for i in range(LISTS)])
    qs = np.ascontiguousarray(q[:SEARCH_Q])
    for p in (1, 16):
        ivf.nprobe = p
        dq, iq = quantizer.search(qs, p)
        # The list scan alone, on lists assigned beforehand, as our search gets them. In the
        # default parallel mode this call stays on one thread (search() splits the queries before
        # it calls it); mode 3 splits the queries inside it instead.
        dist = np.empty((SEARCH_Q, TOPK), dtype=np.float32)
        ids = np.empty((SEARCH_Q, TOPK), dtype=np.int64)
        sp = faiss.swig_ptr
        ivf.parallel_mode = 3
        out["search_%d" % p] = best_of(lambda: ivf.search_preassigned(
            SEARCH_Q, sp(qs), TOPK, sp(iq), sp(dq), sp(dist), sp(ids), False))
        ivf.parallel_mode = 0
        # What makes the figure checkable: the whole search less its quantizer's part takes about
        # as long, the vectors each query scans, and the same neighbours as ours.
        out["whole_%d" % p] = best_of(lambda: ivf.search(qs, TOPK)) - best_of(lambda: quantizer.search(qs, p))
        out["scanned_%d" % p] = sizes[iq].sum() / SEARCH_Q
        out["agree_%d" % p] = agreement(data_dir, name, p, ids)
    out["list_sizes"] = (sizes.min(), sizes.mean(), sizes.max())
    ivf.nprobe = LISTS
    # One query: splitting the queries would leave it one thread, so the lists are split (mode 1).
    ivf.parallel_mode = 1
    out["search_one"] = best_of(lambda: ivf.search(qs[:1], TOPK))
    return out


def agreement(data_dir, name, p, peer_ids):
    """Share of the peer's top-k ids that our search also returned, or None without our file."""
    path = os.path.join(data_dir, "%s_search_%d_ids.i64" % (name, p))
    if not os.path.exists(path):
        return None
    ours = np.fromfile(path, dtype=np.int64).reshape(SEARCH_Q, TOPK)
    same = sum(len(set(a[a >= 0]) & set(b[b >= 0])) for a, b in zip(ours, peer_ids))
    return same / float((peer_ids >= 0).sum())


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
            # Both per round, seeding excluded (kernels_bench times the rounds themselves).
            rows.append(("train per full iteration", mine.get(
                "train_fullbatch/%s/%d/%d/%d/iterations:1/manual_time" % (name, threads, TRAIN_ROUNDS, N)),
                peer["train_iter"]))
            rows.append(("train per 1024 batch", mine.get(
                "train_minibatch/%s/%d/100/0/iterations:1/manual_time" % (name, threads)), None))
            rows.append(("encode 100k", mine.get("encode_l2/%s/%d/real_time" % (name, threads)), peer["encode"]))
            for p in (1, 16):
                rows.append(("probe 10k n_probes %d" % p,
                             mine.get("probe_l2/%s/%d/%d/real_time" % (name, threads, p)), peer["probe_%d" % p]))
                rows.append(("search 1k n_probes %d" % p,
                             mine.get("search_l2/%s/%d/%d/real_time" % (name, threads, p)), peer["search_%d" % p]))
            rows.append(("search 1 query, all", mine.get("search_one_l2/%s/%d/real_time" % (name, threads)),
                         peer["search_one"]))
            for label, a, b in rows:
                for v in (a, b):
                    if v is not None and v <= 0:
                        sys.exit("impossible time %.3f ms for %s: the benchmark is broken" % (v, label))
                ratio = "%.2f" % (a / b) if a is not None and b else "-"
                print("%-10s %-8d %-22s %12s %12s %8s" % (name, threads, label,
                      "%.2f" % a if a is not None else "-", "%.2f" % b if b is not None else "-", ratio))
            lo, mean, hi = peer["list_sizes"]
            note = ("%-10s %-8d search: lists of %d to %d vectors (mean %.0f); a query scans %.0f at n_probes 1, %.0f at"
                    " 16; peer search() less its quantizer %.2f, %.2f ms") % (
                name, threads, lo, hi, mean, peer["scanned_1"], peer["scanned_16"], peer["whole_1"], peer["whole_16"])
            agree = [peer["agree_%d" % p] for p in (1, 16)]
            if None not in agree:
                note += "; same top-%d ids as ours: %.2f%%, %.2f%%" % (TOPK, 100 * agree[0], 100 * agree[1])
            print(note)


if __name__ == "__main__":
    main()
