#include "python/query_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>

#include "core/matrix.h"
#include "index/index_records.h"
#include "kernels/kernel_records.h"
#include "python/conversions.h"
#include "python/embedding.h"
#include "python/native_texts.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

using ostrik::EncryptedIndex;
using ostrik::FloatMatrix;

FloatMatrix EmbedQuery(EncryptedIndex& index, const py::object& query_contents) {
  const std::optional<std::string> model_name = IndexModelName(index);
  if (!model_name) {
    // A deleted index has no model to embed with: the native query refuses it as it refuses every
    // query then (a row of no values passes its first check).
    try {
      py::gil_scoped_release release;
      index.Query(FloatMatrix{1, 0, {}}, ostrik::QueryParams{});
    } catch (const std::runtime_error& e) {
      throw py::value_error(e.what());
    }
  }
  if (!model_name || model_name->empty()) throw py::value_error(kNoModel);
  py::gil_scoped_acquire hold;
  const py::object model = LoadEmbeddingModel(*model_name);
  if (!PyUnicode_Check(query_contents.ptr())) {
    throw py::value_error("'query_contents' must be of type `str` for auto-embedding.");
  }
  py::object embedding;
  try {
    embedding = model.attr("encode")(query_contents);
  } catch (const py::error_already_set& e) {
    throw std::runtime_error(std::string("Failed to encode query_contents: ") + FailureText(e));
  }
  return NestedListToMatrix({embedding.cast<std::vector<float>>()});
}

// The query matrix, and whether the caller asked for one query (then its results come back
// without the outer list).
FloatMatrix QueryMatrix(EncryptedIndex& index, const py::object& query_vector, const py::object& query_contents,
                        bool& single) {
  if (query_vector.is_none()) {
    if (query_contents.is_none()) throw py::value_error("Provide at least one: query_vector or query_contents.");
    single = true;
    return EmbedQuery(index, query_contents);
  }
  if (py::array_t<float>::check_(query_vector)) {
    const auto ndim = py::reinterpret_borrow<py::array>(query_vector).ndim();
    if (ndim != 1 && ndim != 2) throw py::type_error("query_vector must be a 1D or 2D NumPy array.");
    single = ndim == 1;
    return NumpyToMatrix(py::array_t<float, py::array::forcecast>(query_vector), single);
  }
  if (PyList_Check(query_vector.ptr())) {
    const py::list snapshot = ListSnapshot(query_vector);
    std::vector<std::vector<float>> rows;
    rows.reserve(snapshot.size());
    for (const py::handle row : snapshot) rows.push_back(py::cast<std::vector<float>>(row));
    single = rows.size() == 1 && !rows.front().empty();
    return NestedListToMatrix(rows);
  }
  throw py::value_error("query_vector must be a 1D or 2D NumPy array or List[List[float]].");
}

std::string FilterText(const py::dict& filters) {
  if (filters.empty()) return {};
  try {
    const py::object dumps = py::module_::import("json").attr("dumps");
    return py::str(dumps(filters)).cast<std::string>();
  } catch (const std::exception& e) {
    throw py::value_error(std::string("Failed to serialize filters to JSON: ") + FailureText(e));
  }
}

std::vector<int32_t> IncludeCodes(const std::vector<std::string>& include) {
  std::vector<int32_t> codes;
  if (std::find(include.begin(), include.end(), "metadata") != include.end()) {
    codes.push_back(static_cast<int32_t>(ostrik::QueryInclude::METADATA));
  }
  if (std::find(include.begin(), include.end(), "distance") != include.end()) {
    codes.push_back(static_cast<int32_t>(ostrik::QueryInclude::DISTANCE));
  }
  return codes;
}

py::list ResultLists(const ostrik::QueryResults& results) {
  const py::object loads = py::module_::import("json").attr("loads");
  py::list outer;
  const uint64_t n_queries = std::min<uint64_t>(results.n_queries, results.result_counts.size());
  for (uint64_t q = 0; q < n_queries; ++q) {
    py::list inner;
    const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(std::max(results.result_counts[q], 0)),
                                              std::min(results.ids.cols, results.distances.cols));
    const std::vector<std::string>* texts = q < results.metadata.size() ? &results.metadata[q] : nullptr;
    for (uint64_t j = 0; j < count; ++j) {
      py::dict result;
      result["id"] = py::str(results.ids.data[q * results.ids.cols + j]);
      result["distance"] = py::float_(static_cast<double>(results.distances.data[q * results.distances.cols + j]));
      if (texts != nullptr && j < texts->size() && !(*texts)[j].empty()) {
        result["metadata"] = loads((*texts)[j]);
      } else {
        result["metadata"] = py::dict();
      }
      inner.append(std::move(result));
    }
    outer.append(std::move(inner));
  }
  return outer;
}

}  // namespace

py::list QueryBinding(EncryptedIndex& index, const py::object& query_vector, const py::object& query_contents,
                      uint64_t top_k, uint64_t n_probes, const py::dict& filters,
                      const std::vector<std::string>& include, bool greedy) {
  bool single = false;
  const FloatMatrix queries = QueryMatrix(index, query_vector, query_contents, single);
  ostrik::QueryParams params;
  params.top_k = top_k;
  params.n_probes = n_probes;
  params.include = IncludeCodes(include);
  params.greedy = greedy;
  params.filters = FilterText(filters);

  ostrik::QueryResults results;
  try {
    py::gil_scoped_release release;
    results = index.Query(queries, params);
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }

  py::list outer = ResultLists(results);
  if (single && outer.size() == 1) return py::list(outer[0]);
  return outer;
}

}  // namespace dodezero_vizu
