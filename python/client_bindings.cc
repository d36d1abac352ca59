// Client: its constructor, index creation (with the optional embedding model that fixes the
// dimension), loading by name or from serialized bytes, and listing. Each member maps native
// failures its own way (create_index, load_serialized_index and list_indexes turn
// std::runtime_error into ValueError, load_index keeps RuntimeError). These members keep the
// interpreter lock: they touch no open index, and creation and loading set the module-wide
// loggers, which must not race with another creation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "core/matrix.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "python/bindings.h"
#include "python/embedding.h"
#include "python/native_texts.h"
#include "python/private_arguments.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

using ostrik::Client;
using ostrik::EncryptedIndex;
using ostrik::IndexConfig;
using ostrik::IndexIVFFlat;
using ostrik::IndexKey;
using ostrik::Logger;

// None selects the singleton reconfigured by the index layer; anything else must be the Logger
// (pybind11's cast_error, a std::runtime_error, otherwise).
Logger* ToLogger(const py::object& logger) {
  if (logger.is_none()) return nullptr;
  return logger.cast<Logger*>();
}

// The caller's configuration rebuilt around the model: its metric and list count, the model's
// dimension and name. The caller's object is left as it was.
std::shared_ptr<IndexConfig> ConfigForModel(const std::shared_ptr<IndexConfig>& config, const std::string& model) {
  py::object embedder = LoadEmbeddingModel(model);
  py::object dimension = embedder.attr("get_sentence_embedding_dimension")();
  if (dimension.is_none()) throw std::runtime_error("Unable to determine embedding dimension for model: " + model);
  const auto width = dimension.cast<int32_t>();
  const auto* ivf = dynamic_cast<const IndexIVFFlat*>(config.get());
  if (ivf == nullptr) throw std::runtime_error("Unknown IndexConfig type: Cannot modify dimension.");
  auto rebuilt = std::make_shared<IndexIVFFlat>(0, ivf->n_lists());
  rebuilt->dimension_ = static_cast<uint64_t>(static_cast<int64_t>(width));
  rebuilt->metric = ivf->metric;
  rebuilt->embedding_model = model;
  return rebuilt;
}

std::unique_ptr<EncryptedIndex> CreateIndexBinding(Client& client, const std::string& index_name,
                                                   const IndexKey& index_key,
                                                   const std::shared_ptr<IndexConfig>& index_config,
                                                   const std::optional<std::string>& embedding_model,
                                                   std::optional<uint64_t> max_cache_size, const py::object& logger) {
  try {
    // The name comes back as str (index_name(), list_indexes()) and in every message about the
    // index: bytes that do not decode could never be read back.
    if (!IsUtf8(index_name)) throw std::invalid_argument("Index name is not valid UTF-8.");
    Logger* native_logger = ToLogger(logger);
    if (!embedding_model || embedding_model->empty()) {
      if (!index_config) throw std::invalid_argument("index_config cannot be None");
      return client.CreateIndex(index_name, index_key, *index_config, max_cache_size, native_logger);
    }
    py::gil_scoped_acquire hold;
    const std::shared_ptr<IndexConfig> config = ConfigForModel(index_config, *embedding_model);
    return client.CreateIndex(index_name, index_key, *config, max_cache_size, native_logger);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

std::unique_ptr<EncryptedIndex> LoadIndexBinding(Client& client, const std::string& index_name,
                                                 const IndexKey& index_key, std::optional<uint64_t> max_cache_size,
                                                 const py::object& logger) {
  try {
    return client.LoadIndex(index_name, index_key, max_cache_size, ToLogger(logger));
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(e.what());
  }
}

std::unique_ptr<EncryptedIndex> LoadSerializedIndexBinding(Client& client, const py::bytes& serialized_index,
                                                           const IndexKey& index_key, const py::object& logger) {
  char* buffer = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(serialized_index.ptr(), &buffer, &length) != 0) throw py::error_already_set();
  const ostrik::Bytes bytes(buffer, buffer + length);
  try {
    return client.LoadSerializedIndex(bytes, index_key, ToLogger(logger));
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

// The locations arrive as pointers so that None reaches this body: a location is required, and
// None is refused with the name of the argument that was None.
std::unique_ptr<Client> NewClient(const ostrik::DBConfig* index_location, const ostrik::DBConfig* config_location,
                                  const ostrik::DBConfig* items_location, int32_t cpu_threads, bool gpu_accelerate) {
  const std::pair<const ostrik::DBConfig*, const char*> locations[] = {
      {index_location, "index_location"}, {config_location, "config_location"}, {items_location, "items_location"}};
  for (const auto& [location, name] : locations) {
    if (location == nullptr) throw py::type_error(std::string("Client(): ") + name + " must be a DBConfig, not None.");
  }
  return std::make_unique<Client>(*index_location, *config_location, *items_location, cpu_threads, gpu_accelerate);
}

std::vector<std::string> ListIndexesBinding(const Client& client) {
  try {
    return client.ListIndexes();
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

}  // namespace

void BindClient(py::module_& m) {
  py::class_<Client, std::unique_ptr<Client>> cls(m, "Client");
  cls.def(py::init(&NewClient), py::arg("index_location"), py::arg("config_location"), py::arg("items_location"),
          py::arg("cpu_threads") = 0, py::arg("gpu_accelerate") = false,
          "Initialize a new client.\n\n"
          "Nothing is contacted or checked here: the stores are opened when an index is created or loaded.\n\n"
          "Parameters:\n"
          "    index_location (DBConfig): Where the index store (list labels, counts, metadata summaries)\n"
          "        and the item records are kept.\n"
          "    config_location (DBConfig): Where the index configurations are kept; list_indexes() reads it.\n"
          "    items_location (DBConfig): Where the encrypted item contents are kept.\n"
          "    cpu_threads (int): OpenMP threads each index this client opens runs its parallel work on,\n"
          "        from 0 to 1024; 0 (the default) keeps the OpenMP default (OMP_NUM_THREADS when set,\n"
          "        else one per core). The count is checked when an index is created or loaded.\n"
          "    gpu_accelerate (bool): Request GPU kernels; this build has none, so operations that need\n"
          "        them fail (default False).\n\n"
          "Raises:\n"
          "    TypeError: If a location is None or not a DBConfig, or cpu_threads is not a 32-bit int.\n\n"
          "Example:\n"
          "    >>> index_location = DBConfig('postgres', table_name='index_table',\n"
          "    ...                           connection_string='host=localhost dbname=vectors')\n"
          "    >>> config_location = DBConfig('postgres', table_name='config_table',\n"
          "    ...                            connection_string='host=localhost dbname=vectors')\n"
          "    >>> items_location = DBConfig('memory')\n"
          "    >>> client = Client(index_location=index_location, config_location=config_location,\n"
          "    ...                 items_location=items_location, cpu_threads=4, gpu_accelerate=False)\n")
      .def("list_indexes", &ListIndexesBinding,
           "List the names of all encrypted indexes reachable through this client.\n\n"
           "Only a PostgreSQL config location keeps a listing; a memory location holds none.\n\n"
           "Returns:\n"
           "    list[str]: The index names.\n\n"
           "Raises:\n"
           "    ValueError: If the listing fails or the locations cannot be listed.\n\n"
           "Example:\n"
           "    >>> for name in client.list_indexes():\n"
           "    ...     print(name)\n");

  // The members that take the index key bind their own arguments (see private_arguments.h).
  // EncryptedIndex is registered after Client, so its name is written out for help().
  const std::string self_type = SignatureTypeText<Client>();
  const std::string index_type = m.attr("__name__").cast<std::string>() + ".EncryptedIndex";
  const PrivateParameter name{"index_name", SignatureTypeText<std::string>(), {}};
  const PrivateParameter key{"index_key", SignatureTypeText<IndexKey>(), {}};
  const PrivateParameter cache{"max_cache_size", SignatureTypeText<std::optional<uint64_t>>(), py::int_(0)};
  const PrivateParameter logger{"logger", SignatureTypeText<py::object>(), py::none()};

  DefPrivate(cls,
             PrivateSignature("create_index", self_type,
                              {name,
                               key,
                               {"index_config", SignatureTypeText<std::shared_ptr<IndexConfig>>(), {}},
                               {"embedding_model", SignatureTypeText<std::optional<std::string>>(), py::none()},
                               cache,
                               logger},
                              index_type),
             "Create a new encrypted index and return it.\n\n"
             "Parameters:\n"
             "    index_name (str): Name of the index (1 to 255 bytes of UTF-8).\n"
             "    index_key (bytes or list[int]): The 32-byte key that protects the index; not all zero.\n"
             "    index_config (IndexConfig): Shape and distance metric of the index, e.g. IndexIVFFlat.\n"
             "    embedding_model (str, optional): Name of a SentenceTransformer model used to embed text\n"
             "        contents and text queries; its output dimension replaces the configuration's.\n"
             "    max_cache_size (int, optional): Capacity of the list cache (default 0: no cache).\n"
             "    logger (Logger, optional): Logger.instance() to keep its settings; None resets it to\n"
             "        errors on the console.\n\n"
             "Returns:\n"
             "    EncryptedIndex: The new index.\n\n"
             "Raises:\n"
             "    TypeError: If an argument has the wrong type (a key that is not 32 integers from 0 to\n"
             "        255, a negative cache size); the text never shows the arguments' values.\n"
             "    ValueError: If an argument is refused (a name given as bytes that are not UTF-8, the\n"
             "        client's cpu_threads outside 0 to 1024), the model cannot be used, or creation fails\n"
             "        (for instance a name that already exists in a PostgreSQL or Redis location).\n"
             "    Exception: Whatever the model's get_sentence_embedding_dimension() raises passes\n"
             "        unchanged.\n\n"
             "Example:\n"
             "    >>> config = IndexIVFFlat(dimension=1024, n_lists=128, metric=\"euclidean\")\n"
             "    >>> index = client.create_index('products', bytes(range(32)), config)\n",
             [](const PrivateSignature& s, const std::vector<py::object>& a) {
               Client& client = s.SelfOf<Client>(a);
               const auto index_name = s.Convert<std::string>(a, 1);
               const auto index_key = s.Convert<IndexKey>(a, 2);
               const auto index_config = s.Convert<std::shared_ptr<IndexConfig>>(a, 3);
               const auto embedding_model = s.Convert<std::optional<std::string>>(a, 4);
               const auto max_cache_size = s.Convert<std::optional<uint64_t>>(a, 5);
               return CreateIndexBinding(client, index_name, index_key, index_config, embedding_model, max_cache_size,
                                         a[6]);
             });

  DefPrivate(cls, PrivateSignature("load_index", self_type, {name, key, cache, logger}, index_type),
             "Load an existing encrypted index by name and return it.\n\n"
             "Parameters:\n"
             "    index_name (str): Name of the stored index.\n"
             "    index_key (bytes or list[int]): The 32-byte key the index was created with.\n"
             "    max_cache_size (int, optional): Capacity of the list cache (default 0: no cache).\n"
             "    logger (Logger, optional): Logger.instance(), or None to reset it to errors on the console.\n\n"
             "Returns:\n"
             "    EncryptedIndex: The loaded index.\n\n"
             "Raises:\n"
             "    TypeError: If an argument has the wrong type (a key that is not 32 integers from 0 to\n"
             "        255, a negative cache size); the text never shows the arguments' values.\n"
             "    ValueError: If the client's cpu_threads is outside 0 to 1024, the name is empty, a location\n"
             "        is memory, or a stored record of the index is empty, shorter than a sealed value (28\n"
             "        bytes) or not a readable index configuration.\n"
             "    RuntimeError: If the index does not exist, the key is wrong, a stored record does not\n"
             "        decrypt or its engine state is unreadable, a store fails, or logger is not a Logger.\n\n"
             "Note:\n"
             "    Indexes kept in memory locations cannot be loaded again.\n\n"
             "Example:\n"
             "    >>> index = client.load_index('products', bytes(range(32)))\n",
             [](const PrivateSignature& s, const std::vector<py::object>& a) {
               Client& client = s.SelfOf<Client>(a);
               const auto index_name = s.Convert<std::string>(a, 1);
               const auto index_key = s.Convert<IndexKey>(a, 2);
               const auto max_cache_size = s.Convert<std::optional<uint64_t>>(a, 3);
               return LoadIndexBinding(client, index_name, index_key, max_cache_size, a[4]);
             });

  DefPrivate(cls,
             PrivateSignature("load_serialized_index", self_type,
                              {{"serialized_index", SignatureTypeText<py::bytes>(), {}}, key, logger}, index_type),
             "Internal method to load an encrypted index from serialized data.",
             [](const PrivateSignature& s, const std::vector<py::object>& a) {
               Client& client = s.SelfOf<Client>(a);
               const auto serialized_index = s.Convert<py::bytes>(a, 1);
               const auto index_key = s.Convert<IndexKey>(a, 2);
               return LoadSerializedIndexBinding(client, serialized_index, index_key, a[3]);
             });

  cls.def(
         "get_cpu_threads", [](const Client& client) { return client.cpu_threads(); },
         "Get the number of CPU threads configured for this client.\n\n"
         "Returns:\n"
         "    int: The thread count given to the constructor (0: the OpenMP default).\n\n"
         "Example:\n"
         "    >>> client.get_cpu_threads()\n"
         "    4\n")
      .def(
          "is_gpu_enabled", [](const Client& client) { return client.gpu_accelerate(); },
          "Tell whether GPU acceleration is enabled for this client.\n\n"
          "Returns:\n"
          "    bool: True if GPU acceleration was requested.\n\n"
          "Example:\n"
          "    >>> client.is_gpu_enabled()\n"
          "    False\n");
}

}  // namespace dodezero_vizu
