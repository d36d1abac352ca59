// MergeResults: lays cached (hit) and freshly fetched (miss) item lists out in request order as one
// ItemRecords, and hands each fetched list to the token cache.
//
// Every failure, whatever its kind, is logged at ERROR through engine_logger and thrown as one
// std::runtime_error "Error in MergeResults: " + message + " current_result_index: " + position.
// Runs on the calling thread; modifies the cache without a lock.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.h"
#include "token_store/token_cache.h"

namespace ostrik_encrypted_index::internal::token_store {

// cache_miss_result: missed token m owns rows [token_indices[m], token_indices[m + 1]); its ids and
// metadata are moved out. cache_miss_data_labels: one data label per fetched row (may be empty:
// the cached items then carry label 0). merged_results.token_indices is (re)sized to n + 1.
void MergeResults(const std::vector<uint32_t>& query_tokens, const std::vector<bool>& hit_and_miss,
                  const std::vector<std::vector<TokenItem>>& cache_hit, const std::vector<uint32_t>& cache_misses,
                  ostrik::ItemRecords& cache_miss_result, const std::vector<uint64_t>& cache_miss_data_labels,
                  uint64_t num_results, uint64_t payload_size, ostrik::ItemRecords& merged_results,
                  TokenCache& cache);

}  // namespace ostrik_encrypted_index::internal::token_store
