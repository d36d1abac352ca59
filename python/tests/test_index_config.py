"""IndexConfig and IndexIVFFlat: construction, the read-only properties, virtual members and clone."""

import gc

import pytest

import dodezero_vizu as dz


@pytest.mark.parametrize("args, kwargs, expected", [
    ((128, 16), {}, (128, "euclidean", 16)),
    ((), {"dimension": 128, "n_lists": 16, "metric": "cosine"}, (128, "cosine", 16)),
    ((64, 8, "squared_euclidean"), {}, (64, "squared_euclidean", 8)),
    ((0, 0), {}, (0, "euclidean", 0)),  # refused only when an index is created
    ((2**64 - 1, 1), {}, (2**64 - 1, "euclidean", 1)),
])
def test_values(args, kwargs, expected):
    config = dz.IndexIVFFlat(*args, **kwargs)
    assert isinstance(config, dz.IndexConfig)
    assert (config.dimension, config.metric, config.n_lists()) == expected
    assert (config.index_type, config.pq_dim(), config.pq_bits()) == ("ivfflat", 0, 0)
    assert dz.IndexConfig.n_lists(config) == expected[2]  # the base member dispatches to the subclass


@pytest.mark.parametrize("metric", ["Cosine", "EUCLIDEAN", "l2", ""])
def test_unknown_metric_is_value_error(metric):
    with pytest.raises(ValueError) as caught:
        dz.IndexIVFFlat(16, 4, metric)
    assert str(caught.value) == "Invalid distance metric: " + metric


@pytest.mark.parametrize("args", [(-1, 4), (4, -1), (4.0, 2), (2**64, 1), (4,), ("4", 2)])
def test_arguments_that_do_not_convert(args):
    with pytest.raises(TypeError):
        dz.IndexIVFFlat(*args)


def test_properties_are_read_only():
    config = dz.IndexIVFFlat(8, 2)
    for name in ("dimension", "metric", "index_type"):
        with pytest.raises(AttributeError):
            setattr(config, name, 1)


def test_clone_is_an_independent_ivfflat():
    original = dz.IndexIVFFlat(64, 8, "squared_euclidean")
    copy = original.clone()
    assert type(copy) is dz.IndexIVFFlat and copy is not original
    del original
    gc.collect()
    assert (copy.dimension, copy.metric, copy.index_type, copy.n_lists()) == (64, "squared_euclidean", "ivfflat", 8)
    again = copy.clone()
    del copy
    gc.collect()
    assert again.dimension == 64
