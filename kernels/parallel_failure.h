// ParallelFailure: carries the first exception raised inside an OpenMP region out of it.
//
// Work inside a region runs through Run(); the first exception is kept, later work items are
// skipped, and Rethrow() raises it on the calling thread after the region has ended. No exception
// ever leaves a region. Run() may be called from any thread of the region; Rethrow() only after it.
#pragma once

#include <atomic>
#include <exception>

namespace ostrik_encrypted_index::internal::kernels {

class ParallelFailure {
 public:
  template <class Work>
  void Run(Work&& work) noexcept {
    if (failed_.load(std::memory_order_relaxed)) return;
    try {
      work();
    } catch (...) {
      bool expected = false;
      // Only the winner writes error_; the region's closing barrier publishes it.
      if (failed_.compare_exchange_strong(expected, true)) error_ = std::current_exception();
    }
  }

  // Whether some work failed; read by every thread of a region after a barrier, all agree.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  void Rethrow() const {
    if (failed_.load()) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
};

}  // namespace ostrik_encrypted_index::internal::kernels
