"""The peer's side of the index benchmark: FAISS on the same data, lists, probes and threads.

Usage: faiss_peer.py DATA_DIR NAME THREADS OURS_JSON OUT_JSON [avx2]. Run with /usr/bin/python3 after
index_bench, whose JSON gives the parameters (lists, probes, top_k, rounds, batch, repetitions)
and whose files give the centroids it trained and its result ids. Writes one JSON record.

What it times, each against the figure of ours that run_bench.sh pairs it with:
- IndexFlatL2.add of every vector (our upsert before training) and a one-query exhaustive search;
- its own training: full-batch Lloyd iterations (Clustering, niter = our rounds, every vector a
  point) plus IndexIVFFlat.add, as our TrainIndex trains and re-files every item; the time per
  iteration from its iteration statistics, also on a sample of our batch size;
- IndexIVFFlat built on our centroids, so that both sides probe the same lists: add (our upsert
  after training), one-query latency (median), 1,000 queries in one call, and all queries for
  recall@10 and for agreement with our result ids; recall also on its own training.
With "avx2" (and PYTHONPATH bringing .deps/faiss-avx2, the build of bench/faiss/build_faiss_avx2.sh)
only the queries run, the exhaustive one included, and the AVX2 module must be the one loaded;
without it, Debian's generic python3-faiss must be.
"""
import ctypes
import json
import os
import statistics
import sys

import numpy as np
import faiss

# The clocks are the Python benchmark's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from timing import load_average, timed  # noqa: E402


def load(data_dir, name):
    with open(os.path.join(data_dir, name + "_shape.txt")) as f:
        n, d, nq, gt_k = (int(v) for v in f.read().split())
    x = np.fromfile(os.path.join(data_dir, name + "_base.f32"), dtype=np.float32).reshape(n, d)
    q = np.fromfile(os.path.join(data_dir, name + "_queries.f32"), dtype=np.float32).reshape(nq, d)
    gt = np.fromfile(os.path.join(data_dir, name + "_gt.i32"), dtype=np.int32).reshape(nq, gt_k)
    return x, q, gt


def set_threads(threads):
    faiss.omp_set_num_threads(threads)
    # Large searches and the k-means go through BLAS, whose own pool ignores OpenMP's count.
    try:
        ctypes.CDLL("libopenblas.so.0").openblas_set_num_threads(threads)
    except (OSError, AttributeError):
        pass


def sample(seconds):
    return {"median_ms": 1e3 * statistics.median(seconds), "mean_ms": 1e3 * statistics.mean(seconds),
            "min_ms": 1e3 * min(seconds), "reps": len(seconds)}


def recall(ids, gt, k):
    hits = sum(len(set(row[row >= 0]) & set(truth[:k])) for row, truth in zip(ids, gt))
    return hits / float(len(ids) * k)


def clustering(x, k, niter, max_points_per_centroid):
    """Trains k centroids; returns them, the wall time and the time per iteration."""
    cp = faiss.ClusteringParameters()
    cp.niter = niter
    cp.max_points_per_centroid = max_points_per_centroid
    clus = faiss.Clustering(x.shape[1], k, cp)
    seconds, _ = timed(lambda: clus.train(x, faiss.IndexFlatL2(x.shape[1])))
    stats = clus.iteration_stats
    # Cumulative times: the first iteration (with the set-up before it) is left out.
    per_iter = (stats.at(stats.size() - 1).time - stats.at(0).time) / (stats.size() - 1)
    centroids = faiss.vector_to_array(clus.centroids).reshape(k, x.shape[1])
    return centroids, seconds, per_iter, int(stats.size())


def ivf_on(centroids, x):
    quantizer = faiss.IndexFlatL2(x.shape[1])
    quantizer.add(centroids)
    ivf = faiss.IndexIVFFlat(quantizer, x.shape[1], len(centroids), faiss.METRIC_L2)
    if not ivf.is_trained:
        raise RuntimeError("an IndexIVFFlat on given centroids should need no training")
    seconds, _ = timed(lambda: ivf.add(x))
    ivf.quantizer_keepalive = quantizer
    return ivf, seconds


def query_rows(data_dir, name, threads, params, x, q, gt, singles, batch):
    """IndexIVFFlat on our centroids, so that it probes the lists ours probes: the seconds of each
    add, and one record per n_probes."""
    k_lists, top_k, d = params["n_lists"], params["top_k"], x.shape[1]
    centroids = np.fromfile(os.path.join(data_dir, name + "_centroids.f32"), dtype=np.float32).reshape(k_lists, d)
    adds = []
    for _ in range(params["upsert_reps"]):
        ivf, seconds = ivf_on(centroids, x)
        adds.append(seconds)
    list_sizes = np.array([ivf.invlists.list_size(i) for i in range(k_lists)])
    queries = []
    for p in params["n_probes"]:
        ivf.nprobe = p
        ivf.search(singles[0], top_k)
        single = [timed(lambda: ivf.search(s, top_k))[0] for s in singles]
        _, probed = ivf.quantizer.search(np.concatenate(singles), p)
        ivf.search(batch, top_k)
        batch_seconds = [timed(lambda: ivf.search(batch, top_k))[0] for _ in range(params["batch_reps"])]
        all_seconds, (_, ids) = timed(lambda: ivf.search(q, top_k))
        ours = np.fromfile(os.path.join(data_dir, "%s_ours_ids_p%d_t%d.i64" % (name, p, threads)),
                           dtype=np.int64).reshape(len(q), top_k)
        same = sum(len(set(a[a >= 0]) & set(b[b >= 0])) for a, b in zip(ids, ours)) / float(len(q) * top_k)
        queries.append({"n_probes": p, "single": sample(single), "batch": sample(batch_seconds),
                        "batch_qps": len(batch) / statistics.median(batch_seconds), "all_queries_ms": 1e3 * all_seconds,
                        "recall_at_10": recall(ids, gt, top_k), "agreement_with_ours": same,
                        "scanned_per_single_query": float(list_sizes[probed].sum(axis=1).mean())})
    return adds, queries


def check_build(avx2):
    loaded = "faiss.swigfaiss_avx2" in sys.modules
    if avx2 != loaded or (not avx2 and not faiss.__file__.startswith("/usr/lib/python3/")):
        sys.exit("faiss_peer.py: wanted %s FAISS, loaded %s (AVX2 module: %s)" % (
            "the AVX2" if avx2 else "Debian's generic", faiss.__file__, loaded))


def main():
    data_dir, name, threads, ours_json, out_json = sys.argv[1:6]
    avx2 = sys.argv[6:] == ["avx2"]
    check_build(avx2)
    threads = int(threads)
    with open(ours_json) as f:
        params = json.load(f)["params"]
    k_lists, top_k = params["n_lists"], params["top_k"]
    set_threads(threads)
    x, q, gt = load(data_dir, name)
    n, d = x.shape
    singles = [np.ascontiguousarray(q[i:i + 1]) for i in range(params["latency_queries"])]
    batch = np.ascontiguousarray(q[:params["batch_queries"]])
    out = {"threads": threads, "load_start": load_average(), "build": "avx2" if avx2 else "generic",
           "module": faiss.__file__}

    # Before training: a flat index stores the vectors; one query scans them all.
    adds = []
    for _ in range(1 if avx2 else params["upsert_reps"]):
        flat = faiss.IndexFlatL2(d)
        adds.append(timed(lambda: flat.add(x))[0])
    out["flat_add"] = sample(adds)
    out["flat_add_items_per_s"] = n / statistics.median(adds)
    flat.search(singles[0], top_k)
    reps = params["untrained_reps"]
    out["flat_query"] = sample([timed(lambda: flat.search(singles[i % len(singles)], top_k))[0] for i in range(reps)])
    del flat
    if avx2:
        out["queries"] = query_rows(data_dir, name, threads, params, x, q, gt, singles, batch)[1]
        out["load_end"] = load_average()
        with open(out_json, "w") as f:
            json.dump(out, f, indent=1)
        return

    # Its own training: full-batch Lloyd iterations, then the vectors filed into their lists.
    rounds = params["train_rounds"]
    own, train_seconds, per_iter, iters = clustering(x, k_lists, rounds, 1 << 20)
    own_ivf, own_add_seconds = ivf_on(own, x)
    out["train"] = {"kmeans_s": train_seconds, "add_s": own_add_seconds, "total_s": train_seconds + own_add_seconds,
                    "iterations": iters, "ms_per_iteration": 1e3 * per_iter}
    # The same iterations on a sample of our batch size (points per centroid = batch / lists).
    _, sample_seconds, sample_per_iter, _ = clustering(x, k_lists, rounds, params["train_batch"] // k_lists)
    out["train_sample"] = {"points": params["train_batch"], "kmeans_s": sample_seconds,
                           "ms_per_iteration": 1e3 * sample_per_iter}
    own_recall = {}
    for p in params["n_probes"]:
        own_ivf.nprobe = p
        own_recall[str(p)] = recall(own_ivf.search(q, top_k)[1], gt, top_k)
    out["own_training_recall_at_10"] = own_recall
    del own_ivf

    adds, out["queries"] = query_rows(data_dir, name, threads, params, x, q, gt, singles, batch)
    out["ivf_add"] = sample(adds)
    out["ivf_add_items_per_s"] = n / statistics.median(adds)
    out["load_end"] = load_average()
    with open(out_json, "w") as f:
        json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
