"""The whole road on each store kind: create, upsert, get, query, delete, train, reload, delete_index."""

import numpy as np
import pytest

from support import KEY, NOT_CONNECTED, make_client, make_index


def _items(rng, count, dimension):
    vectors = rng.random((count, dimension), dtype=np.float32)
    return [
        {"id": f"item-{i}", "vector": vectors[i].tolist(), "contents": f"text {i}".encode(),
         "metadata": {"group": i % 3, "name": f"n{i}"}}
        for i in range(count)
    ], vectors


def test_road_of_an_index(client, store_kind, rng):
    index = make_index(client, dimension=8, n_lists=4)
    items, vectors = _items(rng, 40, 8)
    index.upsert(items)
    index.upsert(["extra-0", "extra-1"], rng.random((2, 8), dtype=np.float32))

    got = index.get(["item-5", "missing", "item-1"])
    assert [g["id"] for g in got] == ["item-5", "item-1"]
    assert got[0]["contents"] == b"text 5" and got[0]["metadata"] == {"group": 2, "name": "n5"}
    assert np.array_equal(np.array(got[0]["vector"], dtype=np.float32), vectors[5])

    exhaustive = index.query(vectors[7], top_k=3)
    assert exhaustive[0]["id"] == "item-7" and exhaustive[0]["distance"] == 0.0
    filtered = index.query(vectors[7], top_k=50, filters={"group": {"$eq": 1}})
    assert sorted(r["id"] for r in filtered) == sorted(f"item-{i}" for i in range(40) if i % 3 == 1)

    index.delete(["item-7"])
    assert index.get(["item-7"]) == []

    index.train(batch_size=16, max_iters=5)
    assert index.is_trained()
    trained = index.query(vectors[8], top_k=1, n_probes=4)
    assert trained[0]["id"] == "item-8"
    assert index.get(["item-9"], ["contents", "metadata"]) == [
        {"id": "item-9", "contents": b"text 9", "metadata": {"group": 0, "name": "n9"}}]

    if store_kind != "memory":
        name = index.index_name()
        del index
        reopened = client.load_index(name, KEY)
        assert reopened.is_trained() and reopened.index_config()["n_lists"] == 4
        assert reopened.query(vectors[8], top_k=1, n_probes=4)[0]["id"] == "item-8"
        index = reopened

    index.delete_index()
    assert (index.is_trained(), index.index_name()) == (False, "")
    with pytest.raises(RuntimeError) as caught:
        index.get(["item-1"])
    assert str(caught.value) == NOT_CONNECTED


def test_redis_over_tls(rng):
    client = make_client("redis_tls")
    index = make_index(client, dimension=4)
    items, vectors = _items(rng, 5, 4)
    index.upsert(items)
    assert index.query(vectors[2], top_k=1)[0]["id"] == "item-2"
    name = index.index_name()
    del index
    assert client.load_index(name, KEY).get(["item-4"], ["metadata"])[0]["metadata"]["name"] == "n4"
