#include "python/embedding.h"

#include <iostream>
#include <stdexcept>

#include "python/native_texts.h"

namespace py = pybind11;

namespace dodezero_vizu {

pybind11::object LoadEmbeddingModel(const std::string& model_name) {
  py::gil_scoped_acquire hold;
  py::module_ package;
  try {
    package = py::module_::import("sentence_transformers");
  } catch (const py::error_already_set&) {
    // The import error itself says nothing the user can act on; the hint does. It is dropped here.
    throw std::runtime_error(
        "To use automatic embedding functionality, please install the required dependency: pip install "
        "reroduro-zoze[embeddings]");
  }
  try {
    py::tuple args = py::make_tuple(py::str(model_name));
    py::object constructor = package.attr("SentenceTransformer");
    return constructor(*args);
  } catch (const py::error_already_set& e) {
    std::cerr << "Python Exception: " << FailureText(e) << std::endl;
    throw std::runtime_error(std::string("Failed to load embedding model: ") + FailureText(e));
  }
}

std::optional<std::string> IndexModelName(const ostrik::EncryptedIndex& index) {
  // The index's mutex may be held by another thread's long operation: wait without the lock.
  py::gil_scoped_release release;
  return index.embedding_model();
}

}  // namespace dodezero_vizu
