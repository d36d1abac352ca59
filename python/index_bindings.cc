// EncryptedIndex: the accessors, get, delete, delete_index, train and train_and_serialize, with
// upsert and query registered from their own files. Every member that reaches the native index
// releases the interpreter lock first and converts nothing while it is released: the index
// takes its own mutex inside each member, and another Python thread may be holding it through a
// long query or training, so waiting for it with the lock held would stop every Python thread.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "index/encrypted_index.h"
#include "index/index_records.h"
#include "python/bindings.h"
#include "python/config_texts.h"
#include "python/conversions.h"
#include "python/query_binding.h"
#include "python/upsert_binding.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

using ostrik::EncryptedIndex;
using ostrik::GetInclude;
using ostrik::IndexConfig;

std::unique_ptr<IndexConfig> ConfigCopy(const EncryptedIndex& index) {
  py::gil_scoped_release release;
  return index.index_config();
}

std::string IndexType(const EncryptedIndex& index) { return IndexTypeText(ConfigCopy(index)->index_type); }

py::dict IndexConfigDict(const EncryptedIndex& index) {
  const std::unique_ptr<IndexConfig> config = ConfigCopy(index);
  py::dict result;
  result["dimension"] = config->dimension();
  result["metric"] = MetricText(config->metric);
  result["index_type"] = IndexTypeText(config->index_type);
  result["n_lists"] = config->n_lists();
  result["pq_dim"] = config->pq_dim();
  result["pq_bits"] = config->pq_bits();
  return result;
}

py::list GetBinding(EncryptedIndex& index, const std::vector<std::string>& ids,
                    const std::vector<std::string>& include) {
  std::vector<int32_t> codes;
  for (const auto& text : include) {
    if (text == "vector") {
      codes.push_back(static_cast<int32_t>(GetInclude::VECTOR));
    } else if (text == "metadata") {
      codes.push_back(static_cast<int32_t>(GetInclude::METADATA));
    } else if (text == "contents") {
      codes.push_back(static_cast<int32_t>(GetInclude::CONTENTS));
    }
  }
  // Looked up before the stores are read, so a broken json module fails without touching them.
  const py::object loads = py::module_::import("json").attr("loads");
  py::list result;
  std::vector<ostrik::GetResult> items;
  {
    py::gil_scoped_release release;
    items = index.Get(ids, codes);
  }
  for (const auto& item : items) {
    py::dict entry;
    entry["id"] = py::str(item.id);
    for (const auto& text : include) {
      if (text == "metadata") {
        entry["metadata"] = item.metadata.empty() ? py::object(py::dict()) : loads(item.metadata);
      } else if (text == "contents") {
        entry["contents"] = py::bytes(reinterpret_cast<const char*>(item.contents.data()), item.contents.size());
      } else if (text == "vector") {
        py::list vector(item.vector.size());
        for (size_t i = 0; i < item.vector.size(); ++i) vector[i] = py::float_(static_cast<double>(item.vector[i]));
        entry["vector"] = std::move(vector);
      }
    }
    result.append(std::move(entry));
  }
  return result;
}

// delete, delete_index and train hand std::runtime_error (and its subclasses, which the default
// translation would turn into other Python types) to Python as RuntimeError.
template <typename Operation>
void RunAsRuntimeError(Operation&& operation) {
  try {
    py::gil_scoped_release release;
    operation();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

py::bytes TrainAndSerializeBinding(EncryptedIndex& index, const py::array_t<float, py::array::forcecast>& vectors,
                                   uint64_t batch_size, uint64_t max_iters, double tolerance, uint64_t max_memory,
                                   bool delete_index) {
  const ostrik::FloatMatrix matrix = NumpyToMatrix(vectors, false);
  ostrik::Bytes serialized;
  try {
    py::gil_scoped_release release;
    const ostrik::TrainParams params{batch_size, max_iters, tolerance, max_memory};
    serialized = index.TrainAndSerialize(matrix, params, delete_index);
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
  return py::bytes(reinterpret_cast<const char*>(serialized.data()), serialized.size());
}

}  // namespace

void BindEncryptedIndex(py::module_& m) {
  py::class_<EncryptedIndex, std::unique_ptr<EncryptedIndex>>(m, "EncryptedIndex")
      .def(
          "is_trained", [](const EncryptedIndex& index) { return index.is_trained(); },
          py::call_guard<py::gil_scoped_release>(),
          "Checks if the index has been trained.\n\n            Returns:\n                bool: True if the index is "
          "trained, otherwise False.\n            ")
      .def(
          "index_name", [](const EncryptedIndex& index) { return index.index_name(); },
          py::call_guard<py::gil_scoped_release>(),
          "Get the name of the index.\n\nReturns:\n    str: The name of the index.")
      .def("index_type", &IndexType,
           "Get the index type.\n\n"
           "Returns:\n"
           "    str: The index type as a lowercase string ('ivfflat').\n\n"
           "Raises:\n"
           "    RuntimeError: If the index was deleted with delete_index().\n")
      .def("index_config", &IndexConfigDict,
           "Get the configuration of the index.\n\n"
           "Returns:\n"
           "    dict: The configuration, with the keys:\n"
           "        dimension (int): Dimensionality of the vectors.\n"
           "        metric (str): 'cosine', 'euclidean' or 'squared_euclidean'.\n"
           "        index_type (str): 'ivfflat'.\n"
           "        n_lists (int): Number of coarse clusters (lists).\n"
           "        pq_dim (int): Product Quantization dimension, 0 if not applicable.\n"
           "        pq_bits (int): Bits per PQ code, 0 if not applicable.\n\n"
           "Raises:\n"
           "    RuntimeError: If the index was deleted with delete_index().\n")
      .def(
          "delete_index", [](EncryptedIndex& index) { RunAsRuntimeError([&] { index.DeleteIndex(); }); },
          "Delete the index and all its data from every store.\n\n"
          "The object stays valid but is no longer connected: is_trained() gives False and index_name()\n"
          "'', and the other operations raise RuntimeError (ValueError for upsert, query and\n"
          "train_and_serialize).\n\n"
          "Raises:\n"
          "    RuntimeError: If the index was already deleted or a store fails.\n\n"
          "Warning:\n"
          "    This cannot be undone.\n\n"
          "Example:\n"
          "    >>> index.delete_index()\n")
      .def("get", &GetBinding, py::arg("ids"),
           py::arg("include") = std::vector<std::string>{"vector", "contents", "metadata"},
           "Retrieve and decrypt the items of the given ids.\n\n"
           "Parameters:\n"
           "    ids (list[str]): Ids of the items to read.\n"
           "    include (list[str]): Fields to return besides the id, among 'vector', 'contents' and\n"
           "        'metadata' (default all three); other texts are ignored.\n\n"
           "Returns:\n"
           "    list[dict]: One dict per stored item, in the order of ids; ids that are not stored are\n"
           "        left out. Each dict holds 'id' and the included fields: 'vector' (list[float]),\n"
           "        'contents' (bytes) and 'metadata' (dict).\n\n"
           "Raises:\n"
           "    TypeError: If ids or include is a single str or bytes, or holds something other than texts.\n"
           "    RuntimeError: If the index was deleted, a store fails or a stored record does not decrypt\n"
           "        or decode.\n"
           "    ValueError: If stored metadata is not valid JSON (json.JSONDecodeError).\n\n"
           "Example:\n"
           "    >>> index.get(['doc-1', 'doc-2'], include=['metadata'])\n"
           "    [{'id': 'doc-1', 'metadata': {'lang': 'en'}}, {'id': 'doc-2', 'metadata': {}}]\n")
      .def(
          "train",
          [](EncryptedIndex& index, uint64_t batch_size, uint64_t max_iters, double tolerance, uint64_t max_memory) {
            RunAsRuntimeError([&] {
              index.TrainIndex(ostrik::TrainParams{batch_size, max_iters, tolerance, max_memory});
            });
          },
          py::arg("batch_size") = 2048, py::arg("max_iters") = 100, py::arg("tolerance") = 1e-6,
          py::arg("max_memory") = 0,
          "Build the index: cluster the stored vectors into the configured number of lists.\n\n"
          "Before training, queries run an encrypted exhaustive search over every item; after it, an\n"
          "encrypted approximate search probes only the lists nearest to each query.\n\n"
          "Parameters:\n"
          "    batch_size (int): Mini-batch size of the k-means rounds (default 2048).\n"
          "    max_iters (int): Number of mini-batch rounds (default 100).\n"
          "    tolerance (float): Convergence tolerance; accepted but stops nothing (default 1e-06).\n"
          "    max_memory (int): Memory budget; accepted but bounds nothing (default 0).\n\n"
          "Raises:\n"
          "    ValueError: If fewer vectors are stored than the index has lists.\n"
          "    RuntimeError: If the index is already trained, was deleted, or a store fails.\n\n"
          "Note:\n"
          "    Training needs at least n_lists stored vectors.\n\n"
          "Example:\n"
          "    >>> index.train(batch_size=1024, max_iters=50)\n")
      .def("upsert", &UpsertBinding, py::arg("arg1"), py::arg("arg2") = py::none(),
           "Add items to the index, or overwrite the items stored under the same ids.\n\n"
           "Two forms:\n"
           "    upsert(items): a list of dicts, each with 'id' (str) and 'vector' (list of floats), and\n"
           "        optionally 'contents' (bytes or str) and 'metadata' (dict). When the index has an\n"
           "        embedding model, an item may give str 'contents' instead of a 'vector': those\n"
           "        contents are embedded, all in one batch.\n"
           "    upsert(ids, vectors): ids as a list of str (or a 1-D NumPy array, whose values become\n"
           "        their decimal texts) and a float32 NumPy array of shape (len(ids), dimension).\n"
           "An id given more than once in one call keeps its first occurrence; the others are skipped,\n"
           "with a warning on standard error.\n\n"
           "Parameters:\n"
           "    arg1 (list[dict] or list[str] or numpy.ndarray): The items, or the ids.\n"
           "    arg2 (numpy.ndarray, optional): The vectors, in the second form only.\n\n"
           "Raises:\n"
           "    ValueError: For every failure, with its reason (a malformed item, a wrong dimension,\n"
           "        metadata that is not valid JSON, a deleted index, a store failure).\n\n"
           "Example:\n"
           "    >>> index.upsert([{'id': 'doc-1', 'vector': [0.1, 0.2, 0.3], 'metadata': {'lang': 'en'}},\n"
           "    ...               {'id': 'doc-2', 'vector': [0.3, 0.2, 0.1], 'contents': b'raw bytes'}])\n"
           "    >>> index.upsert(['doc-3', 'doc-4'], numpy.random.rand(2, 3).astype(numpy.float32))\n")
      .def(
          "delete",
          [](EncryptedIndex& index, const std::vector<std::string>& ids) {
            RunAsRuntimeError([&] { index.Delete(ids); });
          },
          py::arg("ids"),
          "Delete the items of the given ids, with their vectors, contents and metadata.\n\n"
          "Parameters:\n"
          "    ids (list[str]): Ids of the items to delete; ids that are not stored are passed over.\n\n"
          "Raises:\n"
          "    RuntimeError: If the index was deleted or a store fails.\n\n"
          "Warning:\n"
          "    This cannot be undone.\n\n"
          "Example:\n"
          "    >>> index.delete(['doc-1', 'doc-2'])\n")
      .def("query", &QueryBinding, py::arg("query_vector") = py::none(), py::arg("query_contents") = py::none(),
           py::arg("top_k") = 100, py::arg("n_probes") = 1, py::arg("filters") = py::dict(),
           py::arg("include") = std::vector<std::string>{"distance", "metadata"}, py::arg("greedy") = false,
           "Retrieve the nearest items of one or several query vectors, or of a text.\n\n"
           "Parameters:\n"
           "    query_vector (numpy.ndarray or list[list[float]], optional): One query as a 1-D float32\n"
           "        array, or several as a 2-D float32 array or a list of lists.\n"
           "    query_contents (str, optional): A text to embed with the index's embedding model; used\n"
           "        only when query_vector is None.\n"
           "    top_k (int): Number of results per query (default 100).\n"
           "    n_probes (int): Lists probed per query on a trained index (default 1).\n"
           "    filters (dict): Metadata filter, e.g. {'lang': {'$eq': 'en'}} (default {}: no filter).\n"
           "    include (list[str]): 'metadata' fills each result's metadata (default\n"
           "        ['distance', 'metadata']); distances are always returned.\n"
           "    greedy (bool): Widen each query's probes with the other queries' nearest lists\n"
           "        (default False).\n\n"
           "Returns:\n"
           "    list: For a single query (a 1-D array, a list holding one list, or a text), a list of\n"
           "        dicts {'id': str, 'distance': float, 'metadata': dict}, nearest first; for several\n"
           "        queries, one such list per query.\n\n"
           "Raises:\n"
           "    ValueError: If the arguments are refused or the query fails.\n"
           "    TypeError: If query_vector is a float32 array with other than 1 or 2 dimensions, or another\n"
           "        argument has the wrong type (a negative top_k, a str for include).\n"
           "    RuntimeError: If the text cannot be embedded or a list item is not a list of numbers.\n\n"
           "Note:\n"
           "    An untrained index is searched exhaustively.\n\n"
           "Example:\n"
           "    >>> index.query(numpy.array([0.1, 0.2, 0.3], dtype=numpy.float32), top_k=2)\n"
           "    [{'id': 'doc-1', 'distance': 0.0, 'metadata': {'lang': 'en'}}, ...]\n"
           "    >>> index.query([[0.1, 0.2, 0.3], [0.3, 0.2, 0.1]], top_k=5,\n"
           "    ...             filters={'lang': {'$eq': 'en'}})\n")
      .def("train_and_serialize", &TrainAndSerializeBinding, py::arg("vectors"), py::arg("batch_size") = 0,
           py::arg("max_iters") = 0, py::arg("tolerance") = 1e-6, py::arg("max_memory") = 0,
           py::arg("delete_index") = true, "Internal function to train the index and serialize it to a bytes object.");
}

}  // namespace dodezero_vizu
