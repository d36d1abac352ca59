// ReserveLarge: reserves room for n elements and, for a buffer of several megabytes, asks for 2 MB
// pages. First touching tens of megabytes page by page costs more than filling them; a fetch's
// output is such a buffer when the caller does not reuse one. SizeItemRecords sizes a fetch's
// output record that way, and ClearItemRecords empties one after a failure.
//
// Throws what reserve throws (and std::length_error for a record too large to address); the page
// advice is a hint, and a refusal changes nothing. Reentrant.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/matrix.h"

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

// `rows` items of `width` payload bytes; ids and metadata empty, payload bytes unspecified until
// written. Token offsets are the caller's.
inline void SizeItemRecords(ostrik::ItemRecords& out, uint64_t rows, uint64_t width) {
  if (width != 0 && rows > UINT64_MAX / width) throw std::length_error("ByteMatrix size overflows");
  out.item_ids.resize(rows);
  out.metadata.resize(rows);
  out.payloads.rows = rows;
  out.payloads.cols = width;
  ReserveLarge(out.payloads.data, rows * width);
  out.payloads.data.resize(rows * width);
}

// No items, the buffers kept for the next fill: what a failed fetch leaves in its output.
inline void ClearItemRecords(ostrik::ItemRecords& out) {
  out.item_ids.clear();
  out.metadata.clear();
  out.token_indices.clear();
  out.payloads.rows = 0;
  out.payloads.data.clear();
}

}  // namespace ostrik_encrypted_index::internal::token_store
