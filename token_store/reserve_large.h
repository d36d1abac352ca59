// ReserveLarge: reserves room for n elements and, for a buffer of several megabytes, asks for 2 MB
// pages. First touching tens of megabytes page by page costs more than filling them; a fetch's
// output is such a buffer when the caller does not reuse one.
//
// Throws what reserve throws; the page advice is a hint, and a refusal changes nothing.
// Reentrant.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <vector>

namespace ostrik_encrypted_index::internal::token_store {

template <typename T, typename A>
void ReserveLarge(std::vector<T, A>& v, size_t n) {
  if (v.capacity() >= n) return;
  v.reserve(n);
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  const size_t bytes = n * sizeof(T);
  if (bytes < 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(v.data()) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(v.data()) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace ostrik_encrypted_index::internal::token_store
