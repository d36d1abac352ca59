// ThreadCountScope: runs one operation on its owner's OpenMP thread count (an index's, an
// engine's), whatever thread calls it, and gives the calling thread its previous count back.
//
// Never throws. Affects only the calling thread's OpenMP settings. In a forked child that must
// not start threads the count stays 1 (core/fork_state.h).
#pragma once

#include <omp.h>

#include <cstdint>

#include "core/fork_state.h"

namespace ostrik {

class ThreadCountScope {
 public:
  // 0 or less leaves the OpenMP default.
  explicit ThreadCountScope(int64_t threads) : previous_(omp_get_max_threads()), active_(threads > 0) {
    if (active_) SetThreadCount(static_cast<int>(threads));
  }
  ~ThreadCountScope() {
    if (active_) SetThreadCount(previous_);
  }
  ThreadCountScope(const ThreadCountScope&) = delete;
  ThreadCountScope& operator=(const ThreadCountScope&) = delete;

 private:
  int previous_;
  bool active_;
};

}  // namespace ostrik
