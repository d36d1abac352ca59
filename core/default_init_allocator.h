// DefaultInitAllocator: std::allocator whose resize leaves new trivial elements uninitialised
// (default-initialised) instead of zeroing them. Buffers that are fully written right after they
// are sized skip a serial pass over their memory.
//
// Throws what std::allocator throws. Stateless; safe wherever std::allocator is.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace ostrik {

template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  // GCC 12 warns here when a resize from empty is inlined: it sees the (empty) move of the old
  // elements as a write into a zero-sized region. Nothing is written there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
#pragma GCC diagnostic pop
};

// A vector whose growth by resize does not zero its new elements.
template <typename T>
using UninitVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace ostrik
