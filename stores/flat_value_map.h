// FlatValueMap: the memory store's values by key, in one open-addressed table (linear probing,
// at most half full, erasure by backward shift). A lookup reads one slot instead of a bucket, a
// node and a chain, and a batch read can ask for the slots of keys ahead (Prefetch) while it copies
// the current one: the fetch of a query reads thousands of random keys. Values of up to
// Value::kInline bytes (the index store's 8-byte entries) live in the slot itself, so that their
// lookup misses the cache once, not twice.
//
// Throws std::bad_alloc from an insertion that grows the table, leaving it as it was, and from
// assigning a longer value, leaving that value as it was; nothing else. Not synchronised: any
// number of readers, or one writer. A reference or pointer to a value stays valid until the next
// insertion or erasure; a value's bytes until it is assigned again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace ostrik_encrypted_index::internal::backing_store {

class FlatValueMap {
 public:
  // A byte string kept inline up to kInline bytes, on the heap beyond.
  class Value {
   public:
    static constexpr size_t kInline = 16;

    Value() = default;
    ~Value() { Release(); }
    Value(Value&& other) noexcept { Take(other); }
    Value& operator=(Value&& other) noexcept {
      if (this != &other) {
        Release();
        Take(other);
      }
      return *this;
    }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    void assign(const uint8_t* begin, const uint8_t* end) {
      const size_t n = static_cast<size_t>(end - begin);
      if (n <= kInline) {
        Release();
        if (n != 0) std::memcpy(inline_, begin, n);
      } else {
        uint8_t* heap = new uint8_t[n];  // the only step that can throw: nothing has changed yet
        std::memcpy(heap, begin, n);
        Release();
        heap_ = heap;
      }
      size_ = n;
    }
    Value& operator=(const std::vector<uint8_t>& bytes) {
      assign(bytes.data(), bytes.data() + bytes.size());
      return *this;
    }

    const uint8_t* data() const { return size_ <= kInline ? inline_ : heap_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<const uint8_t> bytes() const { return {data(), size_}; }
    std::vector<uint8_t> ToVector() const { return {data(), data() + size_}; }

   private:
    void Release() {
      if (size_ > kInline) delete[] heap_;
      size_ = 0;
    }
    void Take(Value& other) {
      size_ = other.size_;
      if (size_ <= kInline) {
        std::memcpy(inline_, other.inline_, kInline);
      } else {
        heap_ = other.heap_;
      }
      other.size_ = 0;
    }

    size_t size_ = 0;
    union {
      uint8_t inline_[kInline];
      uint8_t* heap_;
    };
  };

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
