"""Work done in child processes by test_processes.py: each function opens the index itself, as
another process of an application would (started with the "spawn" method, so it imports this
module afresh)."""

import zlib

import numpy as np

import dodezero_vizu as dz

KEY = bytes(range(1, 33))
DIMENSION = 8


def client_of(spec):
    location, connection, tables = spec
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


def upsert_ids(spec, name, writer, ids, batch, order_seed=None):
    """Upserts writer `writer`'s version of `ids` in batches of `batch`."""
    index = client_of(spec).load_index(name, KEY)
    ids = list(ids)
    if order_seed is not None:
        np.random.default_rng(order_seed).shuffle(ids)
    for start in range(0, len(ids), batch):
        index.upsert([version_of(i, writer) for i in ids[start:start + batch]])


def upsert_and_delete(spec, name, new_ids, doomed):
    index = client_of(spec).load_index(name, KEY)
    index.upsert([version_of(i, 0) for i in new_ids])
    index.delete(list(doomed))


def train(spec, name):
    client_of(spec).load_index(name, KEY).train(batch_size=64, max_iters=5)


def upsert_forever(spec, name):
    """Upserts batches of new items, each under the writer lock, until the test kills it."""
    index = client_of(spec).load_index(name, KEY)
    batch = 0
    while True:
        index.upsert([version_of(f"long-{batch}-{i}", 9) for i in range(200)])
        batch += 1
