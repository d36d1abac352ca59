// Opening an index that exists elsewhere: reopening one kept in PostgreSQL or Redis stores, and
// building an in-memory index from serialized bytes.
#include <stdexcept>

#include "index/assembly.h"
#include "index/client.h"
#include "index/serialized_index.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

using ostrik_encrypted_index::internal::token_store::kIndexConfigSuffix;
using ostrik_encrypted_index::internal::token_store::TokenIndex;

// What a stored engine state must agree with before any operation may rely on it: an engine of
// another shape would hand out lists and payloads the index cannot read.
std::string CheckEngineMatches(const TokenIndex& engine, const IndexConfig& config) {
  if (engine.tree_depth_ <= 0) return "its label tree depth is " + std::to_string(engine.tree_depth_);
  if (engine.vocab_size_ < 0 || static_cast<uint64_t>(engine.vocab_size_) != config.n_lists()) {
    return "it keeps " + std::to_string(engine.vocab_size_) + " lists for a configuration of " +
           std::to_string(config.n_lists());
  }
  if (engine.payload_size_ != config.dimension() * 4) {
    return "its payloads are " + std::to_string(engine.payload_size_) + " bytes for vectors of dimension " +
           std::to_string(config.dimension());
  }
  return "";
}

}  // namespace

std::unique_ptr<EncryptedIndex> Client::LoadIndex(const std::string& index_name, const IndexKey& index_key,
                                                  std::optional<uint64_t> max_cache_size, Logger* logger) {
  logger = ChooseLogger(logger);
  CheckCpuThreads(cpu_threads_);
  for (const DBConfig* location : {&index_location_, &config_location_, &items_location_, &data_location_}) {
    if (location->location == MEMORY) {
      throw std::invalid_argument("Memory location is not supported for loading an existing index.");
    }
  }
  if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");

  IndexSetup setup = BaseSetup(index_name, index_key, index_location_, config_location_, items_location_,
                               data_location_, cpu_threads_, gpu_accelerate_);
  setup.max_cache_size = max_cache_size;

  std::unique_ptr<EncryptedIndex> index(new EncryptedIndex(index_name, index_key, Quantizers{}, false, logger));
  index->token_index_ = TokenIndex::Load(setup, logger);

  SerializedIndex stored = ReadSerializedIndex(index->token_index_->LoadConfig(index_name + kIndexConfigSuffix));
  // The store is not trusted: a serialized index of another name or shape is refused, not used.
  std::string problem;
  if (stored.index_name != index_name) {
    problem = "it names the index '" + stored.index_name + "'";
  } else if (std::string shape = CheckIndexShape(*stored.config, stored.quantizers, stored.is_trained); !shape.empty()) {
    problem = shape;
  } else {
    problem = CheckEngineMatches(*index->token_index_, *stored.config);
  }
  if (!problem.empty()) {
    const std::string message = "The stored index '" + index_name + "' is inconsistent: " + problem;
    index->log().error(message);
    throw std::runtime_error(message);
  }
  index->index_name_ = std::move(stored.index_name);
  index->index_config_ = std::move(stored.config);
  *index->quantizers_ = std::move(stored.quantizers);
  index->is_trained_ = stored.is_trained;

  // An interrupted write is finished before the index is handed out, and an index stored before
  // heads existed gets one, so that every process sharing it from now on sees the others' work.
  const auto head = index->token_index_->head();
  if (head.present) index->epoch_ = head.epoch;
  if (head.pending || !head.present) {
    EncryptedIndex::Writing writing(*index, head.present);
    if (!head.present) writing.Commit();
  }
  return index;
}

std::unique_ptr<EncryptedIndex> Client::LoadSerializedIndex(const Bytes& serialized_index, const IndexKey& index_key,
                                                            Logger* logger) {
  Logger* singleton = &Logger::instance();
  ChooseLogger(logger == nullptr ? nullptr : singleton);
  CheckCpuThreads(cpu_threads_);

  SerializedIndex read = ReadSerializedIndex(serialized_index);
  for (const DBConfig* location : {&index_location_, &config_location_, &items_location_, &data_location_}) {
    if (location->location != MEMORY) {
      throw std::invalid_argument("All locations must be of type Memory for TrainAndSerialize.");
    }
  }
  // Bytes from outside are checked like stored ones; the index's own checks below report an
  // empty name or a zero dimension or list count with their usual texts.
  if (read.config->dimension() != 0 && read.config->n_lists() != 0) {
    if (const std::string shape = CheckIndexShape(*read.config, read.quantizers, read.is_trained); !shape.empty()) {
      throw std::invalid_argument("Could not deserialize index config: " + shape);
    }
  }

  IndexSetup setup = BaseSetup(read.index_name, index_key, index_location_, config_location_, items_location_,
                               data_location_, cpu_threads_, gpu_accelerate_);
  setup.max_cache_size = 0;
  setup.tree_depth = 32;
  setup.vocab_size = static_cast<int32_t>(read.config->n_lists());
  setup.payload_size = read.config->dimension() * 4;

  std::unique_ptr<EncryptedIndex> index(
      new EncryptedIndex(read.index_name, index_key, std::move(read.quantizers), read.is_trained, singleton));
  try {
    index->Assemble(*read.config, setup);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Failed to create index from serialized config: ") + e.what());
  }
  return index;
}

}  // namespace ostrik
