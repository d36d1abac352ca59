"""The FAISS side of the cold query benchmark: IndexIVFFlat on the lists cold_query_bench trained.

Usage: faiss_cold.py DATA_DIR NAME THREADS OURS_JSON OUT_JSON BUILD. Run with /usr/bin/python3
after cold_query_bench, whose record gives the list counts, probes and query counts, and whose
files give the centroids (NAME_L<lists>_centroids.f32) and result ids. BUILD names the FAISS that
PYTHONPATH brings: "avx2" must load the AVX2 module of .deps/faiss-avx2, "generic" Debian's
python3-faiss; anything else loaded is refused, so a figure never belongs to the wrong peer.

For each list count: an IndexIVFFlat on our centroids (both sides probe the same lists), add() of
the base, then per n_probes the same one-query calls as ours (search of one row; the median
latency), the same batch (three calls, the median), its recall@10 and the share of its result ids
equal to ours. Its search needs no cache: one figure serves our cold and warm rows alike.
"""
import json
import os
import statistics
import sys
import time

import numpy as np
import faiss

from faiss_peer import set_threads  # noqa: E402  (the same FAISS module: one import per process)

TOP_K = 10


def check_build(build):
    avx2 = "faiss.swigfaiss_avx2" in sys.modules
    debian = faiss.__file__.startswith("/usr/lib/python3/")
    if build == "avx2" and not avx2:
        sys.exit("faiss_cold.py: asked for the AVX2 build, loaded %s without it" % faiss.__file__)
    if build == "generic" and (avx2 or not debian):
        sys.exit("faiss_cold.py: asked for Debian's generic build, loaded %s" % faiss.__file__)
    return {"build": build, "module": faiss.__file__, "avx2": avx2, "version": faiss.__version__}


def times(seconds):
    return {"median_ms": 1e3 * statistics.median(seconds), "min_ms": 1e3 * min(seconds),
            "mean_ms": 1e3 * statistics.mean(seconds), "calls": len(seconds)}


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def recall(ids, gt):
    hits = sum(len(set(row[row >= 0].tolist()) & set(truth[:TOP_K].tolist())) for row, truth in zip(ids, gt))
    return hits / float(len(ids) * TOP_K)


def main():
    data_dir, name, threads, ours_json, out_json, build = sys.argv[1:7]
    threads = int(threads)
    out = {"side": "faiss", "threads": threads, **check_build(build)}
    set_threads(threads)
    with open(ours_json) as f:
        ours = json.load(f)
    with open(os.path.join(data_dir, name + "_shape.txt")) as f:
        n, d, nq, gt_k = (int(v) for v in f.read().split())
    base = np.fromfile(os.path.join(data_dir, name + "_base.f32"), dtype=np.float32).reshape(n, d)
    queries = np.fromfile(os.path.join(data_dir, name + "_queries.f32"), dtype=np.float32).reshape(nq, d)
    gt = np.fromfile(os.path.join(data_dir, name + "_gt.i32"), dtype=np.int32).reshape(nq, gt_k)
    singles, batch = ours["single_queries"], ours["batch_queries"]
    out["lists"] = []
    for part in ours["lists"]:
        n_lists = part["n_lists"]
        centroids = np.fromfile(os.path.join(data_dir, "%s_L%d_centroids.f32" % (name, n_lists)),
                                dtype=np.float32).reshape(n_lists, d)
        quantizer = faiss.IndexFlatL2(d)
        quantizer.add(centroids)
        ivf = faiss.IndexIVFFlat(quantizer, d, n_lists, faiss.METRIC_L2)
        ivf.add(base)
        rows = []
        for row in part["rows"]:
            p = row["n_probes"]
            ivf.nprobe = p
            print("[faiss_cold %s] %s L%d t%d p%d" % (build, name, n_lists, threads, p), file=sys.stderr, flush=True)
            single = [timed(lambda: ivf.search(queries[i:i + 1], TOP_K))[0] for i in range(singles)]
            record = {"n_probes": p, "single": times(single)}
            if "batch_cold" in row:
                calls = [timed(lambda: ivf.search(queries[:batch], TOP_K)) for _ in range(3)]
                ids = calls[0][1][1]
                ours_ids = np.fromfile(os.path.join(data_dir, "%s_L%d_p%d_t%d_ids.i64" % (name, n_lists, p, threads)),
                                       dtype=np.int64).reshape(batch, TOP_K)
                record.update({"batch": times([c[0] for c in calls]), "recall_at_10": recall(ids, gt[:batch]),
                               "ids_in_common": float(np.mean([len(set(a) & set(b)) / TOP_K
                                                               for a, b in zip(ids.tolist(), ours_ids.tolist())]))})
            rows.append(record)
        out["lists"].append({"n_lists": n_lists, "rows": rows})
    with open(out_json, "w") as f:
        json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
