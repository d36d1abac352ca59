// Services for the client layer outside the token-list read path: metadata summaries by field
// path, and decoding of the records that a get by id fetched.
#include <stdexcept>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "token_store/encoded_item_record.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {

std::vector<ostrik::Bytes> TokenIndex::GetCentroidMetadata(const std::vector<std::string>& field_names) {
  const std::vector<uint64_t> keys = ostrik::HashItemIds(field_names, centroid_metadata_key_.data());
  if (keys.empty()) return {};
  const std::vector<ostrik::Bytes> values = index_store_->BatchGetVariable(keys);
  return ostrik::DecryptItems(values, centroid_metadata_key_.data());
}

std::vector<ItemEntry> DecodeItemRecords(const std::vector<ostrik::Bytes>& records,
                                         std::vector<ostrik::Bytes>& contents, uint64_t payload_size) {
  std::vector<ItemEntry> entries;
  entries.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].empty()) continue;  // the id has no stored record
    const EncodedItemRecord rec = DecodeItemRecord(records[i], payload_size);
    ItemEntry entry;
    entry.item_id.assign(rec.item_id);
    entry.metadata.assign(rec.metadata);
    entry.payload.assign(rec.payload, rec.payload + payload_size);
    if (i < contents.size() && !contents[i].empty()) entry.contents = std::move(contents[i]);
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace ostrik_encrypted_index::internal::token_store
