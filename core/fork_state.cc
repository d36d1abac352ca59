#include "core/fork_state.h"

#include <omp.h>
#include <pthread.h>

#include <atomic>

#include "core/logger.h"

namespace ostrik {
namespace {

// Plain atomics only: the child handler runs in the new process before anything else does.
std::atomic<bool> asked_for_team{false};
std::atomic<bool> forked_after_threads{false};
std::atomic<bool> warned{false};

void OnForkChild() {
  if (!asked_for_team.load(std::memory_order_relaxed)) return;
  forked_after_threads.store(true, std::memory_order_relaxed);
  warned.store(false, std::memory_order_relaxed);  // every such process says it once
}

// Registered once, before the first team can start, so that every later fork runs the handler.
bool ArmForkHandler() {
  static const bool armed = pthread_atfork(nullptr, nullptr, OnForkChild) == 0;
  return armed;
}

// The first time such a child asks for threads, it says once that it will not get them.
void WarnOnce() noexcept {
  if (warned.exchange(true, std::memory_order_relaxed)) return;
  try {
    CurrentLogger().warning(kForkedChildWarning);
  } catch (...) {
    // A line that cannot be formatted is lost; the work still runs, on one thread.
  }
}

}  // namespace

bool ForkedAfterThreads() noexcept { return forked_after_threads.load(std::memory_order_relaxed); }

bool MayStartTeam() noexcept {
  if (ForkedAfterThreads()) {
    WarnOnce();
    return false;
  }
  // Without the handler a later fork could not be told apart: stay on one thread then.
  if (!ArmForkHandler()) return false;
  if (!asked_for_team.load(std::memory_order_relaxed)) asked_for_team.store(true);
  return true;
}

void SetThreadCount(int threads) noexcept {
  if (ForkedAfterThreads()) {
    // An index's own thread count is set before its first region: that request is the one
    // refused, and the regions then never get to ask.
    if (threads > 1) WarnOnce();
    threads = 1;
  }
  omp_set_num_threads(threads);
}

}  // namespace ostrik
