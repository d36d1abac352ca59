"""get, delete, delete_index and the accessors, including what each member does on a deleted index."""

import numpy as np
import pytest

import dodezero_vizu as dz
from support import NOT_CONNECTED, make_index

V = [1.0, 2.0, 3.0, 4.0]


@pytest.fixture
def filled(index):
    index.upsert([
        {"id": "a", "vector": V, "contents": b"A", "metadata": {"k": 1}},
        {"id": "b", "vector": [4, 3, 2, 1]},
        {"id": "c", "vector": [0, 0, 0, 1], "contents": "C"},
    ])
    return index


@pytest.mark.parametrize("include, keys", [
    (["vector", "contents", "metadata"], ["id", "vector", "contents", "metadata"]),
    (["metadata", "id"], ["id", "metadata"]),
    (["contents", "vector"], ["id", "contents", "vector"]),
    ([], ["id"]),
    (["Vector", "ids", "distance"], ["id"]),
    (["metadata", "metadata"], ["id", "metadata"]),
    (("vector",), ["id", "vector"]),
])
def test_include_selects_keys_in_its_order(filled, include, keys):
    for item in filled.get(["a", "b"], include):
        assert list(item) == keys


def test_default_include_and_values(filled):
    got = filled.get(["c", "zz", "a", "b"])
    assert [item["id"] for item in got] == ["c", "a", "b"]  # order of ids; unknown ids left out
    assert got[1] == {"id": "a", "vector": V, "contents": b"A", "metadata": {"k": 1}}
    assert got[0]["contents"] == b"C" and got[0]["metadata"] == {}
    assert got[0]["metadata"] is not got[2]["metadata"]  # a new empty dict per item
    assert all(type(value) is float for value in got[2]["vector"])


@pytest.mark.parametrize("ids", ["abc", b"abc", None, [1]])
def test_ids_must_be_a_sequence_of_texts(filled, ids):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        filled.get(ids)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        filled.delete(ids)


def test_get_looks_up_one_id_per_list_item(filled):
    assert [item["id"] for item in filled.get(["a"], [])] == ["a"]
    assert filled.get(["abc"]) == []


def test_delete(filled):
    filled.delete([])
    filled.delete(["a", "never-stored"])
    assert [item["id"] for item in filled.get(["a", "b", "c"], [])] == ["b", "c"]
    assert [r["id"] for r in filled.query(np.array(V, dtype=np.float32), top_k=5) if r["id"]] == ["b", "c"]


def test_accessors(memory_client):
    index = make_index(memory_client, dimension=128, n_lists=16, metric="cosine", name="accessors")
    assert (index.is_trained(), index.index_name(), index.index_type()) == (False, "accessors", "ivfflat")
    config = index.index_config()
    assert list(config.items()) == [("dimension", 128), ("metric", "cosine"), ("index_type", "ivfflat"),
                                    ("n_lists", 16), ("pq_dim", 0), ("pq_bits", 0)]


def _raises(exception, call):
    with pytest.raises(exception) as caught:
        call()
    assert str(caught.value) == NOT_CONNECTED


def test_a_deleted_index(filled, capfd):
    filled.delete_index()
    assert (filled.is_trained(), filled.index_name()) == (False, "")
    vectors = np.ones((4, 4), dtype=np.float32)
    for call in (filled.index_type, filled.index_config, filled.delete_index, filled.train,
                 lambda: filled.get(["a"]), lambda: filled.delete(["a"])):
        _raises(RuntimeError, call)
    for call in (lambda: filled.upsert([{"id": "a", "vector": V}]),
                 lambda: filled.upsert(["a"], vectors[:1]),
                 lambda: filled.query(vectors[0]),
                 lambda: filled.query(query_contents="text"),
                 lambda: filled.train_and_serialize(vectors)):
        _raises(ValueError, call)
    assert "[CRITICAL] " + NOT_CONNECTED in capfd.readouterr().err
    # What the member's docstring promises, in the same terms as above.
    assert ("raise RuntimeError (ValueError for upsert, query and train_and_serialize)"
            in " ".join(dz.EncryptedIndex.delete_index.__doc__.split()))


def _levels_and_messages(text):
    """Each log line as "LEVEL message", without its time."""
    return [line.split("][", 1)[1].replace("] ", " ", 1) for line in text.splitlines() if line.startswith("[")]


@pytest.mark.parametrize("call, upsert", [
    (lambda index: index.upsert([{"id": "a", "vector": V}]), "Upserting 1 items."),
    (lambda index: index.upsert([{"id": "a", "contents": "text"}, {"id": "b", "contents": "t"}]), "Upserting 2 items."),
    (lambda index: index.upsert(["a"], np.ones((1, 4), dtype=np.float32)), "Upserting 1 items."),
    (lambda index: index.query(np.ones(4, dtype=np.float32)), None),
    (lambda index: index.query(query_contents="text"), None),
], ids=["item list", "items to embed", "ids and vectors", "vector query", "text query"])
def test_a_deleted_index_refuses_upserts_and_queries_with_their_own_lines(filled, capfd, call, upsert):
    """An upsert writes its INFO line, then ERROR; a query its INFO line, then CRITICAL."""
    filled.delete_index()
    dz.Logger.instance().configure("info")
    capfd.readouterr()
    with pytest.raises(ValueError) as caught:
        call(filled)
    assert str(caught.value) == NOT_CONNECTED
    captured = capfd.readouterr()
    if upsert:
        assert _levels_and_messages(captured.out) == ["INFO " + upsert]
        assert _levels_and_messages(captured.err) == ["ERROR " + NOT_CONNECTED]
    else:
        assert _levels_and_messages(captured.out) == ["INFO Query"]
        assert _levels_and_messages(captured.err) == ["CRITICAL " + NOT_CONNECTED]
