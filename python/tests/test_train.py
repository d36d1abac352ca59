"""train and train_and_serialize, and loading the serialized bytes."""

import numpy as np
import pytest

import dodezero_vizu as dz
from support import KEY, make_index


@pytest.fixture
def vectors(rng):
    return rng.random((12, 4), dtype=np.float32)


def test_too_few_vectors_leave_the_index_untrained(memory_client, vectors):
    index = make_index(memory_client, n_lists=4)
    index.upsert([str(i) for i in range(3)], vectors[:3])
    with pytest.raises(ValueError) as caught:
        index.train()
    assert str(caught.value) == ("Number of embeddings is less than the number of clusters. Please ingest more "
                                 "data before training.")
    assert not index.is_trained()
    index.upsert(["3"], vectors[3:4])
    index.train(batch_size=4, max_iters=3, tolerance=0, max_memory=1)  # exactly n_lists vectors suffice
    assert index.is_trained()


def test_training_keeps_every_item(memory_client, vectors):
    index = make_index(memory_client, n_lists=3)
    ids = [f"id{i}" for i in range(len(vectors))]
    index.upsert([{"id": i, "vector": v.tolist(), "contents": i.encode(), "metadata": {"i": i}}
                  for i, v in zip(ids, vectors)])
    index.train()
    assert index.is_trained()
    got = index.get(ids)
    assert [g["id"] for g in got] == ids
    assert all(g["contents"] == g["id"].encode() and g["metadata"] == {"i": g["id"]} for g in got)
    results = index.query(vectors, top_k=1, n_probes=3)
    assert [r[0]["id"] for r in results] == ids
    with pytest.raises(RuntimeError) as caught:
        index.train()
    assert str(caught.value) == "Index has already been trained."


@pytest.mark.parametrize("arguments", [{"batch_size": -1}, {"max_iters": 1.5}, {"tolerance": "x"}])
def test_train_arguments_that_do_not_convert(index, arguments):
    with pytest.raises(TypeError):
        index.train(**arguments)


@pytest.mark.parametrize("training", [
    lambda v: v,
    lambda v: v.astype(np.float64),  # cast to float32 by the argument conversion
    lambda v: v.tolist(),
    lambda v: np.asfortranarray(v),
])
def test_train_and_serialize_loads_back(memory_client, vectors, training):
    index = make_index(memory_client, n_lists=3, name="serialized")
    serialized = index.train_and_serialize(training(vectors), max_iters=2)
    assert type(serialized) is bytes
    loaded = memory_client.load_serialized_index(serialized, KEY)
    assert loaded.is_trained() and loaded.index_name() == "serialized"
    assert loaded.index_config() == {"dimension": 4, "metric": "euclidean", "index_type": "ivfflat", "n_lists": 3,
                                     "pq_dim": 0, "pq_bits": 0}
    loaded.upsert(["x"], vectors[:1])
    assert loaded.query(vectors[0], top_k=1, n_probes=3)[0]["id"] == "x"


def test_train_and_serialize_keeps_or_deletes_the_index(memory_client, vectors):
    kept = make_index(memory_client, n_lists=2)
    kept.upsert(["a"], vectors[:1])
    kept.train_and_serialize(vectors, delete_index=False)
    assert not kept.is_trained()  # the trained configuration lives only in the bytes
    assert [g["id"] for g in kept.get(["a"], [])] == ["a"]

    deleted = make_index(memory_client, n_lists=2)
    deleted.upsert(["a"], vectors[:1])
    deleted.train_and_serialize(vectors)
    assert deleted.index_name() == ""
    with pytest.raises(RuntimeError):
        deleted.get(["a"])  # the stored data went with the index


@pytest.mark.parametrize("vectors, exception, message", [
    (np.zeros(4, dtype=np.float32), RuntimeError, "Expected a 2D array."),
    (np.zeros((2, 2, 4), dtype=np.float32), RuntimeError, "Expected a 2D array."),
    (np.zeros((4, 3), dtype=np.float32), ValueError,
     "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
    (np.zeros((1, 4), dtype=np.float32), ValueError,
     "Number of embeddings is less than the number of clusters. Please ingest more data before training."),
    (np.full((4, 4), np.nan, dtype=np.float32), ValueError, "Training vectors must not hold NaN or infinity."),
])
def test_train_and_serialize_refusals(index, vectors, exception, message):
    with pytest.raises(exception) as caught:
        index.train_and_serialize(vectors)
    assert str(caught.value) == message
    assert not index.is_trained()


def test_train_and_serialize_refuses_what_is_not_numbers(index):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        index.train_and_serialize([["a", "b"]])


def test_serialized_index_needs_memory_locations(memory_client, vectors):
    serialized = make_index(memory_client).train_and_serialize(vectors)
    other = dz.Client(dz.DBConfig("memory"), dz.DBConfig("redis", "t", "host:127.0.0.1,port:1,db:0"),
                      dz.DBConfig("memory"))
    with pytest.raises(ValueError, match="All locations must be of type Memory"):
        other.load_serialized_index(serialized, KEY)
