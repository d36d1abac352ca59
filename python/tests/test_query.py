"""EncryptedIndex.query: accepted forms and result shapes, include, filters, and the error of each stage."""

import numpy as np
import pytest

from support import make_index

N, D = 24, 4


@pytest.fixture
def data(rng):
    return rng.random((N, D), dtype=np.float32)


@pytest.fixture
def filled(index, data):
    index.upsert([{"id": f"i{k}", "vector": data[k].tolist(), "metadata": {"group": k % 3, "name": f"n{k}"}}
                  for k in range(N)])
    return index


def brute_force(data, query, metric):
    if metric == "cosine":
        distances = 1 - data @ query / (np.linalg.norm(data, axis=1) * np.linalg.norm(query))
    else:
        distances = ((data - query) ** 2).sum(axis=1)
        if metric == "euclidean":
            distances = np.sqrt(distances)
    order = np.argsort(distances, kind="stable")
    return [f"i{k}" for k in order], distances[order]


@pytest.mark.parametrize("metric", ["euclidean", "squared_euclidean", "cosine"])
def test_exhaustive_results_match_brute_force(memory_client, data, metric):
    index = make_index(memory_client, metric=metric)
    index.upsert([f"i{k}" for k in range(N)], data)
    results = index.query(data[:3], top_k=5)
    for q, found in enumerate(results):
        ids, distances = brute_force(data, data[q], metric)
        assert [r["id"] for r in found] == ids[:5]
        assert np.allclose([r["distance"] for r in found], distances[:5], atol=1e-5)
        assert all(type(r["distance"]) is float and r["metadata"] == {} for r in found)


def test_trained_results_probing_every_list_match_brute_force(filled, data):
    filled.train(batch_size=8, max_iters=5)
    found = filled.query(data[5], top_k=4, n_probes=2)
    assert [r["id"] for r in found] == brute_force(data, data[5], "euclidean")[0][:4]
    assert filled.query(data[5], top_k=4, n_probes=0) == []


@pytest.mark.parametrize("query, shape", [
    (lambda d: d[0], "single"),
    (lambda d: d[:1], "multi"),
    (lambda d: d[:2], "multi"),
    (lambda d: [d[0].tolist()], "single"),
    (lambda d: [d[0].tolist(), d[1].tolist()], "multi"),
    (lambda d: [tuple(d[0]), d[1]], "multi"),  # any sequence of numbers is a row
])
def test_result_shapes(filled, data, query, shape):
    results = filled.query(query(data), top_k=2)
    rows = [results] if shape == "single" else results
    assert all(isinstance(row, list) and len(row) == 2 for row in rows)
    assert all(list(r) == ["id", "distance", "metadata"] for row in rows for r in row)
    assert rows[0][0]["id"] == "i0"


@pytest.mark.parametrize("arguments, exception, message", [
    ({}, ValueError, "Provide at least one: query_vector or query_contents."),
    ({"query_vector": []}, ValueError, "Query vectors cannot be empty."),
    ({"query_vector": [[]]}, ValueError,
     "The dimension of the vectors provided (0) doesn't match the index configuration (4)."),
    ({"query_vector": np.zeros(3, dtype=np.float32)}, ValueError,
     "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
    ({"query_vector": np.zeros(4)}, ValueError, "query_vector must be a 1D or 2D NumPy array or List[List[float]]."),
    ({"query_vector": ([0.0] * 4,)}, ValueError, "query_vector must be a 1D or 2D NumPy array or List[List[float]]."),
    ({"query_vector": "abcd"}, ValueError, "query_vector must be a 1D or 2D NumPy array or List[List[float]]."),
    ({"query_vector": np.zeros((1, 1, 4), dtype=np.float32)}, TypeError,
     "query_vector must be a 1D or 2D NumPy array."),
    ({"query_vector": np.float32(1)}, ValueError,
     "query_vector must be a 1D or 2D NumPy array or List[List[float]]."),
    ({"query_vector": [[0.0] * 4, [0.0] * 3]}, ValueError,
     "All vectors must have the same length: vector 1 has 3 values, vector 0 has 4."),
    ({"query_vector": [0.0] * 4}, RuntimeError, None),  # a flat list: its items are not sequences
    ({"query_vector": [[0.0] * 4, None]}, RuntimeError, None),
    ({"query_vector": [[0.0] * 4], "top_k": -1}, TypeError, None),
    ({"query_vector": [[0.0] * 4], "include": "distance"}, TypeError, None),
])
def test_refusals(filled, arguments, exception, message):
    with pytest.raises(exception) as caught:
        filled.query(**arguments)
    if message is not None:
        assert str(caught.value) == message


def test_query_contents_is_ignored_when_a_vector_is_given(filled, data):
    assert filled.query(data[0], query_contents=5, top_k=1)[0]["id"] == "i0"


@pytest.mark.parametrize("include, with_metadata", [
    (["distance", "metadata"], True),
    (["metadata"], True),
    (["metadata", "distance", "metadata"], True),
    (["distance"], False),
    ([], False),
    (["Metadata", "vector"], False),
])
def test_include(filled, data, include, with_metadata):
    found = filled.query(data[4], top_k=3, include=include)
    assert [list(r) for r in found] == [["id", "distance", "metadata"]] * 3
    assert found[0]["distance"] == 0.0
    assert found[0]["metadata"] == ({"group": 1, "name": "n4"} if with_metadata else {})


@pytest.mark.parametrize("trained", [False, True])
def test_filters(filled, data, trained):
    if trained:
        filled.train(batch_size=8, max_iters=5)
    filters = {"group": {"$eq": 2}}
    found = filled.query(data[0], top_k=N, n_probes=2, filters=filters)
    assert sorted(r["id"] for r in found) == sorted(f"i{k}" for k in range(N) if k % 3 == 2)
    assert filters == {"group": {"$eq": 2}}
    assert filled.query(data[:2], top_k=5, n_probes=2, filters={"group": {"$gt": 10}}) == [[], []]
    assert filled.query(data[0], top_k=5, n_probes=2, filters={"$or": []}) == []


@pytest.mark.parametrize("trained", [False, True])
@pytest.mark.parametrize("filters", [
    {"group": {"$foo": 1}},
    {"name": {"$regex": "("}},
    {"group": {"$exists": 1}},
    {"$and": 5},
    {"$not": 3},
    {"group": {"$type": "null"}},
    {"name": {"$regex": 5}},
])
def test_filter_errors_are_value_errors_on_both_paths(filled, data, trained, filters):
    if trained:
        filled.train(batch_size=8, max_iters=5)
    with pytest.raises(ValueError):
        filled.query(data[0], n_probes=2, filters=filters)


def test_filters_that_are_not_json(filled, data):
    for filters, failure in (({"group": {"$in": {1, 2}}}, "TypeError: Object of type set is not JSON serializable"),
                             ({"group": {"$eq": object()}}, "TypeError: Object of type object is not JSON serializable")):
        with pytest.raises(ValueError) as caught:
            filled.query(data[0], filters=filters)
        assert str(caught.value) == "Failed to serialize filters to JSON: " + failure


def test_top_k(filled, data):
    assert filled.query(data[0], top_k=0) == []
    assert filled.query(data[:2], top_k=0) == [[], []]
    assert len(filled.query(data[0], top_k=1000)) == N
