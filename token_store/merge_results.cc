#include "token_store/merge_results.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "core/logger.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

using ostrik::EngineLogger;

template <typename E>
[[noreturn]] void Fail(const std::string& detail, const std::string& message) {
  EngineLogger().error(detail);
  throw E(message);
}

std::string N(uint64_t v) { return std::to_string(v); }

// Every request position a miss, the fetched groups back to back from row 0 and exactly as many
// rows as the output: the fetched matrix and lists are the output as they stand.
bool CanTakeOverWhole(const std::vector<bool>& hit_and_miss, const ostrik::ItemRecords& miss,
                      uint64_t num_results, uint64_t payload_size) {
  for (bool hit : hit_and_miss) {
    if (hit) return false;
  }
  const auto& ti = miss.token_indices;
  if (ti.size() != hit_and_miss.size() + 1 || ti.front() != 0 || ti.back() != num_results) return false;
  for (size_t i = 1; i < ti.size(); ++i) {
    if (ti[i] < ti[i - 1]) return false;
  }
  return miss.item_ids.size() == num_results && miss.metadata.size() == num_results &&
         miss.payloads.cols == payload_size && miss.payloads.rows == num_results &&
         miss.payloads.data.size() == num_results * payload_size;
}

}  // namespace

void MergeResults(const std::vector<uint32_t>& query_tokens, const std::vector<bool>& hit_and_miss,
                  const std::vector<std::vector<TokenItem>>& cache_hit, const std::vector<uint32_t>& cache_misses,
                  ostrik::ItemRecords& cache_miss_result, const std::vector<uint64_t>& cache_miss_data_labels,
                  uint64_t num_results, uint64_t payload_size, ostrik::ItemRecords& merged_results,
                  TokenCache& cache) {
  uint64_t current_result_index = 0;
  try {
    const uint64_t n = query_tokens.size();
    if (hit_and_miss.size() != n) {
      Fail<std::invalid_argument>(
          "Size mismatch: query_tokens and hit_and_miss must have the same size.\nquery_tokens size: " + N(n) +
              "\nhit_and_miss size: " + N(hit_and_miss.size()),
          "Size mismatch: query_tokens and hit_and_miss must have the same size.");
    }
    uint64_t hits = 0;
    for (bool h : hit_and_miss) hits += h ? 1 : 0;
    const uint64_t misses = n - hits;
    if (!cache_hit.empty() && cache_hit.size() != hits) {
      Fail<std::invalid_argument>("Size mismatch: cache_hit must match the number of hits.\ncache_hit size: " +
                                      N(cache_hit.size()) + "\nhit_and_miss count: " + N(hits),
                                  "Size mismatch: cache_hit must match the number of hits.");
    }
    if (!cache_misses.empty() && cache_misses.size() != misses) {
      Fail<std::invalid_argument>(
          "Size mismatch: cache_misses must match the number of misses.\ncache_misses size: " +
              N(cache_misses.size()) + "\nhit_and_miss count: " + N(misses),
          "Size mismatch: cache_misses must match the number of misses.");
    }

    merged_results.token_indices.assign(n + 1, 0);
    const bool caching = cache.capacity() != 0;
    const auto& miss_ti = cache_miss_result.token_indices;
    const uint64_t fetched = cache_miss_result.item_ids.size();

    if (num_results != 0 && CanTakeOverWhole(hit_and_miss, cache_miss_result, num_results, payload_size) &&
        cache_misses.size() == n) {
      // Nothing to interleave: hand the fetched rows over instead of copying them one by one.
      for (uint64_t m = 0; m < n; ++m) {
        const uint32_t token = cache_misses[m];
        if (caching && !cache.Contains(token)) {
          std::vector<TokenItem> items;
          items.reserve(miss_ti[m + 1] - miss_ti[m]);
          for (uint64_t r = miss_ti[m]; r < miss_ti[m + 1]; ++r) {
            const uint8_t* row = cache_miss_result.payloads.row(r);
            items.push_back(TokenItem{cache_miss_result.item_ids[r], ostrik::Bytes(row, row + payload_size),
                                      cache_miss_result.metadata[r],
                                      r < cache_miss_data_labels.size() ? cache_miss_data_labels[r] : 0});
          }
          cache.Insert(token, std::move(items));
        } else if (caching) {
          cache.Touch(token);
        }
        merged_results.token_indices[m + 1] = miss_ti[m + 1];
      }
      merged_results.item_ids = std::move(cache_miss_result.item_ids);
      merged_results.metadata = std::move(cache_miss_result.metadata);
      merged_results.payloads = std::move(cache_miss_result.payloads);
      return;
    }

    if (num_results != 0) {
      merged_results.item_ids.assign(num_results, std::string());
      merged_results.payloads = ostrik::ByteMatrix(num_results, payload_size);
      merged_results.metadata.assign(num_results, std::string());
    }
    merged_results.token_indices[0] = 0;
    const uint64_t w = cache_miss_result.payloads.cols;
    const uint64_t fetched_bytes = cache_miss_result.payloads.rows * w;
    uint64_t hit_index = 0, miss_index = 0;

    for (uint64_t p = 0; p < n; ++p) {
      if (hit_and_miss[p]) {
        if (hit_index >= cache_hit.size()) {
          Fail<std::out_of_range>("Cache hit index out of bounds.\ncache_hit_index: " + N(hit_index) +
                                      "\ncache_hit.size(): " + N(cache_hit.size()),
                                  "Cache hit index out of bounds.");
        }
        for (const TokenItem& item : cache_hit[hit_index]) {
          if (current_result_index >= num_results) {
            Fail<std::out_of_range>("Exceeded allocated size for merged_results.\ncurrent_result_index: " +
                                        N(current_result_index) + "\nnum_results: " + N(num_results),
                                    "Exceeded allocated size for merged_results.");
          }
          if (item.payload.size() < payload_size) {
            Fail<std::length_error>("Insufficient payload size for item_id: " + item.item_id +
                                        "\ntoken payload size: " + N(item.payload.size()) +
                                        "\npayload_size: " + N(payload_size),
                                    "Insufficient payload size for item_id: " + item.item_id);
          }
          merged_results.item_ids[current_result_index] = item.item_id;
          if (payload_size != 0) {
            std::memcpy(merged_results.payloads.row(current_result_index), item.payload.data(), payload_size);
          }
          merged_results.metadata[current_result_index] = item.metadata;
          ++current_result_index;
        }
        ++hit_index;
      } else {
        if (miss_index >= cache_misses.size()) {
          Fail<std::out_of_range>("Cache miss index out of bounds.\ncache_miss_index: " + N(miss_index) +
                                      "\ncache_misses.size(): " + N(cache_misses.size()),
                                  "Cache miss index out of bounds.");
        }
        if (miss_index + 1 >= miss_ti.size()) {
          Fail<std::out_of_range>("Cache miss token index out of bounds.\ncache_miss_index: " + N(miss_index) +
                                      "\ncache_miss_result.token_indices.size(): " + N(miss_ti.size()),
                                  "Cache miss token index out of bounds.");
        }
        const uint32_t token = cache_misses[miss_index];
        // A token requested twice is cached once: its second group holds the same items.
        const bool cache_this = caching && !cache.Contains(token);
        std::vector<TokenItem> collected;
        for (uint64_t r = miss_ti[miss_index]; r < miss_ti[miss_index + 1]; ++r) {
          if (current_result_index >= num_results) {
            Fail<std::out_of_range>("Exceeded allocated size for merged_results.\ncurrent_result_index: " +
                                        N(current_result_index) + "\nnum_results: " + N(num_results),
                                    "Exceeded allocated size for merged_results.");
          }
          if (r >= fetched) {
            Fail<std::out_of_range>("Cache miss result index out of bounds.\ncache miss index: " + N(r) +
                                        "\ncache_miss_result.item_ids.size(): " + N(fetched),
                                    "Cache miss result index out of bounds.");
          }
          std::string& id = cache_miss_result.item_ids[r];
          const uint64_t start = r * w;
          if (payload_size > fetched_bytes || start > fetched_bytes - payload_size) {
            Fail<std::length_error>("Payload extraction index out of bounds for item_id: " + id +
                                        "\nstart_idx: " + N(start) + "\nend_idx: " + N(start + payload_size) +
                                        "\ncache_miss_result.payloads.size(): " + N(fetched_bytes),
                                    "Payload extraction index out of bounds for item_id: " + id);
          }
          if (r >= cache_miss_result.metadata.size()) {
            Fail<std::out_of_range>("Metadata index out of bounds for item_id: " + id + "\nmetadata index: " +
                                        N(r) + "\ncache_miss_result.metadata.size(): " +
                                        N(cache_miss_result.metadata.size()),
                                    "Metadata index out of bounds for item_id: " + id);
          }
          const uint8_t* src = cache_miss_result.payloads.data.data() + start;
          if (payload_size != 0) std::memcpy(merged_results.payloads.row(current_result_index), src, payload_size);
          std::string& metadata = cache_miss_result.metadata[r];
          if (cache_this) {
            collected.push_back(TokenItem{id, ostrik::Bytes(src, src + payload_size), metadata,
                                          r < cache_miss_data_labels.size() ? cache_miss_data_labels[r] : 0});
          }
          merged_results.item_ids[current_result_index] = std::move(id);
          merged_results.metadata[current_result_index] = std::move(metadata);
          ++current_result_index;
        }
        if (cache_this) {
          cache.Insert(token, std::move(collected));
        } else if (caching) {
          cache.Touch(token);
        }
        ++miss_index;
      }
      merged_results.token_indices[p + 1] = current_result_index;
    }
  } catch (const std::exception& e) {
    const std::string text = std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: " + std::to_string(current_result_index);
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
