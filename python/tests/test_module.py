"""The module's shape: its classes, the registered signatures and docstrings of every member."""

import os
import subprocess
import sys

import numpy as np
import pytest

import dodezero_vizu as dz


def test_module_holds_the_six_classes_and_its_docstring():
    assert dz.__doc__ == "Pybind11 bindings for OstrikDB"
    public = sorted(name for name in dir(dz) if not name.startswith("_"))
    assert public == ["Client", "DBConfig", "EncryptedIndex", "IndexConfig", "IndexIVFFlat", "Logger"]
    assert issubclass(dz.IndexIVFFlat, dz.IndexConfig)


def _members(cls):
    return [name for name in vars(cls) if not name.startswith("_")]


def test_members_in_registration_order():
    assert _members(dz.DBConfig) == []
    assert _members(dz.Logger) == ["instance", "configure", "info", "debug", "warning", "error", "critical"]
    assert _members(dz.IndexConfig) == ["dimension", "metric", "index_type", "n_lists", "pq_dim", "pq_bits", "clone"]
    assert _members(dz.IndexIVFFlat) == ["n_lists"]
    assert _members(dz.Client) == [
        "list_indexes", "create_index", "load_index", "load_serialized_index", "get_cpu_threads", "is_gpu_enabled"]
    assert _members(dz.EncryptedIndex) == [
        "is_trained", "index_name", "index_type", "index_config", "delete_index", "get", "train", "upsert", "delete",
        "query", "train_and_serialize"]


# The first line of each docstring is pybind11's rendering of the registered signature.
SIGNATURES = [
    (dz.DBConfig.__init__, "__init__(self: dodezero_vizu.DBConfig, location: str, table_name: Optional[str] = None, "
                           "connection_string: Optional[str] = None) -> None"),
    (dz.Logger.instance, "instance() -> dodezero_vizu.Logger"),
    (dz.Logger.configure, "configure(self: dodezero_vizu.Logger, level: str, to_file: bool = False, "
                          "file_path: Optional[str] = None) -> None"),
    (dz.Logger.info, "info(self: dodezero_vizu.Logger, arg0: str) -> None"),
    (dz.Logger.debug, "debug(self: dodezero_vizu.Logger, arg0: str) -> None"),
    (dz.Logger.warning, "warning(self: dodezero_vizu.Logger, arg0: str) -> None"),
    (dz.Logger.error, "error(self: dodezero_vizu.Logger, arg0: str) -> None"),
    (dz.Logger.critical, "critical(self: dodezero_vizu.Logger, arg0: str) -> None"),
    (dz.IndexConfig.dimension.fget, "(arg0: dodezero_vizu.IndexConfig) -> int"),
    (dz.IndexConfig.metric.fget, "(arg0: dodezero_vizu.IndexConfig) -> str"),
    (dz.IndexConfig.index_type.fget, "(arg0: dodezero_vizu.IndexConfig) -> str"),
    (dz.IndexConfig.n_lists, "n_lists(self: dodezero_vizu.IndexConfig) -> int"),
    (dz.IndexConfig.pq_dim, "pq_dim(self: dodezero_vizu.IndexConfig) -> int"),
    (dz.IndexConfig.pq_bits, "pq_bits(self: dodezero_vizu.IndexConfig) -> int"),
    (dz.IndexConfig.clone, "clone(self: dodezero_vizu.IndexConfig) -> dodezero_vizu.IndexConfig"),
    (dz.IndexIVFFlat.__init__, "__init__(self: dodezero_vizu.IndexIVFFlat, dimension: int, n_lists: int, "
                               "metric: str = 'euclidean') -> None"),
    (dz.IndexIVFFlat.n_lists, "n_lists(self: dodezero_vizu.IndexIVFFlat) -> int"),
    (dz.Client.__init__, "__init__(self: dodezero_vizu.Client, index_location: dodezero_vizu.DBConfig, "
                         "config_location: dodezero_vizu.DBConfig, items_location: dodezero_vizu.DBConfig, "
                         "cpu_threads: int = 0, gpu_accelerate: bool = False) -> None"),
    (dz.Client.list_indexes, "list_indexes(self: dodezero_vizu.Client) -> list[str]"),
    (dz.Client.create_index, "create_index(self: dodezero_vizu.Client, index_name: str, "
                             "index_key: Annotated[list[int], FixedSize(32)], index_config: dodezero_vizu.IndexConfig, "
                             "embedding_model: Optional[str] = None, max_cache_size: Optional[int] = 0, "
                             "logger: object = None) -> dodezero_vizu.EncryptedIndex"),
    (dz.Client.load_index, "load_index(self: dodezero_vizu.Client, index_name: str, "
                           "index_key: Annotated[list[int], FixedSize(32)], max_cache_size: Optional[int] = 0, "
                           "logger: object = None) -> dodezero_vizu.EncryptedIndex"),
    (dz.Client.load_serialized_index, "load_serialized_index(self: dodezero_vizu.Client, serialized_index: bytes, "
                                      "index_key: Annotated[list[int], FixedSize(32)], logger: object = None) "
                                      "-> dodezero_vizu.EncryptedIndex"),
    (dz.Client.get_cpu_threads, "get_cpu_threads(self: dodezero_vizu.Client) -> int"),
    (dz.Client.is_gpu_enabled, "is_gpu_enabled(self: dodezero_vizu.Client) -> bool"),
    (dz.EncryptedIndex.is_trained, "is_trained(self: dodezero_vizu.EncryptedIndex) -> bool"),
    (dz.EncryptedIndex.index_name, "index_name(self: dodezero_vizu.EncryptedIndex) -> str"),
    (dz.EncryptedIndex.index_type, "index_type(self: dodezero_vizu.EncryptedIndex) -> str"),
    (dz.EncryptedIndex.index_config, "index_config(self: dodezero_vizu.EncryptedIndex) -> dict"),
    (dz.EncryptedIndex.delete_index, "delete_index(self: dodezero_vizu.EncryptedIndex) -> None"),
    (dz.EncryptedIndex.get, "get(self: dodezero_vizu.EncryptedIndex, ids: list[str], "
                            "include: list[str] = ['vector', 'contents', 'metadata']) -> list"),
    (dz.EncryptedIndex.train, "train(self: dodezero_vizu.EncryptedIndex, batch_size: int = 2048, "
                              "max_iters: int = 100, tolerance: float = 1e-06, max_memory: int = 0) -> None"),
    (dz.EncryptedIndex.upsert, "upsert(self: dodezero_vizu.EncryptedIndex, arg1: object, arg2: object = None) "
                               "-> None"),
    (dz.EncryptedIndex.delete, "delete(self: dodezero_vizu.EncryptedIndex, ids: list[str]) -> None"),
    (dz.EncryptedIndex.query, "query(self: dodezero_vizu.EncryptedIndex, query_vector: object = None, "
                              "query_contents: object = None, top_k: int = 100, n_probes: int = 1, "
                              "filters: dict = {}, include: list[str] = ['distance', 'metadata'], "
                              "greedy: bool = False) -> list"),
    (dz.EncryptedIndex.train_and_serialize, "train_and_serialize(self: dodezero_vizu.EncryptedIndex, "
                                            "vectors: numpy.ndarray[numpy.float32], batch_size: int = 0, "
                                            "max_iters: int = 0, tolerance: float = 1e-06, max_memory: int = 0, "
                                            "delete_index: bool = True) -> bytes"),
]


@pytest.mark.parametrize("member, signature", SIGNATURES, ids=[s.split("(")[0] or "property" for _, s in SIGNATURES])
def test_registered_signature(member, signature):
    assert member.__doc__.split("\n")[0] == signature


def test_no_docstring_names_a_native_type():
    for cls in (dz.DBConfig, dz.Logger, dz.IndexConfig, dz.IndexIVFFlat, dz.Client, dz.EncryptedIndex):
        for name, member in vars(cls).items():
            assert "::" not in (getattr(member, "__doc__", None) or ""), f"{cls.__name__}.{name}"


# Docstrings quoted word for word; the others are worded freely and checked for their sections.
EXACT_DOCSTRINGS = [
    (dz.IndexConfig.dimension,
     "Get the vector dimensionality.\n\nReturns:\n    int: The dimensionality of the vectors stored in the index."),
    (dz.IndexConfig.metric,
     "Get the distance metric used in the index.\n\nReturns:\n    string: The distance metric (euclidean, cosine, "
     "or squared_euclidean)."),
    (dz.IndexConfig.pq_dim,
     "Get the Product Quantization (PQ) dimension, if applicable.\n\nReturns:\n    int: The PQ dimension, or 0 if "
     "not applicable."),
    (dz.IndexConfig.pq_bits,
     "Get the number of bits per PQ code, if applicable.\n\nReturns:\n    int: The number of bits per PQ code, or 0 "
     "if not applicable."),
    (dz.IndexConfig.clone,
     "Clone this IndexConfig object.\n\nReturns:\n    IndexConfig: A unique pointer to a cloned IndexConfig object."),
    (dz.IndexIVFFlat.__init__,
     "Initialize the IVFFlat index configuration.\n\nParameters:\n    dimension (int): Dimensionality of the "
     "vectors.\n    n_lists (int): Number of coarse clusters (lists).\n    metric (string): Distance metric "
     "(euclidean, cosine, or squared_euclidean), default is euclidean.\n"),
    (dz.IndexIVFFlat.n_lists,
     "Get the number of lists in the IVFFlat index.\n\nReturns:\n    int: The number of coarse clusters (lists) in "
     "the index."),
    (dz.Client.load_serialized_index, "Internal method to load an encrypted index from serialized data."),
    (dz.EncryptedIndex.is_trained,
     "Checks if the index has been trained.\n\n            Returns:\n                bool: True if the index is "
     "trained, otherwise False.\n            "),
    (dz.EncryptedIndex.index_name, "Get the name of the index.\n\nReturns:\n    str: The name of the index."),
    (dz.EncryptedIndex.train_and_serialize, "Internal function to train the index and serialize it to a bytes object."),
]


def _text(member):
    """The docstring as registered: a property's own, or a function's without the signature line and
    blank line that pybind11 puts before it and the line end it puts after it."""
    if isinstance(member, property):
        return member.__doc__
    parts = member.__doc__.split("\n", 2)
    return parts[2][:-1] if len(parts) == 3 else ""


@pytest.mark.parametrize("member, text", EXACT_DOCSTRINGS)
def test_quoted_docstrings(member, text):
    assert _text(member) == text


def test_class_docstrings():
    assert dz.IndexConfig.__doc__ == (
        "Abstract base class for index configurations. This class provides the core properties of an index "
        "configuration, including dimension, distance metric and index type")
    assert dz.IndexIVFFlat.__doc__ == (
        "Configuration for an IVFFlat index, which uses flat quantization for coarse clustering.")
    for cls in (dz.DBConfig, dz.Logger, dz.Client, dz.EncryptedIndex):
        assert cls.__doc__ is None


def test_members_without_docstring():
    for member in (dz.DBConfig.__init__, dz.Logger.instance, dz.Logger.info, dz.Logger.debug, dz.Logger.warning,
                   dz.Logger.error, dz.Logger.critical):
        assert _text(member) == ""


@pytest.mark.parametrize("member, sections", [
    (dz.Logger.configure, ["Parameters:", "Raises:", "Example:"]),
    (dz.Client.__init__, ["Parameters:", "Example:", ">>> client = Client("]),
    (dz.Client.create_index, ["Parameters:", "Returns:", "Raises:", "IndexIVFFlat(dimension=1024, n_lists=128"]),
    (dz.EncryptedIndex.delete_index, ["Warning:", "Example:"]),
    (dz.EncryptedIndex.train, ["Parameters:", "Raises:", "Note:", "Example:"]),
    (dz.EncryptedIndex.upsert, ["Parameters:", "Raises:", "Example:"]),
    (dz.EncryptedIndex.query, ["Parameters:", "Returns:", "Raises:", "Note:", "filters={"]),
])
def test_long_docstrings_have_their_sections(member, sections):
    text = _text(member)
    for section in sections:
        assert section in text


# Every member with None as self and otherwise acceptable arguments.
_ON_NONE = [
    (dz.Logger.configure, ("info",)),
    *[(getattr(dz.Logger, level), ("text",)) for level in ("info", "debug", "warning", "error", "critical")],
    *[(dz.IndexConfig.__dict__[name].fget, ()) for name in ("dimension", "metric", "index_type")],
    *[(getattr(dz.IndexConfig, name), ()) for name in ("n_lists", "pq_dim", "pq_bits", "clone")],
    (dz.IndexIVFFlat.n_lists, ()),
    *[(getattr(dz.Client, name), ()) for name in ("list_indexes", "get_cpu_threads", "is_gpu_enabled")],
    (dz.Client.create_index, ("n", bytes(range(1, 33)), dz.IndexIVFFlat(1, 1))),
    (dz.Client.load_index, ("n", bytes(range(1, 33)))),
    (dz.Client.load_serialized_index, (b"", bytes(range(1, 33)))),
    *[(getattr(dz.EncryptedIndex, name), ())
      for name in ("is_trained", "index_name", "index_type", "index_config", "delete_index", "train")],
    (dz.EncryptedIndex.get, (["a"],)),
    (dz.EncryptedIndex.upsert, ([{"id": "a", "vector": [1.0]}],)),
    (dz.EncryptedIndex.delete, (["a"],)),
    (dz.EncryptedIndex.query, ([[1.0]],)),
    (dz.EncryptedIndex.train_and_serialize, (np.zeros((1, 1), np.float32),)),
]


def test_a_member_called_on_none_is_refused():
    """None as self is a TypeError for every member, never a call on a null object."""
    for member, args in _ON_NONE:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            member(None, *args)


@pytest.mark.parametrize("cls", [dz.Logger, dz.IndexConfig, dz.EncryptedIndex])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match="No constructor defined!$"):
        cls()


def test_instances_take_no_new_attributes():
    with pytest.raises(AttributeError):
        dz.DBConfig("memory").location = 1
    with pytest.raises(AttributeError):
        dz.IndexIVFFlat(4, 2).extra = 1


def test_import_sets_nothing_up(tmp_path):
    """Importing in a fresh interpreter writes nothing and imports no NumPy of its own."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(dz.__file__))
    result = subprocess.run(
        [sys.executable, "-c", "import sys, dodezero_vizu; print('numpy' in sys.modules)"],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=True, timeout=60)
    assert result.stdout == "False\n"
    assert result.stderr == ""
    assert list(tmp_path.iterdir()) == []
