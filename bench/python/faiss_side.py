"""The peer's side of the Python benchmark: FAISS IndexIVFFlat on Fashion-MNIST at one thread count.

Usage: faiss_side.py WORK_DIR THREADS OUT_JSON LISTS PROBES [avx2], as ours_side.py. Run with
/usr/bin/python3: Debian's python3-faiss, or with "avx2" the AVX2 build that PYTHONPATH brings
(refused when another one loads). Writes one JSON record; progress goes to stderr.

The peer gets the thread budget ours gets: its OpenMP team and its BLAS (Debian's pthread
OpenBLAS, whose pool ignores OpenMP's count) are both set to THREADS. The driver starts this
process with OMP_WAIT_POLICY=PASSIVE: idle OpenMP threads that spin take the cores its BLAS threads
need, which made its k-means several times slower at 8 threads.

For each list count: Lloyd k-means of ITERS iterations over every base vector (FAISS's own default
for IndexIVFFlat, whose at most 256 points per list keep all 60,000 at these list counts), run
through faiss.Clustering so that its iteration statistics give the time per iteration, into the
quantizer of an IndexIVFFlat (what IndexIVFFlat.train does); add() of the base; then the query
batch at each n_probes with search(), all queries in one call. Calls are timed by the rule of
timing.best_of_calls. Its search needs no cache and has no cold or warm state: one figure serves
both of ours.
"""
import ctypes
import json
import sys

import numpy as np

import faiss
import fashion_mnist
from timing import (KMEANS_CALLS, REPEAT_BELOW_S, best_of_calls, cpu_snapshot, load_average, other_cores,
                    timed)

ITERS = 10
SEED = 1234


def set_threads(threads):
    faiss.omp_set_num_threads(threads)
    blas = ctypes.CDLL("libopenblas.so.0")
    blas.openblas_set_num_threads(threads)
    if blas.openblas_get_num_threads() != threads:
        sys.exit("could not set the peer's BLAS threads to %d" % threads)


def progress(text):
    print("[faiss] " + text, file=sys.stderr, flush=True)


def kmeans(base, n_lists):
    """(seconds, trained clustering, the quantizer that holds its centroids)."""
    d = base.shape[1]
    cp = faiss.ClusteringParameters()
    cp.niter = ITERS
    cp.seed = SEED
    clustering = faiss.Clustering(d, n_lists, cp)
    quantizer = faiss.IndexFlatL2(d)
    seconds, _ = timed(lambda: clustering.train(base, quantizer))
    return seconds, clustering, quantizer


def trained_ivf(base, n_lists):
    # The rule of timing.best_of_calls, keeping the fastest call's iteration statistics too (the
    # seed is fixed: every call trains the same centroids).
    runs = [kmeans(base, n_lists)]
    if runs[0][0] < REPEAT_BELOW_S:
        runs += [kmeans(base, n_lists) for _ in range(KMEANS_CALLS - 1)]
    seconds, clustering, quantizer = min(runs, key=lambda run: run[0])
    stats = clustering.iteration_stats
    iterations = stats.size()
    # Cumulative times from the start of training: the first iteration, with the set-up before
    # it, is left out of the time per iteration.
    per_iter = (stats.at(iterations - 1).time - stats.at(0).time) / (iterations - 1)
    d = base.shape[1]
    ivf = faiss.IndexIVFFlat(quantizer, d, n_lists, faiss.METRIC_L2)
    if not ivf.is_trained:
        raise RuntimeError("an IndexIVFFlat on a trained quantizer of n_lists rows should be trained")
    ivf.quantizer_keepalive = quantizer
    return ivf, {"kmeans_s": seconds, "kmeans_samples": [run[0] for run in runs], "iterations": int(iterations),
                 "ms_per_iteration": 1e3 * per_iter,
                 "points": int(min(len(base), clustering.max_points_per_centroid * n_lists))}


def run_lists(base, queries, truth, n_lists, probes):
    out = {"n_lists": n_lists, "load_start": load_average()}
    snapshot = cpu_snapshot()
    progress("n_lists %d: training" % n_lists)
    ivf, out["train"] = trained_ivf(base, n_lists)
    seconds, _ = timed(lambda: ivf.add(base))
    out["ingest"] = {"items": len(base), "seconds": seconds, "items_per_s": len(base) / seconds}
    out["train"]["add_s"] = seconds
    out["train"]["total_s"] = out["train"]["kmeans_s"] + seconds
    list_sizes = np.array([ivf.invlists.list_size(i) for i in range(n_lists)])
    records = []
    for p in probes:
        progress("n_lists %d: n_probes %d" % (n_lists, p))
        ivf.nprobe = p
        seconds, samples, (_, ids) = best_of_calls(lambda: ivf.search(queries, fashion_mnist.TOP_K))
        # What makes the figure checkable: the vectors each query scans.
        probed = ivf.quantizer.search(queries, p)[1]
        records.append({"n_probes": p, "seconds": seconds, "samples": samples, "qps": len(queries) / seconds,
                        "recall": fashion_mnist.recall(ids, truth), "short_rows": int(np.sum((ids < 0).any(axis=1))),
                        "scanned_per_query": float(list_sizes[probed].sum(axis=1).mean())})
    out["queries"] = records
    out["load_end"] = load_average()
    out["others_cores"] = other_cores(snapshot, cpu_snapshot())
    return out


def check_build(avx2):
    loaded = "faiss.swigfaiss_avx2" in sys.modules
    if avx2 != loaded or (not avx2 and not faiss.__file__.startswith("/usr/lib/python3/")):
        sys.exit("faiss_side.py: wanted %s FAISS, loaded %s" % ("the AVX2" if avx2 else "Debian's generic",
                                                               faiss.__file__))


def main():
    check_build(sys.argv[6:] == ["avx2"])
    work_dir, threads, out_json = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    lists = [int(v) for v in sys.argv[4].split(",")]
    probes = [int(v) for v in sys.argv[5].split(",")]
    set_threads(threads)
    base, queries = fashion_mnist.load(work_dir)
    truth, _ = fashion_mnist.ground_truth(work_dir, base, queries)
    out = {"side": "faiss", "threads": threads, "version": faiss.__version__, "module": faiss.__file__,
           "load_start": load_average()}
    out["lists"] = [run_lists(base, queries, truth, n, probes) for n in lists]
    out["load_end"] = load_average()
    with open(out_json, "w") as f:
        json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
