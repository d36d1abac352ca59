// FlatValueMap: the memory store's values by key, in one open-addressed table (linear probing,
// at most half full, erasure by backward shift). A lookup reads one slot instead of a bucket, a
// node and a chain, and a batch read can ask for the slots of keys ahead (Prefetch) while it copies
// the current one: the fetch of a query reads thousands of random keys.
//
// Throws std::bad_alloc from an insertion that grows the table, leaving it as it was; nothing else.
// Not synchronised: any number of readers, or one writer. A reference or pointer to a value stays
// valid until the next insertion or erasure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrik_encrypted_index::internal::backing_store {

class FlatValueMap {
 public:
  using Value = std::vector<uint8_t>;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The value of `key`, inserted empty when absent.
  Value& operator[](uint64_t key);
  // Null when absent.
  const Value* Find(uint64_t key) const {
    if (size_ == 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot.value;
    }
  }
  // Asks for the cache line of the slot where a lookup of `key` starts.
  void Prefetch(uint64_t key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Home(key)]);
  }
  // True when the key was there.
  bool Erase(uint64_t key);

 private:
  struct Slot {
    uint64_t key = 0;
    bool used = false;
    Value value;
  };

  // Keys may be anything a caller chose: mixed, so that runs of close keys do not cluster.
  size_t Home(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_; }
  void Grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 63;
  size_t size_ = 0;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
