// Adding items: new items' contents, masked index entries, the counts, records, then the contents
// of items stored before. Every refusal comes before the first change. A batch that writes or
// removes contents first records its intent (write_intent.h): contents replacing earlier ones are
// staged under their own labels and copied once the new records are written, so that whatever
// stops the batch (a failure, a lost connection, the process killed), the next writer leaves each
// item whole in its old or its new version.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <unordered_set>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "token_store/encoded_item_record.h"
#include "token_store/engine_messages.h"
#include "token_store/item_labels.h"
#include "token_store/label_table.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

constexpr uint64_t kChunkItems = 10000;

std::string N(uint64_t v) { return std::to_string(v); }

bool HasPayload(const PayloadRows& m) { return m.rows * m.cols != 0; }

// The batch with each repeated id kept once, at its last occurrence (in batch order of those).
TokenItemBatch LastOccurrences(const TokenItemBatch& batch, const std::vector<size_t>& keep) {
  TokenItemBatch out;
  out.input_tokens.reserve(keep.size());
  out.item_ids.reserve(keep.size());
  const bool payloads = HasPayload(batch.payloads);
  ostrik::Bytes rows;
  if (payloads) rows.resize(keep.size() * batch.payloads.cols);
  for (size_t j = 0; j < keep.size(); ++j) {
    const size_t i = keep[j];
    out.input_tokens.push_back(batch.input_tokens[i]);
    out.item_ids.push_back(batch.item_ids[i]);
    if (payloads) std::memcpy(rows.data() + j * batch.payloads.cols, batch.payloads.row(i), batch.payloads.cols);
    if (!batch.contents.empty()) out.contents.push_back(batch.contents[i]);
    if (!batch.metadata.empty()) out.metadata.push_back(batch.metadata[i]);
  }
  if (payloads) out.payloads = ostrik::ByteMatrix(std::move(rows), batch.payloads.cols);
  return out;
}

}  // namespace

void TokenIndex::AddItems(const TokenItemBatch& input) {
  const uint64_t n_in = input.item_ids.size();
  log().info("Adding " + N(n_in) + " Items");

  // Refusals, before any store, count or cache entry changes.
  if (gpu_) throw std::runtime_error(kCudaRequiredMessage);
  if (input.input_tokens.size() != n_in) {
    ostrik::EngineLogger().error("The number of centroid Ids does not match the number item Ids.\nCentroid Ids: " +
                                 N(input.input_tokens.size()) + "\nItem Ids: " + N(n_in));
    throw std::invalid_argument("The number of centroid Ids does not match the number item Ids.");
  }
  if ((static_cast<uint64_t>(tree_depth_) & 0xffffffffu) == 0) {
    ostrik::EngineLogger().error("The number of round should be at least 1.");
    throw std::invalid_argument("The number of round should be at least 1.");
  }
  if (payload_size_ != 0 && input.payloads.rows != input.input_tokens.size()) {
    log().error("Mismatch between size of payload tokens (" + N(input.payloads.rows) + ") and item IDs (" +
                N(input.input_tokens.size()) + ")");
    throw std::invalid_argument("Mismatch between size of payload tokens and item IDs");
  }
  // The batch checks, for every chunk that will be written.
  {
    const bool payloads = HasPayload(input.payloads);
    const uint64_t w = payloads ? input.payloads.cols : 0;
    const uint64_t available_rows = payloads ? input.payloads.rows : n_in;
    for (uint64_t s = 0; s < n_in; s += kChunkItems) {
      const uint64_t e = std::min(s + kChunkItems, n_in), c = e - s;
      // Metadata is all or nothing: a list of another length would pair texts with the wrong items.
      const bool metadata_ok = input.metadata.empty() || input.metadata.size() == n_in;
      const uint64_t metadata =
          input.metadata.empty() ? c : std::min<uint64_t>(input.metadata.size() - std::min<uint64_t>(s, input.metadata.size()), c);
      if (!metadata_ok || available_rows < e) {
        ostrik::EngineLogger().error("Mismatched sizes for inputs or invalid row range.\nnum_rows: " + N(c) +
                                     "\nitem_ids.size(): " + N(c) + "\nmetadata.size(): " + N(metadata) +
                                     "\ninput_tokens.size(): " + N(c) + "\nstart_row: " + N(s) +
                                     "\npayloads.rows(): " + N(available_rows));
        throw std::invalid_argument("Mismatched sizes for inputs or invalid row range");
      }
      if (payload_size_ != w) {
        ostrik::EngineLogger().error("Payload column size does not match expected payload size.\nPayload columns: " +
                                     N(w) + "\nExpected payload size: " + N(payload_size_));
        throw std::invalid_argument("Payload column size does not match expected payload size");
      }
    }
  }
  if (!input.contents.empty() && input.contents.size() != n_in) {
    const std::string message = "Mismatch between the number of contents (" + N(input.contents.size()) +
                                ") and item IDs (" + N(n_in) + ")";
    ostrik::EngineLogger().error(message);
    throw std::invalid_argument(message);
  }
  CheckTokens(input.input_tokens);

  // Repeated ids (equal data labels) are resolved before the first write, so that no write can
  // meet the same id twice. An index's upsert keeps each id's first occurrence before it gets here
  // (index/upsert.cc), so its batches come without repeats; for other callers of the engine the
  // last occurrence wins.
  const std::vector<uint64_t> input_labels = ItemLabels(input.item_ids, data_key_.data());
  std::vector<size_t> keep;
  {
    LabelTable seen(n_in);
    std::vector<bool> last(n_in, false);
    uint64_t kept = 0;
    for (uint64_t i = n_in; i-- > 0;) {
      if (seen.FindOrInsert(input_labels[i], static_cast<uint32_t>(i)).second) {
        last[i] = true;
        ++kept;
      }
    }
    if (kept != n_in) {
      keep.reserve(kept);
      for (uint64_t i = 0; i < n_in; ++i) {
        if (last[i]) keep.push_back(i);
      }
    }
  }
  TokenItemBatch deduplicated;
  std::vector<uint64_t> kept_labels;
  if (!keep.empty()) {
    deduplicated = LastOccurrences(input, keep);
    for (size_t i : keep) kept_labels.push_back(input_labels[i]);
  }
  const TokenItemBatch& batch = keep.empty() ? input : deduplicated;
  const std::vector<uint64_t>& data_labels = keep.empty() ? input_labels : kept_labels;
  const uint64_t n = batch.item_ids.size();

  if (!TakeFreshCounts()) LoadTokenCounts();
  EnsureSeeds();
  const std::vector<uint32_t> before = token_counts_;

  std::vector<uint32_t> positions(n);
  {
    std::vector<uint32_t> next = token_counts_;
    for (uint64_t i = 0; i < n; ++i) {
      const uint32_t t = batch.input_tokens[i];
      if (next[t] == UINT32_MAX) {
        const std::string message = "Token " + N(t) + " cannot take more items";
        ostrik::EngineLogger().error(message);
        throw std::runtime_error(message);
      }
      positions[i] = next[t]++;
    }
    token_counts_ = std::move(next);
  }
  counts_dirty_ = true;

  try {
    const std::vector<uint64_t> content_labels = ItemLabels(batch.item_ids, content_key_.data());
    std::vector<bool> stored(n, false);
    if (n > 0) {
      // Only whether each record exists: views, so that a store in memory copies none of them.
      backing_store::ValueViews earlier;
      data_store_->BatchGetViews(data_labels, earlier);
      if (earlier.values.size() != n) {
        throw std::runtime_error("Data store answered " + N(earlier.values.size()) + " values for " + N(n) + " keys");
      }
      for (uint64_t i = 0; i < n; ++i) stored[i] = !earlier.values[i].empty();
    }

    TokenLabels labels;
    labels.labels.resize(n);
    labels.masks.resize(n);
    DeriveItemLabelsBody(batch.input_tokens, data_labels, token_seeds_, positions, labels,
                         static_cast<uint32_t>(tree_depth_));

    // Contents: only non-empty entries are stored; an empty one means the item has none. Those of
    // items stored before are staged under labels of their own and reach their real label only
    // after their new record; the others go ahead of their record.
    std::vector<uint64_t> fresh_keys, replaced_keys, staged_keys, stale_contents;
    std::vector<ostrik::Bytes> fresh_envelopes, replaced_envelopes;
    WriteIntent intent;
    std::vector<ostrik::Bytes> sealed_records(n);
    {
      std::vector<ostrik::Bytes> fresh_plain, replaced_plain;
      std::vector<std::string> replaced_ids;
      std::vector<uint64_t> stored_items;
      for (uint64_t i = 0; i < n; ++i) {
        const bool has_contents = !batch.contents.empty() && !batch.contents[i].empty();
        if (stored[i]) stored_items.push_back(i);
        if (!has_contents) {
          if (stored[i]) stale_contents.push_back(content_labels[i]);
        } else if (stored[i]) {
          replaced_keys.push_back(content_labels[i]);
          replaced_plain.push_back(batch.contents[i]);
          replaced_ids.push_back(batch.item_ids[i]);
        } else {
          fresh_keys.push_back(content_labels[i]);
          fresh_plain.push_back(batch.contents[i]);
        }
      }
      if (!fresh_plain.empty()) fresh_envelopes = ostrik::EncryptItems(fresh_plain, content_key_.data());
      if (!replaced_plain.empty()) {
        replaced_envelopes = ostrik::EncryptItems(replaced_plain, content_key_.data());
        staged_keys = ItemLabels(replaced_ids, staging_key_.data());
      }
      // The new records of items stored before are sealed now: their IVs tell a new record from an
      // old one when an interrupted batch is finished.
      SealRecords(batch, stored_items, sealed_records);
      size_t replaced = 0;
      for (uint64_t i = 0; i < n; ++i) {
        const bool has_contents = !batch.contents.empty() && !batch.contents[i].empty();
        if (!has_contents && !stored[i]) continue;
        WriteIntent::ItemStep step;
        step.data_label = data_labels[i];
        step.content_label = content_labels[i];
        if (!stored[i]) {
          step.step = WriteIntent::Step::kFreshContents;
        } else {
          step.step = has_contents ? WriteIntent::Step::kReplaceContents : WriteIntent::Step::kDropContents;
          if (has_contents) step.staged_label = staged_keys[replaced++];
          std::copy_n(sealed_records[i].begin(), step.record_iv.size(), step.record_iv.begin());
        }
        intent.items.push_back(step);
      }
    }

    // From here on the stores change. Any cached list holding a version of these items (or the
    // placeholder of one deleted earlier) would outlive the overwrite.
    if (token_cache_.capacity() != 0 && n > 0) {
      token_cache_.EraseEntriesWithLabels(std::unordered_set<uint64_t>(data_labels.begin(), data_labels.end()));
    }
    // The stores share no transaction, so the writes go in an order where a failure after any of
    // them leaves every item of the batch in exactly one list, as its old version or its new one:
    //  - the intent, when the batch writes or removes contents;
    //  - contents of items not stored before (nothing leads to them until their record exists, so
    //    a new item is either absent or whole) and the staged copies of replacing contents;
    //  - index entries at the new positions: beyond the stored counts, no fetch reads them;
    //  - the counts: the new positions show. One whose record is still the old one names the old
    //    token, so the exact-group rule passes it over (or the item's earlier position in the same
    //    token comes first); a new item's position reads as a placeholder until its record lands;
    //  - the records, chunk by chunk: each write moves its items to their new version at once;
    //  - contents of items stored before, then removal of those they no longer bring and of the
    //    staged copies; the intent goes last.
    // Until then an item may meet its new record with its old contents: whoever finishes the
    // intent copies or removes them by the record's IV. A retry reloads the counts, takes fresh
    // positions and finds each item at its first one.
    const bool with_intent = !intent.items.empty();
    if (with_intent) RecordIntent(intent);
    {
      std::vector<uint64_t> keys = fresh_keys;
      keys.insert(keys.end(), staged_keys.begin(), staged_keys.end());
      std::vector<ostrik::Bytes> values = std::move(fresh_envelopes);
      values.insert(values.end(), replaced_envelopes.begin(), replaced_envelopes.end());
      if (!keys.empty()) {
        CheckWriterLock();
        items_store_->BatchTakeVariable(keys, std::move(values));
      }
    }
    PushIndexEntries(labels);
    CheckWriterLock();
    SaveTokenCounts();
    PushItemRecords(data_labels, batch, sealed_records);
    CheckWriterLock();
    if (!replaced_keys.empty()) items_store_->BatchTakeVariable(replaced_keys, std::move(replaced_envelopes));
    if (!stale_contents.empty()) items_store_->BatchDeleteItems(stale_contents);
    if (!staged_keys.empty()) items_store_->BatchDeleteItems(staged_keys);
    if (with_intent) ClearIntent();

    // Keep cached lists in step with what was written.
    if (token_cache_.capacity() != 0) {
      const bool payloads = HasPayload(batch.payloads);
      for (uint64_t i = 0; i < n; ++i) {
        const uint32_t t = batch.input_tokens[i];
        TokenCacheEntry* entry = token_cache_.Find(t);
        uint64_t cached = 0;
        if (entry != nullptr) {
          token_cache_.Touch(t);
          cached = entry->items->size();
        }
        if (before[t] == cached) {
          TokenItem item;
          item.item_id = batch.item_ids[i];
          if (payloads) item.payload.assign(batch.payloads.row(i), batch.payloads.row(i) + batch.payloads.cols);
          if (!batch.metadata.empty()) item.metadata = batch.metadata[i];
          item.data_label = data_labels[i];
          std::vector<TokenItem> one;
          one.push_back(std::move(item));
          if (entry != nullptr) {
            token_cache_.Append(t, std::move(one));
          } else {
            token_cache_.Insert(t, std::move(one));
          }
        } else if (entry != nullptr) {
          token_cache_.Erase(t);
        } else {
          std::cout << "Token not found: " << t << std::endl;
        }
      }
    }
  } catch (const std::exception& e) {
    ForgetFailedAdd(batch, before);
    log().error(std::string("Adding items failed: ") + e.what());
    throw;
  } catch (...) {
    ForgetFailedAdd(batch, before);
    throw;
  }
}

void TokenIndex::ForgetFailedAdd(const TokenItemBatch& batch, const std::vector<uint32_t>& before) {
  if (counts_dirty_) {
    // The counts save failed or never came: this batch's positions may have no entry. The stored
    // record may still have taken them (a lost reply); the next add reloads it before handing out
    // positions, and the destructor must not write these older counts over it.
    token_counts_ = before;
    counts_dirty_ = false;
  }
  // A list of a token the batch wrote to may no longer match the stores.
  if (token_cache_.capacity() != 0) {
    for (uint32_t t : batch.input_tokens) token_cache_.Erase(t);
  }
}

void TokenIndex::PushIndexEntries(const TokenLabels& labels) {
  const uint64_t n = labels.labels.size();
  for (uint64_t s = 0; s < n; s += kChunkItems) {
    const uint64_t e = std::min(s + kChunkItems, n), c = e - s;
    std::vector<uint64_t> keys(labels.labels.begin() + s, labels.labels.begin() + e);
    std::vector<ostrik::Bytes> entries(c, ostrik::Bytes(8));
    for (uint64_t i = 0; i < c; ++i) {
      const uint64_t v = labels.masks[s + i];
      for (int b = 0; b < 8; ++b) entries[i][b] = static_cast<uint8_t>(v >> (8 * b));
    }
    CheckWriterLock();
    index_store_->BatchPushVariable(keys, entries);
  }
}

void TokenIndex::SealRecords(const TokenItemBatch& batch, const std::vector<uint64_t>& which,
                             std::vector<ostrik::Bytes>& sealed) const {
  if (which.empty()) return;
  const bool payloads = HasPayload(batch.payloads);
  const uint64_t w = payloads ? batch.payloads.cols : 0;
  for (uint64_t s = 0; s < which.size(); s += kChunkItems) {
    const uint64_t e = std::min<uint64_t>(s + kChunkItems, which.size());
    std::vector<ostrik::Bytes> records(e - s);
    for (uint64_t j = s; j < e; ++j) {
      const uint64_t i = which[j];
      records[j - s] = EncodeItemRecord(batch.item_ids[i], batch.input_tokens[i],
                                        payloads ? batch.payloads.row(i) : nullptr, w,
                                        batch.metadata.empty() ? std::string_view() : std::string_view(batch.metadata[i]));
    }
    std::vector<ostrik::Bytes> envelopes = ostrik::EncryptItems(records, data_key_.data());
    for (uint64_t j = s; j < e; ++j) sealed[which[j]] = std::move(envelopes[j - s]);
  }
}

void TokenIndex::PushItemRecords(const std::vector<uint64_t>& data_labels, const TokenItemBatch& batch,
                                 std::vector<ostrik::Bytes>& sealed) {
  const uint64_t n = data_labels.size();
  const bool payloads = HasPayload(batch.payloads);
  if (!payloads) log().warning("No token payload provided, using empty payload");
  const uint64_t w = payloads ? batch.payloads.cols : 0;

  for (uint64_t s = 0; s < n; s += kChunkItems) {
    const uint64_t e = std::min(s + kChunkItems, n), c = e - s;
    // AddItems checked every chunk's shape before the first write; records sealed ahead keep
    // their envelopes.
    std::vector<ostrik::Bytes> records;
    std::vector<uint64_t> open;
    for (uint64_t i = s; i < e; ++i) {
      if (!sealed.empty() && !sealed[i].empty()) continue;
      open.push_back(i);
      records.push_back(EncodeItemRecord(batch.item_ids[i], batch.input_tokens[i],
                                         payloads ? batch.payloads.row(i) : nullptr, w,
                                         batch.metadata.empty() ? std::string_view() : std::string_view(batch.metadata[i])));
    }
    std::vector<ostrik::Bytes> envelopes(c);
    if (!records.empty()) {
      std::vector<ostrik::Bytes> fresh = ostrik::EncryptItems(records, data_key_.data());
      records.clear();
      for (size_t j = 0; j < open.size(); ++j) envelopes[open[j] - s] = std::move(fresh[j]);
    }
    if (!sealed.empty()) {
      for (uint64_t i = s; i < e; ++i) {
        if (!sealed[i].empty()) envelopes[i - s] = std::move(sealed[i]);
      }
    }
    CheckWriterLock();
    data_store_->BatchTakeVariable(std::vector<uint64_t>(data_labels.begin() + s, data_labels.begin() + e),
                                   std::move(envelopes));
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
