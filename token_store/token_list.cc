#include "token_store/token_list.h"

#include <cstring>

namespace ostrik_encrypted_index::internal::token_store {

TokenItem TokenList::item(uint64_t i) const {
  const uint8_t* row = payload(i);
  return TokenItem{std::string(id(i)), ostrik::Bytes(row, row + width_), std::string(metadata(i)), labels_[i]};
}

bool TokenList::Append(const TokenItem& item) {
  if (empty()) {
    width_ = item.payload.size();
  } else if (item.payload.size() != width_) {
    return false;
  }
  // Ids and metadata come from item records, whose lengths are 32-bit.
  if (item.item_id.size() > UINT32_MAX) return false;
  payloads_.insert(payloads_.end(), item.payload.begin(), item.payload.end());
  text_.insert(text_.end(), item.item_id.begin(), item.item_id.end());
  text_.insert(text_.end(), item.metadata.begin(), item.metadata.end());
  text_ends_.push_back(text_.size());
  id_lengths_.push_back(static_cast<uint32_t>(item.item_id.size()));
  labels_.push_back(item.data_label);
  return true;
}

void TokenList::Clear() {
  payloads_.clear();
  text_.clear();
  text_ends_.clear();
  id_lengths_.clear();
  labels_.clear();
}

void TokenList::SetRow(uint64_t i, std::string_view id, const uint8_t* payload, std::string_view metadata,
                       uint64_t label) {
  char* text = text_.data() + TextBegin(i);
  if (!id.empty()) std::memcpy(text, id.data(), id.size());
  if (!metadata.empty()) std::memcpy(text + id.size(), metadata.data(), metadata.size());
  if (width_ != 0) std::memcpy(payloads_.data() + i * width_, payload, width_);
  id_lengths_[i] = static_cast<uint32_t>(id.size());
  labels_[i] = label;
}

void TokenList::SetPlaceholder(uint64_t i, uint64_t label) {
  if (width_ != 0) std::memset(payloads_.data() + i * width_, 0, width_);
  id_lengths_[i] = 0;
  labels_[i] = label;
}

void TokenList::CopyRow(uint64_t i, const TokenList& source, uint64_t from) {
  const uint64_t begin = source.TextBegin(from);
  const uint64_t length = source.text_ends_[from] - begin;
  if (length != 0) std::memcpy(text_.data() + TextBegin(i), source.text_.data() + begin, length);
  if (width_ != 0) std::memcpy(payloads_.data() + i * width_, source.payload(from), width_);
  id_lengths_[i] = source.id_lengths_[from];
  labels_[i] = source.labels_[from];
}

void TokenList::KeepRows(const uint8_t* keep) {
  const uint64_t rows = size();
  uint64_t kept = 0, text_end = 0, read_begin = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const uint64_t read_end = text_ends_[i];
    if (keep[i] != 0) {
      // Rows only move towards the front, so every source is read before it is overwritten.
      const uint64_t length = read_end - read_begin;
      if (kept != i) {
        if (length != 0) std::memmove(text_.data() + text_end, text_.data() + read_begin, length);
        if (width_ != 0) std::memmove(payloads_.data() + kept * width_, payloads_.data() + i * width_, width_);
        id_lengths_[kept] = id_lengths_[i];
        labels_[kept] = labels_[i];
      }
      text_end += length;
      text_ends_[kept] = text_end;
      ++kept;
    }
    read_begin = read_end;
  }
  payloads_.resize(kept * width_);
  text_.resize(text_end);
  text_ends_.resize(kept);
  id_lengths_.resize(kept);
  labels_.resize(kept);
}

const SharedTokenList& EmptyTokenList() {
  static const SharedTokenList empty = std::make_shared<const TokenList>();
  return empty;
}

}  // namespace ostrik_encrypted_index::internal::token_store
