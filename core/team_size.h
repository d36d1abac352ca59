// TeamSize: how many threads a parallel region should start for the work it has, so that work too
// small to share stays on the calling thread and medium work wakes no more threads than it keeps
// busy. Every starting thread costs a wake-up and a share of each barrier, and on a loaded machine
// a thread that lost its core makes the whole region wait for it.
//
// Never throws. Reads only the calling thread's OpenMP settings. A region asking for this many
// threads may still be granted fewer (nested regions), so splits follow omp_get_num_threads().
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>

namespace ostrik {

// a x b, or UINT64_MAX when that does not fit: for work estimates, which only ever feed TeamSize.
inline uint64_t WorkProduct(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// One thread per `grain` units of work, at least one and at most omp_get_max_threads().
inline int TeamSize(uint64_t work, uint64_t grain) {
  const uint64_t most = static_cast<uint64_t>(std::max(1, omp_get_max_threads()));
  const uint64_t wanted = std::max<uint64_t>(1, grain == 0 ? most : work / grain);
  return static_cast<int>(std::min(most, wanted));
}

}  // namespace ostrik
