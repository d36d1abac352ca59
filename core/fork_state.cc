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

}  // namespace

bool ForkedAfterThreads() noexcept { return forked_after_threads.load(std::memory_order_relaxed); }

bool MayStartTeam() noexcept {
  if (forked_after_threads.load(std::memory_order_relaxed)) {
    if (!warned.exchange(true, std::memory_order_relaxed)) {
      try {
        CurrentLogger().warning(kForkedChildWarning);
      } catch (...) {
        // A line that cannot be formatted is lost; the work still runs, on one thread.
      }
    }
    return false;
  }
  // Without the handler a later fork could not be told apart: stay on one thread then.
  if (!ArmForkHandler()) return false;
  if (!asked_for_team.load(std::memory_order_relaxed)) asked_for_team.store(true);
  return true;
}

void SetThreadCount(int threads) noexcept { omp_set_num_threads(ForkedAfterThreads() ? 1 : threads); }

}  // namespace ostrik
