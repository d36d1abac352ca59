// DBConfig, IndexConfig and IndexIVFFlat: thin adapters over the records of core/config.h. The
// native constructors map the location and metric texts and throw std::invalid_argument
// ("Unknown DB location: ", "Invalid distance metric: "), which Python sees as ValueError. A
// DBConfig call that does not convert is refused without echoing its connection string, and an
// unknown location text (a connection string in the wrong place) comes back without its password.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "python/bindings.h"
#include "python/config_texts.h"
#include "python/private_arguments.h"
#include "stores/connection_secrets.h"

namespace py = pybind11;

namespace dodezero_vizu {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using ostrik::DBConfig;
using ostrik::IndexConfig;
using ostrik::IndexIVFFlat;

void BindDBConfig(py::module_& m) {
  py::class_<DBConfig, std::unique_ptr<DBConfig>> cls(m, "DBConfig");
  // A connection string may carry a password: a refused call must not echo it (private_arguments.h).
  const std::string optional_text = SignatureTypeText<std::optional<std::string>>();
  DefPrivateInit(cls,
                 PrivateSignature("__init__", SignatureTypeText<DBConfig>(),
                                  {{"location", SignatureTypeText<std::string>(), {}},
                                   {"table_name", optional_text, py::none()},
                                   {"connection_string", optional_text, py::none()}},
                                  "None"),
                 [](const PrivateSignature& s, const std::vector<py::object>& a) {
                   auto location = s.Convert<std::string>(a, 1);
                   auto table_name = s.Convert<std::optional<std::string>>(a, 2);
                   auto connection_string = s.Convert<std::optional<std::string>>(a, 3);
                   try {
                     return std::make_unique<DBConfig>(location, std::move(table_name), std::move(connection_string));
                   } catch (const std::invalid_argument& e) {
                     // A connection string given as the location comes back without its password.
                     throw std::invalid_argument(bs::RedactSecrets(e.what(), bs::ConnectionSecrets(location)));
                   }
                 });
}

void BindIndexConfigs(py::module_& m) {
  py::class_<IndexConfig, std::shared_ptr<IndexConfig>>(
      m, "IndexConfig",
      "Abstract base class for index configurations. This class provides the core properties of an index "
      "configuration, including dimension, distance metric and index type")
      .def_property_readonly(
          "dimension", [](const IndexConfig& c) { return c.dimension(); },
          "Get the vector dimensionality.\n\nReturns:\n    int: The dimensionality of the vectors stored in the index.")
      .def_property_readonly(
          "metric", [](const IndexConfig& c) { return MetricText(c.metric); },
          "Get the distance metric used in the index.\n\nReturns:\n    string: The distance metric (euclidean, "
          "cosine, or squared_euclidean).")
      .def_property_readonly(
          "index_type", [](const IndexConfig& c) { return IndexTypeText(c.index_type); },
          "Get the index type.\n\nReturns:\n    str: The index type as a lowercase string (ivfflat).")
      .def(
          "n_lists", [](const IndexConfig& c) { return c.n_lists(); },
          "Get the number of lists (coarse clusters) in the index.\n\nReturns:\n    int: The number of lists.")
      .def(
          "pq_dim", [](const IndexConfig& c) { return c.pq_dim(); },
          "Get the Product Quantization (PQ) dimension, if applicable.\n\nReturns:\n    int: The PQ dimension, or 0 "
          "if not applicable.")
      .def(
          "pq_bits", [](const IndexConfig& c) { return c.pq_bits(); },
          "Get the number of bits per PQ code, if applicable.\n\nReturns:\n    int: The number of bits per PQ code, "
          "or 0 if not applicable.")
      .def(
          "clone", [](const IndexConfig& c) { return std::shared_ptr<IndexConfig>(c.clone()); },
          "Clone this IndexConfig object.\n\nReturns:\n    IndexConfig: A unique pointer to a cloned IndexConfig "
          "object.");

  py::class_<IndexIVFFlat, IndexConfig, std::shared_ptr<IndexIVFFlat>>(
      m, "IndexIVFFlat", "Configuration for an IVFFlat index, which uses flat quantization for coarse clustering.")
      .def(py::init<uint64_t, uint64_t, const std::string&>(), py::arg("dimension"), py::arg("n_lists"),
           py::arg("metric") = "euclidean",
           "Initialize the IVFFlat index configuration.\n\nParameters:\n    dimension (int): Dimensionality of the "
           "vectors.\n    n_lists (int): Number of coarse clusters (lists).\n    metric (string): Distance metric "
           "(euclidean, cosine, or squared_euclidean), default is euclidean.\n")
      .def(
          "n_lists", [](const IndexIVFFlat& c) { return c.n_lists(); },
          "Get the number of lists in the IVFFlat index.\n\nReturns:\n    int: The number of coarse clusters (lists) "
          "in the index.");
}

}  // namespace dodezero_vizu
