"""A small, deterministic stand-in for the sentence-embedding package, for the module's tests.

The model name picks the dimension and the behaviour: "<kind>-<dimension>", e.g. "stub-8".
Kinds other than "stub" misbehave on purpose so that the module's error paths can be reached:

    missing   the constructor raises OSError (an unknown model)
    noattr    the model has no get_sentence_embedding_dimension method
    nodim     get_sentence_embedding_dimension() returns None
    broken    encode() raises RuntimeError
    fortran   batch encodings come back in column-major order
    float64   batch encodings come back as float64
    flat      batch encodings come back one-dimensional
    short     batch encodings miss their last row
    lists     batch encodings come back as a list of lists

Every model built and every encode call (model name, sentences, keyword options) is recorded in
`constructed` and `encode_calls`.
"""

import hashlib

import numpy as np

constructed = []
encode_calls = []


def embed(text, dimension):
    """The embedding every model gives `text`: values in [0, 1) drawn from its SHA-256."""
    digest = b""
    counter = 0
    while len(digest) < dimension:
        digest += hashlib.sha256(f"{counter}:{text}".encode()).digest()
        counter += 1
    return np.frombuffer(digest[:dimension], dtype=np.uint8).astype(np.float32) / 256.0


def _parse(name):
    kind, _, dimension = name.rpartition("-")
    return kind, int(dimension)


class _NoDimensionModel:
    def encode(self, sentences, **options):
        raise AssertionError("not reached")


class SentenceTransformer:
    def __new__(cls, name):
        kind, _ = _parse(name)
        if kind == "missing":
            raise OSError(f"{name} is not a known model")
        constructed.append(name)
        if kind == "noattr":
            return _NoDimensionModel()
        return super().__new__(cls)

    def __init__(self, name):
        self.name = name
        self.kind, self.dimension = _parse(name)

    def get_sentence_embedding_dimension(self):
        return None if self.kind == "nodim" else self.dimension

    def encode(self, sentences, **options):
        encode_calls.append((self.name, sentences, options))
        if self.kind == "broken":
            raise RuntimeError("the encoder broke down")
        if isinstance(sentences, str):
            return embed(sentences, self.dimension)
        batch = np.stack([embed(s, self.dimension) for s in sentences])
        if self.kind == "fortran":
            return np.asfortranarray(batch)
        if self.kind == "float64":
            return batch.astype(np.float64)
        if self.kind == "flat":
            return batch.ravel()
        if self.kind == "short":
            return batch[:-1]
        if self.kind == "lists":
            return batch.tolist()
        return batch
