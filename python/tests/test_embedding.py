"""The embedding model: fixing an index's dimension, embedding upserted texts and text queries, and
every way a model can fail. The model is the stand-in package under stubs/."""

import sys

import numpy as np
import pytest

import dodezero_vizu as dz
import sentence_transformers as st
from support import KEY, make_client, unique_name

INSTALL_HINT = ("To use automatic embedding functionality, please install the required dependency: pip install "
                "reroduro-zoze[embeddings]")


@pytest.fixture(autouse=True)
def fresh_records():
    st.constructed.clear()
    st.encode_calls.clear()


def model_index(client, model="stub-8", metric="euclidean"):
    return client.create_index(unique_name(), KEY, dz.IndexIVFFlat(3, 2, metric), embedding_model=model)


def stored_vector(index, item_id):
    return np.array(index.get([item_id], ["vector"])[0]["vector"], dtype=np.float32)


def test_model_fixes_the_dimension(memory_client):
    config = dz.IndexIVFFlat(3, 5, "cosine")
    index = memory_client.create_index("m", KEY, config, embedding_model="stub-8")
    assert index.index_config() == {"dimension": 8, "metric": "cosine", "index_type": "ivfflat", "n_lists": 5,
                                    "pq_dim": 0, "pq_bits": 0}
    assert (config.dimension, config.n_lists()) == (3, 5)
    assert st.constructed == ["stub-8"]


def test_empty_model_name_is_no_model(memory_client):
    index = memory_client.create_index("m", KEY, dz.IndexIVFFlat(3, 2), embedding_model="")
    assert index.index_config()["dimension"] == 3 and st.constructed == []


@pytest.mark.parametrize("model, config, message", [
    ("nodim-8", dz.IndexIVFFlat(3, 2), "Unable to determine embedding dimension for model: nodim-8"),
    ("stub-8", None, "Unknown IndexConfig type: Cannot modify dimension."),
])
def test_create_index_refusals(memory_client, model, config, message):
    with pytest.raises(ValueError) as caught:
        memory_client.create_index("m", KEY, config, embedding_model=model)
    assert str(caught.value) == message
    assert st.constructed == [model]  # the model is asked before the configuration is examined


def test_model_that_cannot_be_built(memory_client, capfd):
    with pytest.raises(ValueError) as caught:
        memory_client.create_index("m", KEY, dz.IndexIVFFlat(3, 2), embedding_model="missing-8")
    error_text = str(caught.value)[len("Failed to load embedding model: "):]
    assert str(caught.value).startswith("Failed to load embedding model: OSError: missing-8 is not a known model")
    assert capfd.readouterr().err == f"Python Exception: {error_text}\n"


def test_model_method_errors_pass_unchanged(memory_client):
    with pytest.raises(AttributeError, match="get_sentence_embedding_dimension"):
        memory_client.create_index("m", KEY, dz.IndexIVFFlat(3, 2), embedding_model="noattr-8")


def test_package_missing_gives_the_install_hint(memory_client, monkeypatch, capfd):
    index = model_index(memory_client)
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)  # makes the import fail
    with pytest.raises(ValueError) as caught:
        model_index(memory_client)
    assert str(caught.value) == INSTALL_HINT
    with pytest.raises(ValueError) as caught:
        index.upsert([{"id": "a", "contents": "text"}])
    assert str(caught.value) == INSTALL_HINT
    with pytest.raises(RuntimeError) as caught:
        index.query(query_contents="text")
    assert str(caught.value) == INSTALL_HINT
    assert capfd.readouterr().err == ""


def test_one_text_is_encoded_as_a_str(memory_client):
    index = model_index(memory_client)
    index.upsert([{"id": "a", "contents": "héllo"}])
    assert st.encode_calls == [("stub-8", "héllo", {"convert_to_numpy": True})]
    assert np.array_equal(stored_vector(index, "a"), st.embed("héllo", 8))
    assert index.get(["a"], ["contents"])[0]["contents"] == "héllo".encode()


@pytest.mark.parametrize("model", ["stub-8", "fortran-8", "float64-8", "lists-8"])
def test_texts_are_encoded_in_one_batch_into_their_rows(memory_client, model):
    index = model_index(memory_client, model)
    given = np.arange(8, dtype=np.float32)
    index.upsert([
        {"id": "t0", "contents": "zero"},
        {"id": "v1", "vector": given.tolist(), "contents": "not embedded"},
        {"id": "t2", "contents": "two"},
        {"id": "t3", "contents": "three", "metadata": {"k": 3}},
    ])
    assert st.encode_calls == [(model, ["zero", "two", "three"], {"convert_to_numpy": True})]
    for item_id, text in [("t0", "zero"), ("t2", "two"), ("t3", "three")]:
        assert np.allclose(stored_vector(index, item_id), st.embed(text, 8))
    assert np.array_equal(stored_vector(index, "v1"), given)


@pytest.mark.parametrize("model, texts, message", [
    ("flat-8", 2, "Expected 2D array from batch encoding, got 1D"),
    ("short-8", 3, "Mismatch between number of embeddings returned and texts provided."),
    ("broken-8", 2, "Failed to process batch embeddings: RuntimeError: the encoder broke down"),
    ("broken-8", 1, "Failed to process batch embeddings: RuntimeError: the encoder broke down"),
])
def test_batch_encoding_failures(memory_client, model, texts, message):
    index = model_index(memory_client, model)
    with pytest.raises(ValueError) as caught:
        index.upsert([{"id": f"t{k}", "contents": f"text {k}"} for k in range(texts)])
    assert str(caught.value) == message
    assert index.get([f"t{k}" for k in range(texts)]) == []


def test_items_are_checked_before_the_model_is_loaded(memory_client):
    index = model_index(memory_client)
    st.constructed.clear()
    with pytest.raises(ValueError, match="'contents' must be of `str` type for auto-embedding."):
        index.upsert([{"id": "a", "contents": "fine"}, {"id": "b", "contents": b"bytes"}])
    with pytest.raises(ValueError, match="Item at index 1 is missing both"):
        index.upsert([{"id": "a", "contents": "fine"}, {"id": "b"}])
    assert st.constructed == []


def test_each_use_builds_the_model_anew(memory_client):
    index = model_index(memory_client)
    index.upsert([{"id": "a", "contents": "one"}])
    index.upsert([{"id": "b", "contents": "two"}])
    index.query(query_contents="three")
    assert st.constructed == ["stub-8"] * 4
    index.upsert([{"id": "c", "vector": [0.0] * 8}])  # nothing to embed: no model
    assert len(st.constructed) == 4


def test_text_query(memory_client):
    index = model_index(memory_client)
    index.upsert([{"id": k, "contents": k, "metadata": {"len": len(k)}} for k in ("alpha", "beta", "gamma")])
    found = index.query(query_contents="beta", top_k=2)
    assert found[0] == {"id": "beta", "distance": 0.0, "metadata": {"len": 4}}
    assert len(found) == 2
    assert st.encode_calls[-1] == ("stub-8", "beta", {})  # the text alone, no options


@pytest.mark.parametrize("model, contents, exception, message", [
    ("stub-8", 5, ValueError, "'query_contents' must be of type `str` for auto-embedding."),
    ("stub-8", b"bytes", ValueError, "'query_contents' must be of type `str` for auto-embedding."),
    ("broken-8", "text", RuntimeError, "Failed to encode query_contents: RuntimeError: the encoder broke down"),
])
def test_text_query_refusals(memory_client, model, contents, exception, message):
    index = model_index(memory_client, model)
    st.constructed.clear()
    with pytest.raises(exception) as caught:
        index.query(query_contents=contents)
    assert str(caught.value).startswith(message)
    assert st.constructed == [model]  # loaded before the text is examined


def test_text_query_without_model(index):
    with pytest.raises(ValueError, match="Index was not set up for automatic embedding generation."):
        index.query(query_contents="text")


def test_loaded_index_keeps_its_model():
    client = make_client("postgres")
    index = model_index(client)
    name = index.index_name()
    index.upsert([{"id": "a", "contents": "stored text"}])
    del index
    loaded = client.load_index(name, KEY)
    assert loaded.query(query_contents="stored text", top_k=1)[0]["id"] == "a"
