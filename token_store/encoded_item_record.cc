#include "token_store/encoded_item_record.h"

#include <cstring>
#include <stdexcept>

namespace ostrik_encrypted_index::internal::token_store {
namespace {

inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

ostrik::Bytes EncodeItemRecord(std::string_view item_id, uint32_t token, const uint8_t* payload,
                               uint64_t payload_size, std::string_view metadata) {
  if (item_id.size() > UINT32_MAX || metadata.size() > UINT32_MAX) {
    throw std::invalid_argument("Item id or metadata too long for an item record");
  }
  ostrik::Bytes out(EncodedItemRecordSize(item_id.size(), payload_size, metadata.size()));
  uint8_t* p = out.data();
  PutLe32(p, static_cast<uint32_t>(metadata.size()));
  PutLe32(p + 4, static_cast<uint32_t>(item_id.size()));
  p += 8;
  if (!item_id.empty()) std::memcpy(p, item_id.data(), item_id.size());
  p += item_id.size();
  PutLe32(p, token);
  p += 4;
  if (payload_size != 0) std::memcpy(p, payload, payload_size);
  p += payload_size;
  if (!metadata.empty()) std::memcpy(p, metadata.data(), metadata.size());
  return out;
}

bool TryDecodeItemRecord(const ostrik::Bytes& record, uint64_t payload_size, EncodedItemRecord& out,
                         std::string& message) {
  return TryDecodeItemRecord(record.data(), record.size(), payload_size, out, message);
}

bool TryDecodeItemRecord(const uint8_t* record, uint64_t size, uint64_t payload_size, EncodedItemRecord& out,
                         std::string& message) {
  if (size < kItemRecordFixedSize) {
    message = "Malformed item record: " + std::to_string(size) + " bytes is shorter than its header";
    return false;
  }
  const uint64_t metadata_len = GetLe32(record);
  const uint64_t id_len = GetLe32(record + 4);
  // Each term is below 2^32 except payload_size, which is compared on its own first.
  if (payload_size > size || EncodedItemRecordSize(id_len, payload_size, metadata_len) != size) {
    message = "Malformed item record: id length " + std::to_string(id_len) + ", payload size " +
              std::to_string(payload_size) + " and metadata length " + std::to_string(metadata_len) +
              " do not add up to its " + std::to_string(size) + " bytes";
    return false;
  }
  const uint8_t* p = record + 8;
  out.item_id = std::string_view(reinterpret_cast<const char*>(p), id_len);
  out.token = GetLe32(p + id_len);
  out.payload = p + id_len + 4;
  out.metadata = std::string_view(reinterpret_cast<const char*>(out.payload + payload_size), metadata_len);
  return true;
}

EncodedItemRecord DecodeItemRecord(const ostrik::Bytes& record, uint64_t payload_size) {
  EncodedItemRecord out;
  std::string message;
  if (!TryDecodeItemRecord(record, payload_size, out, message)) throw std::runtime_error(message);
  return out;
}

}  // namespace ostrik_encrypted_index::internal::token_store
