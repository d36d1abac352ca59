"""Arrays and lists reach the index in logical row-major order, whatever their memory layout."""

import numpy as np
import pytest

BASE = np.arange(48, dtype=np.float32).reshape(12, 4) / 7


@pytest.mark.parametrize("view", [
    lambda a: a[::2],                      # every second row
    lambda a: a[::-1],                     # rows reversed: negative strides
    lambda a: np.asfortranarray(a),        # column-major
    lambda a: a.T.copy().T,                # a transposed view of a column-major copy
    lambda a: a[:, ::-1],                  # columns reversed
    lambda a: np.ascontiguousarray(a.reshape(4, 12).T)[:, :4],  # rows from a wider array
    lambda a: a[3:4],                      # one row
], ids=["stepped", "reversed", "fortran", "transposed", "columns-reversed", "sliced-columns", "one-row"])
def test_upserted_views_store_their_logical_rows(index, view):
    vectors = view(BASE)
    ids = [f"r{k}" for k in range(len(vectors))]
    index.upsert(ids, vectors)
    stored = np.array([item["vector"] for item in index.get(ids, ["vector"])], dtype=np.float32)
    assert np.array_equal(stored, np.ascontiguousarray(vectors))


def test_query_views_give_the_results_of_contiguous_copies(index):
    index.upsert([f"r{k}" for k in range(len(BASE))], BASE)
    for view in (BASE[::3], BASE[::-2], np.asfortranarray(BASE[:5])):
        assert index.query(view, top_k=3) == index.query(np.ascontiguousarray(view), top_k=3)
    assert index.query(BASE[::-1][0], top_k=1)[0]["id"] == "r11"  # a 1-D view with its own offset


@pytest.mark.parametrize("rows, message", [
    ([[1, 2], [3]], "All vectors must have the same length: vector 1 has 1 values, vector 0 has 2."),
    ([[1, 2], [3, 4, 5]], "All vectors must have the same length: vector 1 has 3 values, vector 0 has 2."),
])
def test_rows_of_unequal_length(index, rows, message):
    with pytest.raises(ValueError) as caught:
        index.query(rows)
    assert str(caught.value) == message
    with pytest.raises(ValueError) as caught:
        index.upsert([{"id": str(k), "vector": row} for k, row in enumerate(rows)])
    assert str(caught.value) == message


def test_empty_shapes(index):
    with pytest.raises(ValueError, match="Vectors and IDs cannot be empty."):
        index.upsert([], np.zeros((0, 4), dtype=np.float32))
    with pytest.raises(ValueError, match=r"The dimension of the vectors provided \(0\)"):
        index.query(np.zeros(0, dtype=np.float32))  # a 1 x 0 matrix
    with pytest.raises(ValueError, match="Query vectors cannot be empty."):
        index.query(np.zeros((0, 4), dtype=np.float32))
