"""EncryptedIndex.upsert: both calling forms, what reaches the index, and every failure as ValueError."""

import collections.abc
import json

import numpy as np
import pytest

V = [1.0, 2.0, 3.0, 4.0]
F32 = np.arange(8, dtype=np.float32).reshape(2, 4)

BAD_ITEM_LIST = "Invalid arguments. Expected a list of dicts when passing a single argument."
BAD_PAIR = ("Invalid argument types. Expected a list of dicts for single arg mode, (list[str], float32 np.ndarray) "
            "or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.")
NO_MODEL = ("Index was not set up for automatic embedding generation. Provide `vector` explicitly or create a new "
            "index with an embedding model.")


def stored_ids(index, ids):
    return [item["id"] for item in index.get(ids, [])]


@pytest.mark.parametrize("items, message", [
    ([], BAD_ITEM_LIST),
    ("abc", BAD_ITEM_LIST),
    (None, BAD_ITEM_LIST),
    (({"id": "a", "vector": V},), BAD_ITEM_LIST),
    ([[("id", "a"), ("vector", V)]], BAD_ITEM_LIST),
    ([{"vector": V}], "Each dictionary must contain an 'id' key."),
    ([{"id": "a", "contents": b"bytes"}], "'contents' must be of `str` type for auto-embedding."),
    ([{"id": "a", "vector": V, "contents": bytearray(b"x")}], "'contents' must be of type `bytes` or `str`."),
    ([{"id": "a", "vector": V, "contents": 5}], "'contents' must be of type `bytes` or `str`."),
    ([{"id": "a"}], "Item at index 0 is missing both 'vector' and 'contents' fields."),
    ([{"id": "a", "vector": V}, [("id", "b")]], "Item at index 1 is missing both 'vector' and 'contents' fields."),
    ([{"id": "a", "contents": "text"}], NO_MODEL),
    # The first pass over the items reports its failure before any vector is converted.
    ([{"id": "a", "vector": None}, {"vector": V}], "Each dictionary must contain an 'id' key."),
    ([{"id": "a", "vector": [1, 2, 3]}],
     "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
    ([{"id": "a", "vector": V}, {"id": "a2", "vector": V}, {"id": "b", "vector": [1, 2]}],
     "All vectors must have the same length: vector 2 has 2 values, vector 0 has 4."),
    ([{"id": b"\xff\xfe", "vector": V}], "Item id at index 0 is not valid UTF-8."),
    ([{"id": "a", "vector": V}, {"id": bytearray(b"\xc3"), "vector": V}], "Item id at index 1 is not valid UTF-8."),
    # Metadata that JSON cannot hold: Python's own error, without the traceback of json's frames.
    ([{"id": "a", "vector": V, "metadata": {"x": float("nan")}}],
     "ValueError: Out of range float values are not JSON compliant"),
    ([{"id": "a", "vector": V, "metadata": {"x": [float("inf")]}}],
     "ValueError: Out of range float values are not JSON compliant"),
    ([{"id": "a", "vector": V, "metadata": {"x": b"\x00"}}], "TypeError: Object of type bytes is not JSON serializable"),
])
def test_list_form_refusals(index, items, message):
    with pytest.raises(ValueError) as caught:
        index.upsert(items)
    assert str(caught.value) == message
    assert stored_ids(index, ["a", "a2", "b"]) == []


@pytest.mark.parametrize("items", [
    [{"id": "a", "vector": None}],
    [{"id": "a", "vector": "abcd"}],
    [{"id": "a", "vector": [1, 2, "3", 4]}],
    [{"id": 5, "vector": V}],
    [{"id": "a", "vector": V, "metadata": [1, 2]}],
    [{"id": "a", "vector": V, "metadata": {"x": {1, 2}}}],
    [{"id": "a", "vector": V}, 3],
])
def test_conversion_failures_are_value_errors(index, items):
    with pytest.raises(ValueError):
        index.upsert(items)
    assert stored_ids(index, ["a"]) == []


def test_item_fields_reach_the_index(index):
    metadata = {"b": 1, "a": {"nested": [1, "x", None, True]}, "c": "é"}
    index.upsert([
        {"id": "plain", "vector": V},
        {"id": "bytes", "vector": (0, 0, 0, 1), "contents": b"\x00raw\xff\x00", "metadata": None},
        {"id": "text", "vector": np.array(V, dtype=np.float64), "contents": "héllo", "metadata": metadata},
        {"id": b"byte-id", "vector": V, "metadata": [("k", "v")], "ignored": object()},
    ])
    got = {item["id"]: item for item in index.get(["plain", "bytes", "text", "byte-id"])}
    assert got["plain"] == {"id": "plain", "vector": V, "contents": b"", "metadata": {}}
    assert got["bytes"]["contents"] == b"\x00raw\xff\x00" and got["bytes"]["metadata"] == {}
    assert got["text"]["contents"] == "héllo".encode()
    # The stored text is json.dumps' own (default separators, caller's key order).
    assert json.dumps(got["text"]["metadata"]) == json.dumps(metadata)
    assert list(got["text"]["metadata"]) == ["b", "a", "c"]
    assert got["byte-id"]["metadata"] == {"k": "v"}


def test_upsert_overwrites(index):
    index.upsert([{"id": "a", "vector": V, "contents": b"old", "metadata": {"v": 1}}])
    index.upsert([{"id": "a", "vector": [4, 3, 2, 1]}])
    assert index.get(["a"]) == [{"id": "a", "vector": [4.0, 3.0, 2.0, 1.0], "contents": b"", "metadata": {}}]


@pytest.mark.parametrize("ids, vectors, message", [
    (["a"], [V], "Second argument must be a numpy array for vectors."),
    (["a"], np.zeros((1, 4)), "vectors must be float32."),
    (["a"], np.zeros((1, 4), dtype=np.int32), "vectors must be float32."),
    (["a"], np.zeros((1, 4), dtype=">f4"), "vectors must be float32."),
    (np.array([["a"]]), np.zeros((1, 4), dtype=np.float32), "ids array must be 1D."),
    ("a", np.zeros((1, 4), dtype=np.float32), BAD_PAIR),
    (("a",), np.zeros((1, 4), dtype=np.float32), BAD_PAIR),
    (None, np.zeros((1, 4), dtype=np.float32), BAD_PAIR),
    (["a"], np.zeros(4, dtype=np.float32), "Expected a 2D array."),
    (["a"], np.zeros((1, 1, 4), dtype=np.float32), "Expected a 2D array."),
    (["a", "b", "c"], F32, "Mismatch between the number of vectors and IDs."),
    ([], np.zeros((0, 4), dtype=np.float32), "Vectors and IDs cannot be empty."),
    (["a"], np.zeros((1, 3), dtype=np.float32),
     "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
    (["a", b"\xe2\x82"], F32, "Item id at index 1 is not valid UTF-8."),
])
def test_pair_form_refusals(index, ids, vectors, message):
    with pytest.raises(ValueError) as caught:
        index.upsert(ids, vectors)
    assert str(caught.value) == message


def test_pair_form_id_caster_refusal(index):
    with pytest.raises(ValueError):
        index.upsert(["a", 5], F32)


def test_pair_form_ids(index):
    index.upsert(["s", b"b"], F32)
    index.upsert(np.array([7, 42], dtype=np.int64), F32 + 1)
    index.upsert(np.array(["x", "y"]), F32 + 2)
    got = index.get(["s", "b", "7", "42", "x", "y"], ["vector", "contents", "metadata"])
    assert [item["id"] for item in got] == ["s", "b", "7", "42", "x", "y"]
    assert got[3] == {"id": "42", "vector": (F32[1] + 1).tolist(), "contents": b"", "metadata": {}}


def test_caller_code_changing_the_list_is_harmless(index):
    """Converting an item runs the caller's code; it may empty or refill the caller's list, but the
    upsert works on the items as they were when it was called."""
    items = []

    class Shifty(collections.abc.Mapping):
        def __init__(self, data):
            self.data = data

        def __getitem__(self, key):
            items[:] = [{"no": "id"}] * 5
            return self.data[key]

        def __iter__(self):
            items.clear()
            return iter(self.data)

        def __len__(self):
            return len(self.data)

    class ShiftyVector(list):
        def __getitem__(self, position):
            items.clear()
            return super().__getitem__(position)

    items.extend([{"id": "a", "vector": V}, Shifty({"id": "b", "vector": V}), {"id": "c", "vector": ShiftyVector(V)},
                  {"id": "d", "vector": V}])
    index.upsert(items)
    assert stored_ids(index, ["a", "b", "c", "d"]) == ["a", "b", "c", "d"]
