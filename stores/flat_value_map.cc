#include "stores/flat_value_map.h"

#include <utility>

namespace ostrik_encrypted_index::internal::backing_store {

namespace {
constexpr size_t kFirstSlots = 16;
}  // namespace

FlatValueMap::Value& FlatValueMap::operator[](uint64_t key) {
  if (!slots_.empty()) {
    for (size_t i = Home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.value.used_) break;
      if (slot.key == key) return slot.value;
    }
  }
  if (2 * (size_ + 1) > slots_.size()) Grow();
  size_t i = Home(key);
  while (slots_[i].value.used_) i = (i + 1) & mask_;
  Slot& slot = slots_[i];
  slot.key = key;
  slot.value.used_ = true;
  ++size_;
  return slot.value;
}

bool FlatValueMap::Erase(uint64_t key) {
  if (size_ == 0) return false;
  size_t i = Home(key);
  for (;; i = (i + 1) & mask_) {
    if (!slots_[i].value.used_) return false;
    if (slots_[i].key == key) break;
  }
  // Backward shift: every later slot of the run whose home does not lie in (i, j] moves into the
  // hole, so that no lookup meets an empty slot before its key.
  for (size_t j = (i + 1) & mask_; slots_[j].value.used_; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].key);
    if (((j - home) & mask_) >= ((j - i) & mask_)) {
      slots_[i].key = slots_[j].key;
      slots_[i].value = std::move(slots_[j].value);
      i = j;
    }
  }
  slots_[i].key = 0;
  slots_[i].value = Value();  // a move keeps the slot's own flag
  slots_[i].value.used_ = false;
  --size_;
  return true;
}

void FlatValueMap::Grow() {
  const size_t count = slots_.empty() ? kFirstSlots : 2 * slots_.size();
  std::vector<Slot> grown(count);  // the only step that can throw: nothing has changed yet
  const size_t mask = count - 1;
  unsigned shift = 64;
  for (size_t c = count; c > 1; c >>= 1) --shift;
  std::swap(slots_, grown);
  mask_ = mask;
  shift_ = shift;
  for (Slot& old : grown) {
    if (!old.value.used_) continue;
    size_t i = Home(old.key);
    while (slots_[i].value.used_) i = (i + 1) & mask_;
    slots_[i].key = old.key;
    slots_[i].value.used_ = true;
    slots_[i].value = std::move(old.value);
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
