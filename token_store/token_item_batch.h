// TokenItemBatch: one batch of items handed to TokenIndex::AddItems; ItemEntry: one item decoded
// for a get by id.
//
// Plain value records; nothing here throws. Not synchronised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::token_store {

struct TokenItemBatch {
  std::vector<uint32_t> input_tokens;  // token (list number) of each item, each below vocab_size_
  std::vector<std::string> item_ids;
  ostrik::ByteMatrix payloads;              // one row per item; no bytes at all = no payloads
  std::vector<ostrik::Bytes> contents;      // empty, or one per item (an empty entry stores none)
  std::vector<std::string> metadata;        // empty, or one JSON text per item
};

struct ItemEntry {
  std::string item_id;
  std::string metadata;
  ostrik::Bytes payload;
  ostrik::Bytes contents;
};

}  // namespace ostrik_encrypted_index::internal::token_store
