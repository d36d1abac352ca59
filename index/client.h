// Client: where the four stores of an index live (index, config, items; the data store shares the
// index location), and the CPU thread count and GPU request handed to every index it opens. It
// creates new indexes, reopens stored ones, builds in-memory indexes from serialized bytes and
// lists the index names kept in its config location.
//
// Constructing a Client contacts no store and checks nothing: a thread count outside 0 (the
// OpenMP default) to kMaxCpuThreads (core/thread_scope.h) is refused by each operation that opens
// an index, with std::invalid_argument. Failures are exceptions with the documented types and
// texts; a failed create or load leaves no index object behind.
//
// Thread-safety: a Client holds only configuration that nothing changes; any thread may use it.
// Creating or loading an index sets the module-wide current_logger and engine_logger.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "core/matrix.h"
#include "index/encrypted_index.h"

namespace ostrik {

class Client {
 public:
  Client(const DBConfig& index_location, const DBConfig& config_location, const DBConfig& items_location,
         int32_t cpu_threads = 0, bool gpu_accelerate = false);

  // A new index named `index_name`, keyed by `index_key`, shaped by `index_config`. A null logger
  // selects the singleton, reconfigured to ERROR on the console. Argument errors are
  // std::invalid_argument; anything failing after that is std::runtime_error
  // "Failed to create index: " + message.
  std::unique_ptr<EncryptedIndex> CreateIndex(const std::string& index_name, const IndexKey& index_key,
                                              const IndexConfig& index_config,
                                              std::optional<uint64_t> max_cache_size, Logger* logger);

  // Reopens an index kept in PostgreSQL or Redis stores. Failures pass through unwrapped.
  std::unique_ptr<EncryptedIndex> LoadIndex(const std::string& index_name, const IndexKey& index_key,
                                            std::optional<uint64_t> max_cache_size, Logger* logger);

  // A new in-memory index (no items) from serialized bytes; every location must be MEMORY. The
  // logger is always the singleton (reconfigured when `logger` is null). Bad bytes are
  // std::invalid_argument; assembly failures std::runtime_error
  // "Failed to create index from serialized config: " + message.
  std::unique_ptr<EncryptedIndex> LoadSerializedIndex(const Bytes& serialized_index, const IndexKey& index_key,
                                                      Logger* logger);

  // The indexes whose serialized configuration the config location holds: a PostgreSQL table is
  // listed, a memory location holds none; Redis is refused with std::invalid_argument.
  std::vector<std::string> ListIndexes() const;

  int32_t cpu_threads() const { return cpu_threads_; }
  bool gpu_accelerate() const { return gpu_accelerate_; }

 private:
  DBConfig index_location_;
  DBConfig config_location_;
  DBConfig items_location_;
  DBConfig data_location_;  // always a copy of index_location_
  int32_t cpu_threads_;
  bool gpu_accelerate_;
};

}  // namespace ostrik
