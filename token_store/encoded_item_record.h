// EncodedItemRecord: the plaintext layout of one data-store value (integers little-endian, fields
// back to back): uint32 metadata length M, uint32 id length L, L id bytes, uint32 token, the
// payload (the engine's payload width w, not written into the record), M metadata bytes.
//
// DecodeItemRecord throws std::runtime_error when the declared lengths and the payload width do not
// add up to the record's size exactly, so a malformed record is never read past its end.
// Pure functions; safe to call from parallel regions (Encode* allocates, Decode* does not).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::token_store {

struct EncodedItemRecord {
  std::string_view item_id;
  uint32_t token = 0;
  const uint8_t* payload = nullptr;  // payload_size bytes inside the record
  std::string_view metadata;
};

constexpr uint64_t kItemRecordFixedSize = 12;

inline uint64_t EncodedItemRecordSize(uint64_t id_len, uint64_t payload_size, uint64_t metadata_len) {
  return kItemRecordFixedSize + id_len + payload_size + metadata_len;
}

// payload: payload_size bytes (may be null when payload_size is 0).
ostrik::Bytes EncodeItemRecord(std::string_view item_id, uint32_t token, const uint8_t* payload,
                               uint64_t payload_size, std::string_view metadata);

// The view points into `record`, which must outlive it.
EncodedItemRecord DecodeItemRecord(const ostrik::Bytes& record, uint64_t payload_size);

// The same check without throwing: false (and `message` set) for a malformed record.
bool TryDecodeItemRecord(const ostrik::Bytes& record, uint64_t payload_size, EncodedItemRecord& out,
                         std::string& message);
// The same over `size` bytes at `record`.
bool TryDecodeItemRecord(const uint8_t* record, uint64_t size, uint64_t payload_size, EncodedItemRecord& out,
                         std::string& message);

}  // namespace ostrik_encrypted_index::internal::token_store
