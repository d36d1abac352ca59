// TokenList: the decrypted items of one token, laid out flat: one block of fixed-width payload rows,
// one text buffer holding each item's id followed by its metadata, and each item's data label. A
// list is copied out as a few blocks, or read in place through a shared pointer (the token cache
// and the fetch hand lists out as std::shared_ptr<const TokenList>). TokenItem is one item as a
// value of its own.
//
// Nothing throws except on allocation failure. Not synchronised; const access from several threads
// is safe, and so is filling different rows of a shaped list from different threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/matrix.h"
#include "core/default_init_allocator.h"

namespace ostrik_encrypted_index::internal::token_store {

using ostrik::UninitVector;

struct TokenItem {
  std::string item_id;
  ostrik::Bytes payload;
  std::string metadata;
  uint64_t data_label = 0;  // the data-store key the item was read from or written to
};

class TokenList {
 public:
  uint64_t size() const { return labels_.size(); }
  bool empty() const { return labels_.empty(); }
  // Payload bytes per item.
  uint64_t width() const { return width_; }
  // size() x width() bytes, item after item.
  const uint8_t* payloads() const { return payloads_.data(); }
  const uint8_t* payload(uint64_t i) const { return payloads_.data() + i * width_; }
  std::string_view id(uint64_t i) const { return {text_.data() + TextBegin(i), id_lengths_[i]}; }
  std::string_view metadata(uint64_t i) const {
    const uint64_t begin = TextBegin(i) + id_lengths_[i];
    return {text_.data() + begin, text_ends_[i] - begin};
  }
  uint64_t data_label(uint64_t i) const { return labels_[i]; }
  // A copy of item i.
  TokenItem item(uint64_t i) const;

  // Appends one item. The first item of an empty list sets its width; an item of another width is
  // refused (false, nothing changes).
  bool Append(const TokenItem& item);
  // Empties the list, keeping its memory.
  void Clear();

  // Filling many rows at once. Shape sizes the list for `rows` items of `width` payload bytes
  // whose id and metadata take text_size(i) bytes together; every row must then be written once,
  // by SetRow, SetPlaceholder or CopyRow, before the list is read.
  template <typename TextSize>
  void Shape(uint64_t rows, uint64_t width, TextSize text_size) {
    width_ = width;
    payloads_.resize(rows * width);
    labels_.resize(rows);
    id_lengths_.resize(rows);
    text_ends_.resize(rows);
    uint64_t end = 0;
    for (uint64_t i = 0; i < rows; ++i) {
      end += text_size(i);
      text_ends_[i] = end;
    }
    text_.resize(end);
  }
  // REQUIRES: id.size() + metadata.size() is row i's text size; payload holds width() bytes.
  void SetRow(uint64_t i, std::string_view id, const uint8_t* payload, std::string_view metadata, uint64_t label);
  // A deleted item's place: empty id and metadata, zero payload. REQUIRES: row i's text size is 0.
  void SetPlaceholder(uint64_t i, uint64_t label);
  // REQUIRES: `source` has this list's width and its row `from` has row i's text size.
  void CopyRow(uint64_t i, const TokenList& source, uint64_t from);
  // Keeps the rows whose keep[i] is non-zero, in order.
  void KeepRows(const uint8_t* keep);

 private:
  uint64_t TextBegin(uint64_t i) const { return i == 0 ? 0 : text_ends_[i - 1]; }

  uint64_t width_ = 0;
  UninitVector<uint8_t> payloads_;
  UninitVector<char> text_;
  UninitVector<uint64_t> text_ends_;  // end of item i's text; it begins where item i - 1's ends
  UninitVector<uint32_t> id_lengths_;
  UninitVector<uint64_t> labels_;
};

using SharedTokenList = std::shared_ptr<const TokenList>;

// The one empty list handed out for a token without items.
const SharedTokenList& EmptyTokenList();

}  // namespace ostrik_encrypted_index::internal::token_store
