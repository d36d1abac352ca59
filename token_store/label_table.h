// LabelTable: a flat open-addressing map from 64-bit label to a 32-bit place, sized once for a
// known number of labels. Labels are pseudo-random, so a multiplicative hash spreads them well;
// one allocation per table instead of one node per label.
//
// Nothing throws except the initial allocation. Not synchronised.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrik_encrypted_index::internal::token_store {

class LabelTable {
 public:
  explicit LabelTable(uint64_t max_labels) {
    uint64_t slots = std::bit_ceil(max_labels * 2 + 2);
    shift_ = 64 - std::countr_zero(slots);
    mask_ = slots - 1;
    keys_.resize(slots);
    places_.assign(slots, kEmpty);
  }

  // The place stored for `label`, inserting `place` first when the label is new; second is true
  // for a new label. At most max_labels distinct labels may be inserted.
  std::pair<uint32_t, bool> FindOrInsert(uint64_t label, uint32_t place) {
    uint64_t slot = (label * 0x9E3779B97F4A7C15ULL) >> shift_;
    while (true) {
      if (places_[slot] == kEmpty) {
        keys_[slot] = label;
        places_[slot] = place;
        return {place, true};
      }
      if (keys_[slot] == label) return {places_[slot], false};
      slot = (slot + 1) & mask_;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  int shift_;
  uint64_t mask_;
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> places_;
};

}  // namespace ostrik_encrypted_index::internal::token_store
