// ReadBuffer: the bytes a server store reads a batch's values into, kept by the caller (in its
// ValueViews) from one read to the next, so that a read reuses the room of the last one instead of
// allocating, and faulting in, room of its own for every value. Bytes beyond size() are not
// initialised. Growing moves what was written: offsets into the buffer stay valid, pointers do not.
//
// Throws std::bad_alloc when it cannot grow, keeping what it held. Not synchronised.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace ostrik_encrypted_index::internal::backing_store {

class ReadBuffer {
 public:
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

  // Forgets the bytes, keeps the room.
  void clear() { size_ = 0; }
  // Gives the room back.
  void Release() {
    bytes_.reset();
    size_ = capacity_ = 0;
  }
  // After the views into it are done with: room up to kKept stays for the next read (a query's
  // records), more (a training's read of a whole index) goes back.
  static constexpr size_t kKept = size_t{128} << 20;
  void TrimAfterUse() {
    if (capacity_ > kKept) Release();
  }

  // Room for at least `bytes` more after size(); a growth at least doubles it.
  uint8_t* Reserve(size_t bytes) {
    if (capacity_ - size_ < bytes) Grow(size_ + bytes);
    return bytes_.get() + size_;
  }
  // The next `bytes` (reserved before) are now written.
  void Commit(size_t bytes) { size_ += bytes; }
  uint8_t* end() { return bytes_.get() + size_; }
  size_t room() const { return capacity_ - size_; }

 private:
  void Grow(size_t at_least) {
    size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity < at_least) capacity *= 2;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[capacity]);  // default-initialised: not zeroed
#ifdef MADV_HUGEPAGE
    // Tens of megabytes touched page by page cost more than filling them: ask for 2 MB pages.
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    const auto at = reinterpret_cast<uintptr_t>(bytes.get());
    const uintptr_t begin = (at + kHuge - 1) & ~(kHuge - 1), end = (at + capacity) & ~(kHuge - 1);
    if (capacity >= 2 * kHuge && end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
    if (size_ != 0) std::memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }

  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
