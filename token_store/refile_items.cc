// Training's re-filing of every item under its trained list, and the reading of records by label
// that lets an interrupted training be finished from its intent alone.
#include <algorithm>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "token_store/item_labels.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

constexpr uint64_t kChunkItems = 10000;

}  // namespace

std::vector<ItemEntry> TokenIndex::ReadRecords(const std::vector<uint64_t>& data_labels) {
  std::vector<ItemEntry> entries;
  entries.reserve(data_labels.size());
  for (uint64_t s = 0; s < data_labels.size(); s += kChunkItems) {
    const uint64_t e = std::min<uint64_t>(s + kChunkItems, data_labels.size());
    CheckWriterLock();
    const std::vector<ostrik::Bytes> envelopes =
        data_store_->BatchGetVariable(std::vector<uint64_t>(data_labels.begin() + s, data_labels.begin() + e));
    if (envelopes.size() != e - s) throw std::runtime_error("Data store answered a short batch");
    std::vector<ostrik::Bytes> records = ostrik::DecryptItems(envelopes, data_key_.data());
    std::vector<ostrik::Bytes> no_contents;
    std::vector<ItemEntry> chunk = DecodeItemRecords(records, no_contents, payload_size_);
    for (ItemEntry& entry : chunk) entries.push_back(std::move(entry));
  }
  return entries;
}

void TokenIndex::RefileItems(const TokenItemBatch& batch, uint32_t stale_list0_end) {
  const uint64_t n = batch.item_ids.size();
  log().info("Adding " + std::to_string(n) + " Items");
  if (batch.input_tokens.size() != n) throw std::invalid_argument("Every re-filed item needs its list");
  CheckTokens(batch.input_tokens);
  EnsureSeeds();
  token_cache_.Clear();

  // Positions counted from zero, in batch order: the same items in the same order land where an
  // earlier, interrupted re-filing put them.
  std::vector<uint32_t> counts(static_cast<size_t>(std::max<int64_t>(vocab_size_, 0)), 0);
  std::vector<uint32_t> positions(n);
  for (uint64_t i = 0; i < n; ++i) positions[i] = counts[batch.input_tokens[i]]++;
  const std::vector<uint64_t> data_labels = ItemLabels(batch.item_ids, data_key_.data());
  TokenLabels labels;
  labels.labels.resize(n);
  labels.masks.resize(n);
  DeriveItemLabelsBody(batch.input_tokens, data_labels, token_seeds_, positions, labels,
                       static_cast<uint32_t>(tree_depth_));

  PushIndexEntries(labels);
  std::vector<ostrik::Bytes> none;
  PushItemRecords(data_labels, batch, none);
  token_counts_ = std::move(counts);
  counts_dirty_ = true;
  CheckWriterLock();
  SaveTokenCounts();

  // List 0 held every item before; its entries past the new count lead nowhere now.
  const uint32_t kept = token_counts_.empty() ? 0 : token_counts_[0];
  if (stale_list0_end > kept && !token_seeds_.empty()) {
    std::vector<uint32_t> tokens(1, 0);
    TokenLabels stale;
    stale.offsets = {0, stale_list0_end};
    stale.labels.resize(stale_list0_end);
    stale.masks.resize(stale_list0_end);
    DeriveTokenLabelsBody(tokens, token_seeds_, stale, static_cast<uint32_t>(tree_depth_));
    for (uint64_t s = kept; s < stale_list0_end; s += kChunkItems) {
      const uint64_t e = std::min<uint64_t>(s + kChunkItems, stale_list0_end);
      CheckWriterLock();
      index_store_->BatchDeleteItems(std::vector<uint64_t>(stale.labels.begin() + s, stale.labels.begin() + e));
    }
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
