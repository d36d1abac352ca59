// Fetching items by token: cache lookup, label derivation over every (token, position) pair,
// one batch read per store, decryption, and grouping so that each group holds exactly the items
// whose latest record belongs to its token.
#include <omp.h>

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "token_store/encoded_item_record.h"
#include "token_store/engine_messages.h"
#include "token_store/label_table.h"
#include "token_store/merge_results.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

inline uint64_t GetLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Reserves n elements; a buffer of several megabytes is also marked for 2 MB pages. First touching
// tens of megabytes page by page costs more than filling them, and a fetch's record and payload
// buffers are fresh memory on every call. The advice is a hint: refused, nothing changes.
template <typename T>
void ReserveLarge(std::vector<T>& v, size_t n) {
  v.reserve(n);
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  const size_t bytes = n * sizeof(T);
  if (bytes < 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(v.data()) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(v.data()) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// Frees the values on all threads: each was allocated by a worker, and a hundred thousand frees
// on the calling thread show in a fetch.
void ReleaseInParallel(std::vector<ostrik::Bytes>& values) {
  const int64_t n = static_cast<int64_t>(values.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) ostrik::Bytes().swap(values[static_cast<size_t>(i)]);
}

}  // namespace

ostrik::ItemRecords TokenIndex::GetTokenItems(const std::vector<uint32_t>& query_tokens) {
  CheckTokens(query_tokens);
  LoadTokenCounts();
  EnsureSeeds();
  CacheLookup lookup = LookupTokenCache(token_cache_, query_tokens, token_counts_);

  ostrik::ItemRecords merged;
  merged.token_indices.assign(query_tokens.size() + 1, 0);
  ostrik::ItemRecords fetched;
  std::vector<uint64_t> fetched_labels;

  const std::vector<uint32_t>& misses = lookup.cache_misses;
  if (!misses.empty()) {
    if (gpu_) throw std::runtime_error(kCudaRequiredMessage);
    if ((static_cast<uint64_t>(tree_depth_) & 0xffffffffu) == 0) {
      ostrik::EngineLogger().error("The number of round should be at least 1.");
      throw std::invalid_argument("The number of round should be at lest 1.");
    }

    TokenLabels labels;
    labels.offsets.assign(misses.size() + 1, 0);
    for (size_t k = 0; k < misses.size(); ++k) labels.offsets[k + 1] = labels.offsets[k] + token_counts_[misses[k]];
    const uint64_t total = labels.offsets.back();
    labels.labels.resize(total);
    labels.masks.resize(total);
    DeriveTokenLabelsBody(misses, token_seeds_, labels, static_cast<uint32_t>(tree_depth_));

    fetched.token_indices.assign(misses.size() + 1, 0);
    if (total != 0) {
      const ostrik::ByteMatrix entries = index_store_->BatchGetItems(labels.labels);
      if (entries.cols != 8) {
        ostrik::EngineLogger().error("Invalid encrypted item ID size\nExpected: 8\nActual: " + std::to_string(entries.cols));
        throw std::invalid_argument("Invalid encrypted item ID size");
      }
      if (entries.rows != total || entries.data.size() != total * 8) {
        const std::string message = "Index store answered " + std::to_string(entries.rows) + " entries for " +
                                    std::to_string(total) + " labels";
        ostrik::EngineLogger().error(message);
        throw std::runtime_error(message);
      }

      // Unmask, and read each data label once however many positions lead to it.
      if (total >= UINT32_MAX) throw std::length_error("Too many positions in one fetch");
      std::vector<uint32_t> unique_of(total);
      std::vector<uint64_t> unique_labels;
      unique_labels.reserve(total);
      {
        LabelTable place(total);
        for (uint64_t i = 0; i < total; ++i) {
          const uint64_t label = GetLe64(entries.row(i)) ^ labels.masks[i];
          const auto [u, fresh] = place.FindOrInsert(label, static_cast<uint32_t>(unique_labels.size()));
          if (fresh) unique_labels.push_back(label);
          unique_of[i] = u;
        }
      }
      std::vector<ostrik::Bytes> values = data_store_->BatchGetVariable(unique_labels);
      if (values.size() != unique_labels.size()) {
        const std::string message = "Data store answered " + std::to_string(values.size()) + " values for " +
                                    std::to_string(unique_labels.size()) + " labels";
        ostrik::EngineLogger().error(message);
        throw std::runtime_error(message);
      }
      std::vector<ostrik::Bytes> plain = ostrik::DecryptItems(values, data_key_.data());
      ReleaseInParallel(values);

      // Decode every record once; an empty one is a deleted item.
      const int64_t n_unique = static_cast<int64_t>(unique_labels.size());
      std::vector<EncodedItemRecord> records;
      ReserveLarge(records, unique_labels.size());
      records.resize(unique_labels.size());
      std::atomic<int64_t> bad{-1};
      std::string bad_message;
#pragma omp parallel for schedule(static)
      for (int64_t u = 0; u < n_unique; ++u) {
        if (plain[u].empty()) continue;
        std::string message;
        if (!TryDecodeItemRecord(plain[u], payload_size_, records[u], message)) {
          int64_t expected = -1;
          if (bad.compare_exchange_strong(expected, u)) bad_message = std::move(message);
        }
      }
      if (bad.load() >= 0) {
        ostrik::EngineLogger().error(bad_message);
        throw std::runtime_error(bad_message);
      }

      // Group k keeps, in position order, the first position of each data label whose record
      // belongs to token k (or is gone: a placeholder keeps the deleted item's place).
      std::vector<uint32_t> chosen;
      chosen.reserve(total);
      std::vector<uint32_t> stamp(unique_labels.size(), 0);
      for (size_t k = 0; k < misses.size(); ++k) {
        const uint32_t token = misses[k];
        const uint32_t mark = static_cast<uint32_t>(k + 1);
        for (uint64_t i = labels.offsets[k]; i < labels.offsets[k + 1]; ++i) {
          const uint32_t u = unique_of[i];
          if (stamp[u] == mark) continue;
          stamp[u] = mark;
          if (!plain[u].empty() && records[u].token != token) continue;
          chosen.push_back(u);
        }
        fetched.token_indices[k + 1] = chosen.size();
      }

      const int64_t n_items = static_cast<int64_t>(chosen.size());
      fetched.item_ids.assign(chosen.size(), std::string());
      fetched.metadata.assign(chosen.size(), std::string());
      if (payload_size_ != 0 && chosen.size() > UINT64_MAX / payload_size_) {
        throw std::length_error("ByteMatrix size overflows");
      }
      fetched.payloads.rows = chosen.size();
      fetched.payloads.cols = payload_size_;
      ReserveLarge(fetched.payloads.data, chosen.size() * payload_size_);
      fetched.payloads.data.resize(chosen.size() * payload_size_);
      fetched_labels.resize(chosen.size());
      std::atomic<bool> failed{false};
#pragma omp parallel for schedule(static)
      for (int64_t r = 0; r < n_items; ++r) {
        const uint32_t u = chosen[r];
        fetched_labels[r] = unique_labels[u];
        if (plain[u].empty()) continue;  // placeholder: empty id and metadata, zero payload
        const EncodedItemRecord& rec = records[u];
        try {
          fetched.item_ids[r].assign(rec.item_id);
          fetched.metadata[r].assign(rec.metadata);
        } catch (...) {
          failed.store(true);
        }
        if (payload_size_ != 0) std::memcpy(fetched.payloads.row(r), rec.payload, payload_size_);
      }
      ReleaseInParallel(plain);
      if (failed.load()) throw std::bad_alloc();
    }
  }

  const uint64_t num_results = lookup.hit_item_count + fetched.item_ids.size();
  try {
    MergeResults(query_tokens, lookup.hit_and_miss, lookup.cache_hit, misses, fetched, fetched_labels, num_results,
                 payload_size_, merged, token_cache_);
  } catch (const std::exception& e) {
    const std::string text = std::string("Error in MergeResults: ") + e.what();
    log().error(text);
    throw std::runtime_error(text);
  }
  return merged;
}

}  // namespace ostrik_encrypted_index::internal::token_store
