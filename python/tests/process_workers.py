"""Work done in child processes by test_processes.py: each function opens the index itself, as
another process of an application would (started with the "spawn" method, so it imports this
module afresh); forked_child_work alone runs in a forked child and also uses what it inherited."""

import time
import zlib

import numpy as np

import dodezero_vizu as dz

KEY = bytes(range(1, 33))
DIMENSION = 8


def client_of(stores):
    location, connection, tables = stores
    configs = [dz.DBConfig(location, table_name=t, connection_string=connection) for t in tables]
    return dz.Client(*configs, cpu_threads=2)


def vector_of(item_id, writer):
    """The vector writer `writer` gives item `item_id`: every writer's version differs."""
    seed = zlib.crc32(f"{item_id}/{writer}".encode())
    return np.random.default_rng(seed).random(DIMENSION, dtype=np.float32)


def version_of(item_id, writer):
    return {
        "id": item_id,
        "vector": vector_of(item_id, writer).tolist(),
        "metadata": {"writer": writer, "id": item_id},
        "contents": f"{item_id} by {writer}".encode(),
    }


def upsert_ids(stores, name, writer, ids, batch, order_seed=None):
    """Upserts writer `writer`'s version of `ids` in batches of `batch`."""
    index = client_of(stores).load_index(name, KEY)
    ids = list(ids)
    if order_seed is not None:
        np.random.default_rng(order_seed).shuffle(ids)
    for start in range(0, len(ids), batch):
        index.upsert([version_of(i, writer) for i in ids[start:start + batch]])


def upsert_and_delete(stores, name, new_ids, doomed):
    index = client_of(stores).load_index(name, KEY)
    index.upsert([version_of(i, 0) for i in new_ids])
    index.delete(list(doomed))


def train(stores, name):
    client_of(stores).load_index(name, KEY).train(batch_size=64, max_iters=5)


def upsert_forever(stores, name):
    """Upserts batches of new items, each under the writer lock, until the test kills it."""
    index = client_of(stores).load_index(name, KEY)
    # Built once: between two calls the lock is free only for a moment, so a kill finds it held.
    items = [version_of(f"long-{i}", 9) for i in range(200)]
    while True:
        index.upsert(items)


def answer_when_told(stores, name, role, cache, go, report):
    """Opens the index, says so, waits for `go`, then writes (role "writer") or queries once, and
    reports when its answer came (time.monotonic, comparable between processes)."""
    index = client_of(stores).load_index(name, KEY, max_cache_size=cache)
    report.put(("ready", role))
    go.wait()
    if role == "writer":
        index.upsert([version_of(f"after-{i}", 2) for i in range(50)])
    else:
        index.query(np.zeros(DIMENSION, np.float32), top_k=5)
    report.put(("answered", role, time.monotonic()))


def forked_child_work(stores, name, parents_index, parents_shared, log_path, report):
    """Run in a child forked after the parent ran parallel work: an inherited memory index, the
    parent's object of the shared index (whose connection is the parent's) and the shared index
    loaded afresh must answer as they would in the parent."""
    try:
        dz.Logger.instance().configure("warning", to_file=True, file_path=log_path)
        index, ids = parents_index
        extra = [version_of(f"child-{i}", 5) for i in range(300)]
        index.upsert(extra)
        probe = np.array(extra[7]["vector"], np.float32)
        nearest = index.query(probe, top_k=1)[0]["id"]
        trained_before = index.is_trained()
        index.train(batch_size=256, max_iters=5)
        batch = index.query(np.stack([np.array(vector_of(i, 3), np.float32) for i in ids[:20]]),
                            top_k=1, n_probes=1000)
        parents_shared.upsert([version_of(f"inherited-{i}", 6) for i in range(50)])
        shared = client_of(stores).load_index(name, KEY)
        shared.upsert([version_of(f"forked-{i}", 6) for i in range(150)])
        found = {h["id"] for h in shared.query(np.zeros(DIMENSION, np.float32), top_k=1000, n_probes=1000)}
        report.put({
            "nearest": nearest,
            "trained_before": trained_before,
            "batch": [hits[0]["id"] for hits in batch],
            "shared": sorted(found),
        })
    except BaseException as e:  # the parent asserts on what arrives
        report.put({"error": repr(e)})
