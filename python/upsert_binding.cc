#include "python/upsert_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "python/conversions.h"
#include "python/embedding.h"
#include "python/native_texts.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

using ostrik::EncryptedIndex;
using ostrik::FloatMatrix;

constexpr const char* kBadPairArguments =
    "Invalid argument types. Expected a list of dicts for single arg mode, (list[str], float32 np.ndarray) or "
    "(int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.";
constexpr const char* kBadItemList = "Invalid arguments. Expected a list of dicts when passing a single argument.";

// Every later get or query decodes ids as strict UTF-8, so an id that is not would be stored but
// never read back: bytes ids are checked here, where the caller can still fix them.
std::string IdText(py::handle value, size_t position) {
  std::string id = py::cast<std::string>(value);
  if ((PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) && !IsUtf8(id)) {
    throw std::invalid_argument("Item id at index " + std::to_string(position) + " is not valid UTF-8.");
  }
  return id;
}

std::vector<uint8_t> ToBytes(const std::string& text) { return {text.begin(), text.end()}; }

void RunUpsert(EncryptedIndex& index, const FloatMatrix& vectors, const std::vector<std::string>& ids,
               const std::vector<ostrik::Bytes>& contents, const std::vector<std::string>& metadata) {
  py::gil_scoped_release release;
  index.Upsert(vectors, ids, contents, metadata);
}

void UpsertPair(EncryptedIndex& index, const py::object& arg1, const py::object& arg2) {
  if (!py::isinstance<py::array>(arg2)) {
    throw std::invalid_argument("Second argument must be a numpy array for vectors.");
  }
  if (py::str(arg2.attr("dtype")).cast<std::string>() != "float32") {
    throw std::invalid_argument("vectors must be float32.");
  }

  std::vector<std::string> ids;
  if (PyList_Check(arg1.ptr())) {
    const py::list items = ListSnapshot(arg1);
    ids.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) ids.push_back(IdText(items[i], i));
  } else if (py::isinstance<py::array>(arg1)) {
    if (py::reinterpret_borrow<py::array>(arg1).ndim() != 1) throw std::invalid_argument("ids array must be 1D.");
    const py::list values = arg1.attr("tolist")();
    ids.reserve(values.size());
    for (const py::handle value : values) ids.push_back(py::str(value).cast<std::string>());
  } else {
    throw std::invalid_argument(kBadPairArguments);
  }

  const FloatMatrix vectors = NumpyToMatrix(py::array_t<float, py::array::forcecast>(arg2), false);
  RunUpsert(index, vectors, ids, {}, {});
}

// Fills the rows of the items at `positions` with the model's embeddings of `texts`.
void EmbedTexts(const std::string& model_name, const std::vector<std::string>& texts,
                const std::vector<size_t>& positions, std::vector<std::vector<float>>& rows) {
  if (model_name.empty()) throw std::invalid_argument(kNoModel);
  py::gil_scoped_acquire hold;
  const py::object model = LoadEmbeddingModel(model_name);
  try {
    if (texts.size() == 1) {
      const py::object embedding = model.attr("encode")(py::str(texts[0]), py::arg("convert_to_numpy") = true);
      rows[positions[0]] = embedding.cast<std::vector<float>>();
      return;
    }
    py::list batch;
    for (const auto& text : texts) batch.append(py::str(text));
    py::array embeddings(model.attr("encode")(batch, py::arg("convert_to_numpy") = true));
    if (!embeddings.attr("flags").attr("c_contiguous").cast<bool>()) embeddings = py::array(embeddings.attr("copy")());
    if (embeddings.ndim() != 2) {
      throw std::invalid_argument("Expected 2D array from batch encoding, got " + std::to_string(embeddings.ndim()) +
                                  "D");
    }
    if (static_cast<size_t>(embeddings.shape(0)) != texts.size()) {
      throw std::invalid_argument("Mismatch between number of embeddings returned and texts provided.");
    }
    const py::array_t<float, py::array::c_style | py::array::forcecast> values(embeddings);
    const auto width = static_cast<size_t>(embeddings.shape(1));
    for (size_t k = 0; k < texts.size(); ++k) {
      const float* row = values.data() + k * width;
      rows[positions[k]].assign(row, row + width);
    }
  } catch (const py::error_already_set& e) {
    throw std::runtime_error(std::string("Failed to process batch embeddings: ") + FailureText(e));
  }
}

void UpsertItems(EncryptedIndex& index, const py::object& arg1) {
  if (!PyList_Check(arg1.ptr()) || PyList_GET_SIZE(arg1.ptr()) == 0 || !PyDict_Check(PyList_GET_ITEM(arg1.ptr(), 0))) {
    throw std::invalid_argument(kBadItemList);
  }
  // A snapshot of the list and of every item as a plain dict, each an owned reference: converting
  // an item runs the caller's code (a mapping's keys() or __getitem__, a sequence's __iter__),
  // which may change the caller's list, but not these.
  const py::list list_snapshot = ListSnapshot(arg1);
  const py::object dumps = py::module_::import("json").attr("dumps");
  const std::optional<std::string> model_name = IndexModelName(index);
  const py::handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));

  const size_t n = list_snapshot.size();
  std::vector<py::dict> items;
  std::vector<std::string> ids;
  std::vector<std::vector<float>> rows;
  std::vector<ostrik::Bytes> contents;
  std::vector<std::string> metadata;
  std::vector<std::string> texts;
  std::vector<size_t> text_positions;
  items.reserve(n);
  ids.reserve(n);
  rows.reserve(n);
  contents.reserve(n);
  metadata.reserve(n);
  bool has_metadata = false;

  for (size_t i = 0; i < n; ++i) {
    items.emplace_back(dict_type(list_snapshot[i]));
    const py::dict& item = items.back();
    if (!item.contains("id")) throw std::invalid_argument("Each dictionary must contain an 'id' key.");
    ids.push_back(IdText(item["id"], i));
    rows.emplace_back();

    const bool has_vector = item.contains("vector");
    const bool has_contents = item.contains("contents");
    const py::object given = has_contents ? py::object(item["contents"]) : py::object();
    if (!has_vector && has_contents) {
      if (!PyUnicode_Check(given.ptr())) {
        throw std::invalid_argument("'contents' must be of `str` type for auto-embedding.");
      }
      texts.push_back(given.cast<std::string>());
      text_positions.push_back(i);
    }
    if (!has_contents) {
      contents.emplace_back();
    } else if (PyBytes_Check(given.ptr()) || PyUnicode_Check(given.ptr())) {
      contents.push_back(ToBytes(given.cast<std::string>()));
    } else {
      throw std::invalid_argument("'contents' must be of type `bytes` or `str`.");
    }

    const py::object value = item.contains("metadata") ? py::object(item["metadata"]) : py::none();
    if (value.is_none()) {
      metadata.emplace_back();
    } else {
      // NaN and infinities would be stored as text that no JSON reader accepts.
      metadata.push_back(py::str(dumps(dict_type(value), py::arg("allow_nan") = false)).cast<std::string>());
      has_metadata = true;
    }
  }

  for (size_t i = 0; i < n; ++i) {
    const py::dict& item = items[i];
    if (item.contains("vector")) {
      rows[i] = py::cast<std::vector<float>>(item["vector"]);
    } else if (!item.contains("contents")) {
      throw std::invalid_argument("Item at index " + std::to_string(i) +
                                  " is missing both 'vector' and 'contents' fields.");
    }
  }

  if (!texts.empty()) {
    if (!model_name) {
      // A deleted index has no model to embed with: the native upsert refuses it as it refuses
      // every upsert then.
      RunUpsert(index, FloatMatrix{}, ids, contents, metadata);
      return;
    }
    EmbedTexts(*model_name, texts, text_positions, rows);
  }
  if (!has_metadata) metadata.clear();
  const FloatMatrix vectors = NestedListToMatrix(rows);
  RunUpsert(index, vectors, ids, contents, metadata);
}

}  // namespace

void UpsertBinding(EncryptedIndex& index, const py::object& arg1, const py::object& arg2) {
  try {
    if (arg2.is_none()) {
      UpsertItems(index, arg1);
    } else {
      UpsertPair(index, arg1, arg2);
    }
  } catch (const std::exception& e) {
    throw py::value_error(FailureText(e));
  }
}

}  // namespace dodezero_vizu
