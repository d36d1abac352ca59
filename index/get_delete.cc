// Reaching items by id: get (records and contents, decrypted, restricted to the fields asked
// for) and delete (records and contents removed; list positions and counts stay).
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "core/thread_scope.h"
#include "index/encrypted_index.h"
#include "token_store/encoded_item_record.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

using ostrik_encrypted_index::internal::token_store::EncodedItemRecord;
using ostrik_encrypted_index::internal::token_store::TryDecodeItemRecord;

bool Selects(const std::vector<int32_t>& include, GetInclude field) {
  return include.empty() || std::find(include.begin(), include.end(), static_cast<int32_t>(field)) != include.end();
}

}  // namespace

std::vector<GetResult> EncryptedIndex::Get(const std::vector<std::string>& ids, const std::vector<int32_t>& include) {
  std::lock_guard<std::mutex> lock(mutex_);
  log().info("Get " + std::to_string(ids.size()));
  if (!token_index_) FailNotConnected(false);
  ThreadCountScope threads(token_index_->cpu_threads_);
  TokenIndex& engine = *token_index_;
  (engine.logger_ != nullptr ? *engine.logger_ : Logger::instance())
      .info("Retrieving " + std::to_string(ids.size()) + " items");
  if (ids.empty()) return {};

  const bool want_vector = Selects(include, GetInclude::VECTOR);
  const bool want_metadata = Selects(include, GetInclude::METADATA);
  const bool want_contents = Selects(include, GetInclude::CONTENTS);

  // Records and contents come from two stores: both reads must fall between two equal heads, or
  // a write of another process may have replaced an item between them. After a few tries the
  // reads are made under the writer lock.
  std::vector<Bytes> contents;
  std::vector<Bytes> records;
  auto read = [&] {
    if (want_contents) {
      const std::vector<uint64_t> content_labels = HashItemIds(ids, engine.content_key_.data());
      contents = DecryptItems(engine.items_store_->BatchGetVariable(content_labels), engine.content_key_.data());
    }
    const std::vector<uint64_t> record_labels = HashItemIds(ids, engine.data_key_.data());
    records = DecryptItems(engine.data_store_->BatchGetVariable(record_labels), engine.data_key_.data());
  };
  RefreshForRead(false);
  for (int attempt = 0;; ++attempt) {
    const auto before = engine.head();
    read();
    if (engine.ReadHead() == before && !before.pending) break;
    if (attempt == 2) {
      Writing locked(*this, true);
      read();
      break;
    }
    RefreshForRead(false);
  }
  if (records.size() != ids.size() || (want_contents && contents.size() != ids.size())) {
    const std::string message = "A store answered a number of values other than the number of ids";
    log().error(message);
    throw std::runtime_error(message);
  }

  Logger& current = CurrentLogger();
  std::vector<GetResult> results;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (records[i].empty()) continue;  // never stored, or deleted
    EncodedItemRecord record;
    std::string problem;
    if (!TryDecodeItemRecord(records[i], engine.payload_size_, record, problem)) {
      log().error(problem);
      throw std::runtime_error(problem);
    }
    // The store is not trusted to keep each envelope under its own label: a record of another
    // item is not this item's data.
    if (record.item_id != ids[i]) {
      log().error("Dropped the record found for item '" + ids[i] + "': it belongs to another item");
      continue;
    }
    current.info("convertBytesToFloats");
    if (engine.payload_size_ % sizeof(float) != 0) {
      current.error("Byte vector size is not a multiple of float size.");
      throw std::invalid_argument("Byte vector size is not a multiple of float size.");
    }
    GetResult result;
    result.id = ids[i];
    if (want_vector) {
      result.vector.resize(engine.payload_size_ / sizeof(float));
      if (!result.vector.empty()) std::memcpy(result.vector.data(), record.payload, engine.payload_size_);
    }
    if (want_metadata) result.metadata.assign(record.metadata);
    if (want_contents) result.contents = contents[i];
    results.push_back(std::move(result));
  }
  return results;
}

void EncryptedIndex::Delete(const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  log().info("Deleting item");
  if (!token_index_) FailNotConnected(false);
  if (ids.empty()) return;
  ThreadCountScope threads(token_index_->cpu_threads_);
  Writing writing(*this);
  // Also drops every cached list that holds one of the items.
  token_index_->DeleteItems(ids);
  writing.Commit();
}

}  // namespace ostrik
