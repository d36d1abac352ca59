#!/usr/bin/env python3
"""A short tour of dodezero_vizu on the in-process memory store.

Creates an encrypted index, upserts 10,000 vectors with metadata, queries it with and without a
metadata filter before and after training, and prints a few results and the recall@10 of each
query batch against an exact brute-force search.
"""
import secrets
import time

import numpy as np

import dodezero_vizu as dz

N, DIM, LISTS, QUERIES, TOP_K = 10_000, 64, 64, 200, 10
COLORS = ["red", "green", "blue"]

rng = np.random.default_rng(7)
centres = rng.normal(scale=4.0, size=(LISTS, DIM))
vectors = (centres[rng.integers(0, LISTS, N)] + rng.normal(size=(N, DIM))).astype(np.float32)
queries = (vectors[rng.choice(N, QUERIES, replace=False)] + rng.normal(scale=0.5, size=(QUERIES, DIM))).astype(
    np.float32)
colors = np.array([COLORS[i % 3] for i in range(N)])
prices = np.arange(N) % 100


def exact_top_k(qs, allowed):
    """Ids of the TOP_K nearest allowed items of each query, by Euclidean distance."""
    rows = np.flatnonzero(allowed)
    d2 = (qs ** 2).sum(1)[:, None] - 2 * qs @ vectors[rows].T + (vectors[rows] ** 2).sum(1)[None, :]
    nearest = np.argsort(d2, axis=1)[:, :TOP_K]
    return [{f"doc-{rows[j]}" for j in row} for row in nearest]


def recall(results, truth):
    found = sum(len({hit["id"] for hit in hits} & want) for hits, want in zip(results, truth))
    return found / sum(len(want) for want in truth)


def run(label, **query_args):
    # The fastest of three calls: the first one also pays for the memory its buffers take.
    elapsed = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        results = index.query(queries, top_k=TOP_K, **query_args)
        elapsed = min(elapsed, time.perf_counter() - start)
    allowed = np.ones(N, bool)
    if "filters" in query_args:
        allowed = (colors == "red") & (prices < 50)
    print(f"  {label:<44} {QUERIES / elapsed:9.0f} queries/s   recall@{TOP_K} {recall(results, exact_top_k(queries, allowed)):.3f}")
    return results


memory = dz.DBConfig("memory")
client = dz.Client(memory, memory, memory)
index_key = list(secrets.token_bytes(32))  # keep it safe: nothing can be read back without it
index = client.create_index("quickstart", index_key, dz.IndexIVFFlat(DIM, LISTS, "euclidean"))

items = [{"id": f"doc-{i}", "vector": vectors[i].tolist(),
          "metadata": {"color": str(colors[i]), "price": int(prices[i])}} for i in range(N)]
start = time.perf_counter()
index.upsert(items)
print(f"Upserted {N} items of dimension {DIM} in {time.perf_counter() - start:.2f} s")
print(index.get(["doc-42"], include=["metadata"]))

red_and_cheap = {"$and": [{"color": "red"}, {"price": {"$lt": 50}}]}
print("Before training (every query is an exhaustive encrypted search):")
run("no filter")
run("filter: red and price < 50", filters=red_and_cheap)

start = time.perf_counter()
index.train(max_iters=50)
print(f"Trained {LISTS} lists in {time.perf_counter() - start:.2f} s; is_trained() = {index.is_trained()}")
print("After training (each query probes its nearest lists):")
run("n_probes 1", n_probes=1)
run("n_probes 8", n_probes=8)
results = run("n_probes 8, greedy", n_probes=8, greedy=True)
run("n_probes 8, filter: red and price < 50", n_probes=8, filters=red_and_cheap)

print("Nearest three of the first query:")
for hit in results[0][:3]:
    print(f"  {hit['id']:<10} distance {hit['distance']:.3f}  metadata {hit['metadata']}")
