#include "index/client.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "core/thread_scope.h"
#include "index/assembly.h"
#include "index/serialized_index.h"
#include "stores/postgres_index_listing.h"

namespace ostrik {
namespace {

bool IsZeroKey(const IndexKey& key) {
  return std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

void CheckCpuThreads(int32_t cpu_threads) {
  if (cpu_threads < 0 || cpu_threads > kMaxCpuThreads) {
    throw std::invalid_argument("cpu_threads must be between 0 (the OpenMP default) and " +
                                std::to_string(kMaxCpuThreads) + ", not " + std::to_string(cpu_threads) + ".");
  }
}

IndexSetup BaseSetup(const std::string& name, const IndexKey& key, const DBConfig& index_location,
                     const DBConfig& config_location, const DBConfig& items_location, const DBConfig& data_location,
                     int32_t cpu_threads, bool gpu_accelerate) {
  IndexSetup setup;
  setup.index_name = name;
  setup.index_key = key;
  setup.index_location = index_location;
  setup.config_location = config_location;
  setup.items_location = items_location;
  setup.data_location = data_location.location == NONE ? index_location : data_location;
  setup.cpu_threads = cpu_threads;
  setup.gpu_accelerate = gpu_accelerate;
  return setup;
}

Client::Client(const DBConfig& index_location, const DBConfig& config_location, const DBConfig& items_location,
               int32_t cpu_threads, bool gpu_accelerate)
    : index_location_(index_location),
      config_location_(config_location),
      items_location_(items_location),
      data_location_(index_location),
      cpu_threads_(cpu_threads),
      gpu_accelerate_(gpu_accelerate) {}

std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string& index_name, const IndexKey& index_key,
                                                    const IndexConfig& index_config,
                                                    std::optional<uint64_t> max_cache_size, Logger* logger) {
  logger = ChooseLogger(logger);
  CheckCpuThreads(cpu_threads_);
  if (index_name.size() > 255) throw std::invalid_argument("Index name cannot be longer than 255 characters.");
  if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
  if (IsZeroKey(index_key)) throw std::invalid_argument("Index key cannot be an empty array.");
  if (index_config.n_lists() == 0) throw std::invalid_argument("n_lists cannot be 0.");
  if (index_config.dimension() == 0) throw std::invalid_argument("Vector dimension cannot be 0.");
  if (static_cast<uint32_t>(index_config.metric) > 2) {
    throw std::invalid_argument("Index metric must be Cosine, Euclidean or SquaredEuclidean.");
  }
  // The list count travels as a signed 32-bit count and the dimension as an unsigned one.
  if (const std::string shape = CheckIndexShape(index_config, Quantizers{}, false); !shape.empty()) {
    throw std::invalid_argument(shape);
  }

  IndexSetup setup = BaseSetup(index_name, index_key, index_location_, config_location_, items_location_,
                               data_location_, cpu_threads_, gpu_accelerate_);
  setup.max_cache_size = max_cache_size;
  setup.tree_depth = 32;
  setup.vocab_size = static_cast<int32_t>(index_config.n_lists());
  setup.payload_size = index_config.dimension() * 4;

  std::unique_ptr<EncryptedIndex> index(new EncryptedIndex(index_name, index_key, Quantizers{}, false, logger));
  try {
    index->log().info("EncryptedIndex created with new index configuration");
    index->Assemble(index_config, setup);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Failed to create index: ") + e.what());
  }
  return index;
}

std::vector<std::string> Client::ListIndexes() const {
  switch (config_location_.location) {
    case MEMORY:
      return {};  // a memory config store keeps no config items
    case POSTGRES:
      try {
        return ostrik_encrypted_index::internal::backing_store::ListPostgresIndexes(config_location_);
      } catch (const std::exception& e) {
        std::cerr << "Error in ListIndexes for Postgres: " << e.what() << std::endl;
        throw std::invalid_argument(e.what());
      }
    default:
      throw std::invalid_argument("Listing indexes needs a PostgreSQL or memory config location.");
  }
}

}  // namespace ostrik
