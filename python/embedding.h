// Access to an index's sentence-embedding model: the model is a Python object of the optional
// package `sentence_transformers`, built anew by name for every binding call that needs it and
// dropped when that call is done (nothing is cached between calls).
//
// LoadEmbeddingModel throws std::runtime_error: the install hint when the package cannot be
// imported (nothing written), "Failed to load embedding model: " + the Python error's text when
// the model cannot be built (the same text is first written to standard error as
// "Python Exception: ..."). No Python error stays pending after a failure.
// IndexModelName writes nothing and throws nothing of its own.
// Thread-safety: call only with the interpreter lock held (LoadEmbeddingModel takes a nested hold
// of its own; IndexModelName releases the lock while it waits for the index).
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "index/encrypted_index.h"

namespace dodezero_vizu {

// What a text to embed meets on an index without a model.
inline constexpr const char* kNoModel =
    "Index was not set up for automatic embedding generation. Provide `vector` explicitly or create a new index with "
    "an embedding model.";

pybind11::object LoadEmbeddingModel(const std::string& model_name);

// The name of the index's embedding model, "" when it has none; nullopt for a deleted index, which
// has no configuration to name one.
std::optional<std::string> IndexModelName(const ostrik::EncryptedIndex& index);

}  // namespace dodezero_vizu
