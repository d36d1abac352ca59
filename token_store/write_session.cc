// Writes shared between processes: the writer lock around every change, the head that tells
// readers and writers what another process did, and the intent record that lets whoever holds the
// lock next finish an interrupted write.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

constexpr size_t kChunk = 10000;

bool RecordIsNew(const ostrik::Bytes& envelope, const std::array<uint8_t, 12>& iv) {
  return envelope.size() >= iv.size() && std::memcmp(envelope.data(), iv.data(), iv.size()) == 0;
}

template <typename F>
void InChunks(size_t n, F&& f) {
  for (size_t s = 0; s < n; s += kChunk) f(s, std::min(s + kChunk, n));
}

}  // namespace

void TokenIndex::ApplyCounts(ostrik::Bytes value) {
  const size_t vocab = static_cast<size_t>(std::max<int64_t>(vocab_size_, 0));
  if (value.empty()) {
    log().warning("No map data found in the backing store. Creating a new map.");
    token_counts_.assign(vocab, 0);
    counts_dirty_ = false;
    return;
  }
  if (value.size() < ostrik::GcmEnvelope::kOverhead || (value.size() - ostrik::GcmEnvelope::kOverhead) % 4 != 0) {
    const std::string message = "Malformed token counts record: " + std::to_string(value.size()) + " bytes";
    ostrik::EngineLogger().error(message);
    throw std::runtime_error(message);
  }
  const uint64_t cols = value.size();
  const ostrik::ByteMatrix plain = ostrik::DecryptMatrix(ostrik::ByteMatrix(std::move(value), cols), index_key_.data());
  const size_t n = plain.data.size() / 4;
  std::vector<uint32_t> counts(std::max(n, vocab), 0);
  for (size_t t = 0; t < n; ++t) {
    const uint8_t* p = plain.data.data() + 4 * t;
    counts[t] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  token_counts_ = std::move(counts);
  counts_dirty_ = false;
}

void TokenIndex::LoadTokenCounts() {
  std::vector<ostrik::Bytes> values = index_store_->BatchGetVariable({kTokenCountsKey, kIndexHeadKey});
  if (values.size() != 2) throw std::runtime_error("Index store answered " + std::to_string(values.size()) + " values for 2 keys");
  const IndexHead head = IndexHead::Decode(values[1]);
  // Lists cached before another process wrote may hold what it replaced or deleted.
  if (!(head == head_)) token_cache_.Clear();
  ApplyCounts(std::move(values[0]));
  head_ = head;
  counts_fresh_ = true;
}

const IndexHead& TokenIndex::ReadHead() {
  const IndexHead head = IndexHead::Decode(index_store_->GetItem(kIndexHeadKey));
  if (!(head == head_)) token_cache_.Clear();
  head_ = head;
  return head_;
}

bool TokenIndex::TakeFreshCounts() {
  // Under the writer lock nobody else changes the counts; this engine keeps its own in step.
  if (writing_) return true;
  const bool fresh = counts_fresh_;
  counts_fresh_ = false;
  return fresh;
}

std::optional<WriteIntent> TokenIndex::BeginWrite(bool read_counts) {
  if (writing_) throw std::logic_error("A write of index '" + index_name_ + "' is already under way");
  try {
    index_store_->LockIndex(writer_lock_timeout_);
    std::vector<ostrik::Bytes> values = index_store_->BatchGetVariable({kIndexHeadKey, kIntentKey, kTokenCountsKey});
    if (values.size() != 3) throw std::runtime_error("Index store answered " + std::to_string(values.size()) + " values for 3 keys");
    const IndexHead head = IndexHead::Decode(values[0]);
    if (!(head == head_)) token_cache_.Clear();
    index_store_->SetLockGuard(kIndexHeadKey, values[0]);
    if (read_counts) ApplyCounts(std::move(values[2]));
    head_ = head;
    writing_ = true;
    intent_stored_ = !values[1].empty();
    if (intent_stored_) return WriteIntent::Open(values[1], index_key_.data());
    if (head.pending) {
      // Pending with no intent to finish: what an earlier version left when it wrote the head of a
      // write whose lock it had lost. Nothing is left to do but to say so, once, for every reader.
      log().warning("Repairing the head of index " + index_name_ + ", left pending without a write to finish");
      IndexHead repaired = head_;
      repaired.pending = false;
      repaired.stamp = IndexHead::RandomTag();
      WriteHead(repaired);
    }
    return std::nullopt;
  } catch (...) {
    writing_ = false;
    index_store_->UnlockIndex();
    throw;
  }
}

void TokenIndex::CheckWriterLock() const {
  // An engine driven without a write (its own tests) holds no lock to check.
  if (writing_) index_store_->CheckIndexLock();
}

void TokenIndex::WriteHead(const IndexHead& head) {
  CheckWriterLock();
  const ostrik::Bytes value = head.Encode();
  index_store_->PushItem(kIndexHeadKey, value);
  index_store_->SetLockGuard(kIndexHeadKey, value);
  head_ = head;
}

void TokenIndex::StampWrite() {
  IndexHead head = head_;
  if (!head.present) {
    head.present = true;
    head.epoch = IndexHead::RandomTag();
  }
  head.stamp = IndexHead::RandomTag();
  WriteHead(head);
}

void TokenIndex::RecordIntent(const WriteIntent& intent) {
  CheckWriterLock();
  // The record first: a head that says pending always has one to finish.
  index_store_->PushItem(kIntentKey, intent.Seal(index_key_.data()));
  intent_stored_ = true;
  IndexHead head = head_;
  head.present = true;
  head.pending = true;
  head.stamp = IndexHead::RandomTag();
  WriteHead(head);
}

void TokenIndex::ClearIntent(const std::optional<IndexHead::Tag>& new_epoch) {
  IndexHead head = head_;
  head.present = true;
  if (new_epoch) head.epoch = *new_epoch;
  head.pending = false;
  head.stamp = IndexHead::RandomTag();
  WriteHead(head);
  // Removed after the head: a record the head no longer names is finished again by the next
  // writer, which changes nothing.
  index_store_->DeleteItem(kIntentKey);
  intent_stored_ = false;
}

void TokenIndex::EndWrite(const std::optional<IndexHead::Tag>& new_epoch) {
  if (!writing_) return;
  if (intent_stored_) {
    ClearIntent(new_epoch);
  } else {
    IndexHead head = head_;
    head.present = true;
    if (new_epoch) head.epoch = *new_epoch;
    head.stamp = IndexHead::RandomTag();
    WriteHead(head);
  }
  writing_ = false;
  index_store_->UnlockIndex();
}

void TokenIndex::AbortWrite(bool restamp) noexcept {
  if (!writing_) return;
  // A write that lost its lock sends nothing more: the head is the new holder's.
  if (restamp && index_store_->HoldsIndexLock()) {
    try {
      // Readers must not keep lists cached while the write was under way.
      IndexHead head = head_;
      head.present = true;
      head.pending = intent_stored_;
      head.stamp = IndexHead::RandomTag();
      const ostrik::Bytes value = head.Encode();
      index_store_->PushItem(kIndexHeadKey, value);
      head_ = head;
    } catch (...) {
      // The stored head keeps the start stamp (or says pending): readers still see a change.
    }
  }
  token_cache_.Clear();
  ReleaseWrite();
}

void TokenIndex::ReleaseWrite() noexcept {
  writing_ = false;
  index_store_->UnlockIndex();
}

void TokenIndex::FinishIntent(const WriteIntent& intent) {
  if (intent.kind == WriteIntent::Kind::kDelete) {
    InChunks(intent.data_labels.size(), [&](size_t s, size_t e) {
      CheckWriterLock();
      data_store_->BatchDeleteItems(std::vector<uint64_t>(intent.data_labels.begin() + s, intent.data_labels.begin() + e));
    });
    InChunks(intent.content_labels.size(), [&](size_t s, size_t e) {
      CheckWriterLock();
      items_store_->BatchDeleteItems(
          std::vector<uint64_t>(intent.content_labels.begin() + s, intent.content_labels.begin() + e));
    });
    return;
  }
  if (intent.kind != WriteIntent::Kind::kUpsert) {
    throw std::logic_error("The engine cannot finish a training; the index does");
  }
  InChunks(intent.items.size(), [&](size_t s, size_t e) {
    std::vector<uint64_t> labels;
    labels.reserve(e - s);
    for (size_t i = s; i < e; ++i) labels.push_back(intent.items[i].data_label);
    CheckWriterLock();
    const std::vector<ostrik::Bytes> records = data_store_->BatchGetVariable(labels);
    if (records.size() != labels.size()) throw std::runtime_error("Data store answered a short batch");
    std::vector<uint64_t> staged_keys, staged_targets, removed;
    for (size_t i = s; i < e; ++i) {
      const WriteIntent::ItemStep& step = intent.items[i];
      const ostrik::Bytes& record = records[i - s];
      switch (step.step) {
        case WriteIntent::Step::kFreshContents:
          // The item was new: without its record nothing leads to the contents, and a later item
          // of that id must not find them.
          if (record.empty()) removed.push_back(step.content_label);
          break;
        case WriteIntent::Step::kReplaceContents:
          if (RecordIsNew(record, step.record_iv)) {
            staged_keys.push_back(step.staged_label);
            staged_targets.push_back(step.content_label);
          }
          break;
        case WriteIntent::Step::kDropContents:
          if (RecordIsNew(record, step.record_iv)) removed.push_back(step.content_label);
          break;
      }
    }
    if (!staged_keys.empty()) {
      CheckWriterLock();
      const std::vector<ostrik::Bytes> staged = items_store_->BatchGetVariable(staged_keys);
      std::vector<uint64_t> keys;
      std::vector<ostrik::Bytes> values;
      for (size_t j = 0; j < staged_keys.size() && j < staged.size(); ++j) {
        // No staged copy left: it was copied before it was removed.
        if (staged[j].empty()) continue;
        keys.push_back(staged_targets[j]);
        values.push_back(staged[j]);
      }
      if (!keys.empty()) items_store_->BatchPushVariable(keys, values);
    }
    if (!removed.empty()) {
      CheckWriterLock();
      items_store_->BatchDeleteItems(removed);
    }
  });
  std::vector<uint64_t> staged;
  for (const WriteIntent::ItemStep& step : intent.items) {
    if (step.step == WriteIntent::Step::kReplaceContents) staged.push_back(step.staged_label);
  }
  InChunks(staged.size(), [&](size_t s, size_t e) {
    CheckWriterLock();
    items_store_->BatchDeleteItems(std::vector<uint64_t>(staged.begin() + s, staged.begin() + e));
  });
}

}  // namespace ostrik_encrypted_index::internal::token_store
