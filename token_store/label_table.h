// LabelTable: a flat open-addressing map from 64-bit label to a 32-bit place, sized for a known
// number of labels. Labels are pseudo-random, so a multiplicative hash spreads them well; one
// allocation per table instead of one node per label, and Reset lets one table serve many batches:
// each batch marks the slots it fills with its own number, so emptying the table writes nothing.
//
// Nothing throws except allocation when sizing. Not synchronised.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrik_encrypted_index::internal::token_store {

class LabelTable {
 public:
  LabelTable() = default;
  explicit LabelTable(uint64_t max_labels) { Reset(max_labels); }

  // Empties the table and sizes it for `max_labels` labels, keeping its memory where it suffices.
  void Reset(uint64_t max_labels) {
    uint64_t slots = std::bit_ceil(max_labels * 2 + 2);
    shift_ = 64 - std::countr_zero(slots);
    mask_ = slots - 1;
    if (slots_.size() < slots || ++batch_ == 0) {
      slots_.assign(std::max<uint64_t>(slots, slots_.size()), Slot{});
      batch_ = 1;
    }
  }

  // REQUIRES: the table was sized (constructor or Reset).
  // The place stored for `label`, inserting `place` first when the label is new; second is true
  // for a new label. At most max_labels distinct labels may be inserted.
  std::pair<uint32_t, bool> FindOrInsert(uint64_t label, uint32_t place) {
    uint64_t slot = Home(label);
    while (true) {
      Slot& s = slots_[slot];
      if (s.batch != batch_) {
        s.label = label;
        s.place = place;
        s.batch = batch_;
        return {place, true};
      }
      if (s.label == label) return {s.place, false};
      slot = (slot + 1) & mask_;
    }
  }

  // Starts loading the slot where a FindOrInsert of `label` begins: a loop over many labels calls
  // it some labels ahead, so that its probes find their slots in cache.
  void Prefetch(uint64_t label) const { __builtin_prefetch(&slots_[Home(label)]); }

 private:
  // Label and place side by side: a probe touches one cache line. A slot is filled when it holds
  // the current batch's number (never 0).
  struct Slot {
    uint64_t label = 0;
    uint32_t place = 0;
    uint32_t batch = 0;
  };

  uint64_t Home(uint64_t label) const { return (label * 0x9E3779B97F4A7C15ULL) >> shift_; }

  int shift_ = 64;
  uint64_t mask_ = 0;
  uint32_t batch_ = 0;
  std::vector<Slot> slots_;
};

}  // namespace ostrik_encrypted_index::internal::token_store
