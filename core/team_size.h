// TeamSize: how many threads a parallel region should start for the work it has: work too small
// to share stays on the calling thread, anything larger gets the whole team. Every starting thread
// costs a wake-up and a share of each barrier, and on a loaded machine a thread that lost its core
// makes the whole region wait for it. Teams in between are avoided on purpose: the OpenMP runtime
// re-forms its thread pool whenever a team's size differs from the previous one's, which costs
// more than the idle threads save (a fetch of 100 items on 8 threads: 0.23 ms with teams of 4 and
// 5, 0.07 ms with teams of 1 and 8).
//
// In a process forked after the module started threads every team is 1 (core/fork_state.h): every
// parallel region sizes its team here or with TeamIf.
//
// Never throws. Reads only the calling thread's OpenMP settings. A region asking for this many
// threads may still be granted fewer (nested regions), so splits follow omp_get_num_threads().
#pragma once

#include <omp.h>

#include <cstdint>

#include "core/fork_state.h"

namespace ostrik {

// a x b, or UINT64_MAX when that does not fit: for work estimates, which only ever feed TeamSize.
inline uint64_t WorkProduct(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// omp_get_max_threads() when the region shares its work, else 1; 1 also in a forked child that
// must not start threads. For regions whose own test decides.
inline int TeamIf(bool share) {
  if (!share) return 1;
  const int most = omp_get_max_threads();
  return most > 1 && MayStartTeam() ? most : 1;
}

// 1 when the work is under two grains (a grain of 0: never) or comes as fewer than two items to
// hand out, else TeamIf(true). With fewer items than threads some threads get none.
inline int TeamSize(uint64_t work, uint64_t grain, uint64_t items = UINT64_MAX) {
  return TeamIf(items >= 2 && (grain == 0 || work / grain >= 2));
}

}  // namespace ostrik
