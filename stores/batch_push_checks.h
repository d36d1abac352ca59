// The argument checks that every store makes before a BatchPushItems writes anything: at least one
// key, one matrix row per key, rows of exactly value_size bytes, and data that holds them all.
//
// Throws std::invalid_argument with the stores' shared texts, after an ERROR line through
// engine_logger. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/logger.h"
#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::backing_store {

// store_name names the store in the INFO line ("Memory", "Postgres", "Redis"); the Redis store
// writes the amounts of its ERROR line without parentheses.
inline void CheckBatchPush(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values, uint64_t value_size,
                           const char* store_name, bool parenthesised_amounts = true) {
  using ostrik::EngineLogger;
  const uint64_t n = keys.size();
  EngineLogger().info("Pushing " + std::to_string(n) + " items to " + store_name);
  if (n == 0) {
    EngineLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.rows != n) {
    EngineLogger().error("Mismatch between number of keys (" + std::to_string(n) + ") and batch size (" +
                         std::to_string(values.rows) + ")");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
  // With rows == n > 0 a width other than value_size is the only way the two totals can differ; a
  // matrix whose data is shorter than its shape would be read past its end.
  if (values.cols != value_size || values.data.size() < values.rows * values.cols) {
    const std::string amount = std::to_string(values.rows * values.cols);
    const std::string expected = std::to_string(n * value_size);
    EngineLogger().error(parenthesised_amounts
                             ? "Amount of data (" + amount + ") must be divisible by the size of each value (" +
                                   expected + ")"
                             : "Amount of data " + amount + " must be divisible by the size of each value " + expected);
    throw std::invalid_argument("Amount of data must be divisible by the size of each value");
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
