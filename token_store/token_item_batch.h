// TokenItemBatch: one batch of items handed to TokenIndex::AddItems, with PayloadRows, its payload
// rows (its own bytes or the caller's, seen in place); ItemEntry: one item decoded for a get by id.
//
// Plain value records; nothing here throws but allocation. Not synchronised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::token_store {

// Rows of `cols` bytes: held by the rows themselves (from a ByteMatrix, copied along with them), or
// bytes of the caller's seen in place (View: an upsert's vectors are not copied once more), which
// must then outlive every use of the rows.
class PayloadRows {
 public:
  uint64_t rows = 0;
  uint64_t cols = 0;

  PayloadRows() = default;
  PayloadRows(ostrik::ByteMatrix held) : rows(held.rows), cols(held.cols), held_(std::move(held.data)) {
    data_ = held_.data();
  }
  static PayloadRows View(const uint8_t* data, uint64_t rows, uint64_t cols) {
    PayloadRows view;
    view.rows = rows;
    view.cols = cols;
    view.data_ = data;
    return view;
  }
  PayloadRows(const PayloadRows& other)
      : rows(other.rows), cols(other.cols), held_(other.held_), data_(other.Holds() ? held_.data() : other.data_) {}
  PayloadRows(PayloadRows&& other) noexcept
      : rows(other.rows), cols(other.cols), held_(std::move(other.held_)), data_(other.data_) {
    other = PayloadRows();
  }
  PayloadRows& operator=(const PayloadRows& other) {
    if (this != &other) *this = PayloadRows(other);
    return *this;
  }
  PayloadRows& operator=(PayloadRows&& other) noexcept {
    if (this != &other) {
      rows = other.rows;
      cols = other.cols;
      held_ = std::move(other.held_);  // a vector's buffer moves with it: data_ stays valid
      data_ = other.data_;
      other.rows = other.cols = 0;
      other.held_.clear();
      other.data_ = nullptr;
    }
    return *this;
  }

  const uint8_t* row(uint64_t i) const { return data_ + i * cols; }

 private:
  bool Holds() const { return data_ != nullptr && data_ == held_.data(); }

  ostrik::Bytes held_;
  const uint8_t* data_ = nullptr;
};

struct TokenItemBatch {
  std::vector<uint32_t> input_tokens;  // token (list number) of each item, each below vocab_size_
  std::vector<std::string> item_ids;
  PayloadRows payloads;                 // one row per item; no bytes at all = no payloads
  std::vector<ostrik::Bytes> contents;  // empty, or one per item (an empty entry stores none)
  std::vector<std::string> metadata;    // empty, or one JSON text per item
};

struct ItemEntry {
  std::string item_id;
  std::string metadata;
  ostrik::Bytes payload;
  ostrik::Bytes contents;
};

}  // namespace ostrik_encrypted_index::internal::token_store
