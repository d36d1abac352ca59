// FlatValueMap: the memory store's values by key, in one open-addressed table (linear probing,
// at most half full, erasure by backward shift). A lookup reads one slot instead of a bucket, a
// node and a chain, and a batch read can ask for the slots of keys ahead (Prefetch) while it copies
// the current one: the fetch of a query reads thousands of random keys. Values of up to
// Value::kInline bytes (the index store's 8-byte entries) live in the slot itself, so that their
// lookup misses the cache once, not twice.
//
// Throws std::bad_alloc from an insertion that grows the table, leaving it as it was, and from
// assigning (not adopting) a longer value, leaving that value as it was; nothing else. Not
// synchronised: any number of readers, or one writer. A reference or pointer to a value stays
// valid until the next insertion or erasure; a value's bytes until it is assigned again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

namespace ostrik_encrypted_index::internal::backing_store {

class FlatValueMap {
 public:
  // A byte string kept inline up to kInline bytes, in a vector of its own beyond (which Adopt takes
  // over instead of copying: a store keeps the very envelopes a batch sealed).
  class Value {
   public:
    static constexpr size_t kInline = 16;

    Value() noexcept {}
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
        SetInline(begin, n);
        return;
      }
      std::vector<uint8_t> bytes(begin, end);  // the only step that can throw: nothing has changed yet
      Adopt(std::move(bytes));
    }
    Value& operator=(const std::vector<uint8_t>& bytes) {
      assign(bytes.data(), bytes.data() + bytes.size());
      return *this;
    }
    void Adopt(std::vector<uint8_t>&& bytes) noexcept {
      if (bytes.size() <= kInline) {
        SetInline(bytes.data(), bytes.size());
        return;
      }
      Release();
      new (&heap_) std::vector<uint8_t>(std::move(bytes));
      on_heap_ = true;
    }

    const uint8_t* data() const { return on_heap_ ? heap_.data() : inline_; }
    size_t size() const { return on_heap_ ? heap_.size() : inline_size_; }
    bool empty() const { return size() == 0; }
    std::span<const uint8_t> bytes() const { return {data(), size()}; }
    std::vector<uint8_t> ToVector() const { return {data(), data() + size()}; }

   private:
    friend class FlatValueMap;

    // REQUIRES: n <= kInline.
    void SetInline(const uint8_t* bytes, size_t n) noexcept {
      Release();
      if (n != 0) std::memcpy(inline_, bytes, n);
      inline_size_ = static_cast<uint8_t>(n);
    }
    void Release() noexcept {
      if (on_heap_) heap_.~vector();
      on_heap_ = false;
      inline_size_ = 0;
    }
    void Take(Value& other) noexcept {
      if (other.on_heap_) {
        new (&heap_) std::vector<uint8_t>(std::move(other.heap_));
        other.heap_.~vector();
        on_heap_ = true;
        other.on_heap_ = false;
      } else {
        std::memcpy(inline_, other.inline_, kInline);
        inline_size_ = other.inline_size_;
      }
      other.inline_size_ = 0;
    }

    union {
      uint8_t inline_[kInline];
      std::vector<uint8_t> heap_;
    };
    uint8_t inline_size_ = 0;
    bool on_heap_ = false;
    bool used_ = false;  // the map's: whether the slot holding this value is taken (a move keeps it)
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
      if (!slot.value.used_) return nullptr;
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
