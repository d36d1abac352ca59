"""Our side of the Python benchmark: dodezero_vizu on Fashion-MNIST at one thread count.

Usage: ours_side.py WORK_DIR THREADS OUT_JSON LISTS PROBES, with LISTS and PROBES comma-separated
(e.g. 256,1024 and 1,4,16,64). Run with /usr/bin/python3, the module on PYTHONPATH and the data
made by bench_faiss.py in WORK_DIR. Writes one JSON record; progress goes to stderr. The module
writes notices of its own to stdout, which the driver keeps in a log.

Everything runs on the memory store, through the public API, with Client(cpu_threads=THREADS).
For each list count:
- a cold index (max_cache_size 0): the base upserted as (ids, float32 array) in batches of
  BATCH (ingest before training); k-means alone through train_and_serialize (0, EQUAL_ITERS and
  TRAIN_ROUNDS rounds of TRAIN_BATCH, nothing stored: the time per round is the difference of the
  last and the first over the rounds); train() with those defaults, timed as a user calls it
  (fetch and decrypt every item, k-means, re-file and re-encrypt every item); then the query batch
  at each n_probes, all queries in one query() call, top_k TOP_K, include=["distance"];
- a warm index (max_cache_size = n_lists), built and trained the same way, with one untimed pass
  before each timed one; there also the same call with top_k 1 estimates what turning the results
  into Python dicts costs (see conversion_estimate);
- ingest into a trained index: the centroids of the cold index's k-means, loaded with
  load_serialized_index, then the base upserted in batches (every item assigned to its list).
Every call is timed by timing.best_of_calls; train() cannot be repeated on one index, so the
record keeps the time of each index's. Once, on the first list count: the list-of-dicts form of
upsert for DICT_ITEMS items (building the dicts is not timed).
"""
import json
import sys

import numpy as np

import dodezero_vizu as dz
import fashion_mnist
from timing import KMEANS_CALLS, best_of_calls, cpu_snapshot, load_average, other_cores, timed

BATCH = 10000
TRAIN_BATCH, TRAIN_ROUNDS, EQUAL_ITERS = 2048, 100, 10  # train()'s defaults; FAISS's IVF niter
DICT_ITEMS = 10000
KEY = bytes(range(1, 33))
INCLUDE = ["distance"]


def progress(text):
    print("[ours] " + text, file=sys.stderr, flush=True)


def result_ids(results, k):
    """The hits' ids as a (queries, k) int64 array, -1 where a query got fewer than k; and the
    number of such queries."""
    ids = np.full((len(results), k), -1, dtype=np.int64)
    short = 0
    for row, hits in enumerate(results):
        short += len(hits) < k
        for col, hit in enumerate(hits[:k]):
            ids[row, col] = int(hit["id"])
    return ids, short


def upsert_batches(index, ids, base):
    seconds = 0.0
    for s in range(0, len(base), BATCH):
        seconds += timed(lambda: index.upsert(ids[s:s + BATCH], base[s:s + BATCH]))[0]
    return {"items": len(base), "batch": BATCH, "seconds": seconds, "items_per_s": len(base) / seconds}


def conversion_estimate(top10_s, top1_s):
    """Seconds the dicts of a top-10 answer cost, from the same call at top_k 10 and 1.

    A top-1 answer has a tenth of the dicts and nearly the same native work (the heaps are the only
    part that depends on top_k), so the difference is about nine tenths of the conversion. An
    estimate: it carries the noise of both calls, and counts the heaps' small share as conversion.
    """
    return max(0.0, (top10_s - top1_s) * 10.0 / 9.0)


def build(client, name, base, ids, n_lists, cache):
    index = client.create_index(name, KEY, dz.IndexIVFFlat(base.shape[1], n_lists, "euclidean"),
                                max_cache_size=cache)
    return index, upsert_batches(index, ids, base)


def query_record(index, queries, truth, n_probes, warm):
    ask = lambda k: index.query(queries, top_k=k, n_probes=n_probes, include=INCLUDE)  # noqa: E731
    if warm:
        ask(fashion_mnist.TOP_K)  # untimed: fills the cache with every list these queries probe
    seconds, samples, results = best_of_calls(lambda: ask(fashion_mnist.TOP_K))
    ids, short = result_ids(results, fashion_mnist.TOP_K)
    del results
    record = {"seconds": seconds, "samples": samples, "qps": len(queries) / seconds,
              "recall": fashion_mnist.recall(ids, truth), "short_rows": short}
    if warm:
        top1, _, answer = best_of_calls(lambda: ask(1))
        del answer
        conversion = conversion_estimate(seconds, top1)
        record.update({"top1_seconds": top1, "conversion_s": conversion,
                       "native_qps": len(queries) / max(seconds - conversion, 1e-9)})
    return record


def cold_index(client, base, ids, queries, truth, n_lists, probes, out, records):
    """Builds, times and queries the cold index, deletes it, and returns its k-means's trained bytes."""
    cold, out["ingest_untrained"] = build(client, "cold%d" % n_lists, base, ids, n_lists, 0)
    kmeans = {"batch": TRAIN_BATCH}
    serialized = None
    for rounds in (0, EQUAL_ITERS, TRAIN_ROUNDS):
        # The seeding alone is hundreds of short parallel steps, whose time swings with the load
        # by more than all the rounds take: the fastest calls keep those swings out of the difference.
        seconds, samples, serialized = best_of_calls(lambda: cold.train_and_serialize(
            base, batch_size=TRAIN_BATCH, max_iters=rounds, delete_index=False), KMEANS_CALLS)
        kmeans["rounds%d_s" % rounds] = seconds
        kmeans["rounds%d_samples" % rounds] = samples
    kmeans["ms_per_round"] = 1e3 * (kmeans["rounds%d_s" % TRAIN_ROUNDS] - kmeans["rounds0_s"]) / TRAIN_ROUNDS
    out["kmeans"] = kmeans

    seconds, _ = timed(lambda: cold.train(batch_size=TRAIN_BATCH, max_iters=TRAIN_ROUNDS))
    out["train"] = {"seconds": seconds, "batch": TRAIN_BATCH, "rounds": TRAIN_ROUNDS}
    # Probing every list with top_k = the base size must find every item once: the check that
    # training re-filed them all, which a short answer at few probes could otherwise hide.
    everything = cold.query(queries[:1], top_k=len(base), n_probes=n_lists, include=INCLUDE)[0]
    out["items_found_probing_all"] = len({hit["id"] for hit in everything})
    for p in probes:
        progress("n_lists %d: cold n_probes %d" % (n_lists, p))
        records[p]["cold"] = query_record(cold, queries, truth, p, False)
    cold.delete_index()
    return serialized


def warm_index(client, base, ids, queries, truth, n_lists, probes, out, records):
    warm, _ = build(client, "warm%d" % n_lists, base, ids, n_lists, n_lists)
    out["train"]["seconds_warm_index"] = timed(lambda: warm.train(batch_size=TRAIN_BATCH, max_iters=TRAIN_ROUNDS))[0]
    for p in probes:
        progress("n_lists %d: warm n_probes %d" % (n_lists, p))
        records[p]["warm"] = query_record(warm, queries, truth, p, True)
    warm.delete_index()


def run_lists(client, base, ids, queries, truth, n_lists, probes):
    out = {"n_lists": n_lists, "load_start": load_average()}
    snapshot = cpu_snapshot()
    records = {p: {"n_probes": p} for p in probes}
    progress("n_lists %d: cold index" % n_lists)
    serialized = cold_index(client, base, ids, queries, truth, n_lists, probes, out, records)
    progress("n_lists %d: warm index" % n_lists)
    warm_index(client, base, ids, queries, truth, n_lists, probes, out, records)
    out["queries"] = [records[p] for p in probes]

    progress("n_lists %d: ingest into a trained index" % n_lists)
    trained = client.load_serialized_index(serialized, KEY)
    if not trained.is_trained():
        raise RuntimeError("an index loaded from trained bytes should be trained")
    out["ingest_trained"] = upsert_batches(trained, ids, base)
    trained.delete_index()
    out["load_end"] = load_average()
    out["others_cores"] = other_cores(snapshot, cpu_snapshot())
    return out


def ingest_dicts(client, base, n_lists):
    items = [{"id": str(i), "vector": base[i].tolist()} for i in range(DICT_ITEMS)]
    index = client.create_index("dicts", KEY, dz.IndexIVFFlat(base.shape[1], n_lists, "euclidean"))
    seconds, _ = timed(lambda: index.upsert(items))
    index.delete_index()
    return {"items": DICT_ITEMS, "seconds": seconds, "items_per_s": DICT_ITEMS / seconds}


def main():
    work_dir, threads, out_json = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    lists = [int(v) for v in sys.argv[4].split(",")]
    probes = [int(v) for v in sys.argv[5].split(",")]
    base, queries = fashion_mnist.load(work_dir)
    truth, _ = fashion_mnist.ground_truth(work_dir, base, queries)
    ids = [str(i) for i in range(len(base))]
    memory = dz.DBConfig("memory")
    client = dz.Client(memory, memory, memory, cpu_threads=threads)
    out = {"side": "ours", "threads": threads, "base_items": len(base), "load_start": load_average()}
    out["ingest_dicts"] = ingest_dicts(client, base, lists[0])
    out["lists"] = [run_lists(client, base, ids, queries, truth, n, probes) for n in lists]
    out["load_end"] = load_average()
    with open(out_json, "w") as f:
        json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
