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

// The most threads an index may ask for. The OpenMP runtime takes any count and fails only when it
// starts the team: tens of thousands of threads exhaust the process (libgomp then exits it, or
// crashes), and millions ask for more memory than there is. 1024 is far above any core count this
// work gains from and far below where thread creation fails.
inline constexpr int32_t kMaxCpuThreads = 1024;

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
