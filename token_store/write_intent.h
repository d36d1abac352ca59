// WriteIntent: what an interrupted write needs to be finished, kept sealed under the index key in
// the index store (kIntentKey) from before its first change that could tear an item until after
// its last. Whoever next holds the index's writer lock finishes it, so that every item ends whole
// in its old or its new version:
//   kUpsert: for every item whose contents the batch writes or removes, its labels, the IV of its
//     new record's envelope (which tells a new record from an old one) and, for contents replacing
//     earlier ones, the label of the staged copy of the new contents;
//   kDelete: the record and contents labels of the items being deleted (finished forwards);
//   kTrain: the trained configuration, the untrained count of list 0 and the data labels of every
//     item, in the order the training re-files them (finished forwards by the index layer).
//
// Open throws std::runtime_error "Malformed write intent record" for bytes that do not decode (and
// the cipher's error for bytes that do not open). Value types; not synchronised.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::token_store {

struct WriteIntent {
  enum class Kind : uint8_t { kUpsert = 1, kDelete = 2, kTrain = 3 };
  enum class Step : uint8_t {
    kFreshContents = 1,    // a new item's contents: orphaned unless its record was written
    kReplaceContents = 2,  // contents of an item stored before: staged, copied once its record is new
    kDropContents = 3,     // an item stored before that brings none: removed once its record is new
  };
  struct ItemStep {
    Step step = Step::kFreshContents;
    uint64_t data_label = 0;
    uint64_t content_label = 0;
    uint64_t staged_label = 0;           // kReplaceContents only
    std::array<uint8_t, 12> record_iv{};  // kReplaceContents and kDropContents
  };

  Kind kind = Kind::kUpsert;
  std::vector<ItemStep> items;          // kUpsert
  std::vector<uint64_t> data_labels;    // kDelete, kTrain
  std::vector<uint64_t> content_labels; // kDelete
  ostrik::Bytes trained_config;         // kTrain
  uint32_t untrained_list0_count = 0;   // kTrain

  ostrik::Bytes Seal(const uint8_t* index_key) const;
  static WriteIntent Open(const ostrik::Bytes& sealed, const uint8_t* index_key);
};

}  // namespace ostrik_encrypted_index::internal::token_store
