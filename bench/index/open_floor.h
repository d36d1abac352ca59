// OpenFloor: the AES-256-GCM opening of a query's envelopes on its threads, as the fetch opens them
// (each thread a contiguous share into a room of its own, the envelopes ahead asked for while the
// current one is opened): what no query can take less time for than its cipher work.
//
// Open throws std::runtime_error when an envelope does not open. Single-threaded use; Open runs
// its own parallel region.
#pragma once

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/aes_gcm.h"
#include "stores/keystore.h"

namespace dz_bench {

class OpenFloor {
 public:
  // The fetch's prefetch distance and depth (token_store/get_token_items.cc).
  static constexpr uint64_t kPrefetchRows = 2;
  static constexpr uint64_t kPrefetchBytes = 2048;

  OpenFloor(const uint8_t* key, int threads) : key_(key), threads_(threads) {}

  // Seconds to open every view.
  double Open(const ostrik_encrypted_index::internal::backing_store::ValueViews& views) {
    uint64_t largest = 0;
    for (const auto& v : views.values) largest = std::max<uint64_t>(largest, v.size());
    const uint64_t stride = (largest + 63) & ~uint64_t{63};
    if (room_.size() < stride * static_cast<uint64_t>(threads_)) room_.resize(stride * static_cast<uint64_t>(threads_));
    const uint64_t n = views.values.size();
    int failed = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const ostrik::GcmItemOpener::Algorithm algorithm;
#pragma omp parallel num_threads(threads_) reduction(+ : failed) if (threads_ > 1)
    {
      const uint64_t team = static_cast<uint64_t>(omp_get_num_threads());
      const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
      ostrik::GcmItemOpener opener(algorithm, key_);
      uint8_t* plain = room_.data() + t * stride;
      const uint64_t end = n * (t + 1) / team;
      for (uint64_t i = n * t / team; i < end; ++i) {
        // Without asking for the envelopes ahead as the fetch does, the floor would wait for
        // memory that the query does not, and come out above the query.
        if (i + kPrefetchRows < end) {
          const auto& ahead = views.values[i + kPrefetchRows];
          const uint64_t bytes = std::min<uint64_t>(ahead.size(), kPrefetchBytes);
          for (uint64_t at = 0; at < bytes; at += 64) __builtin_prefetch(ahead.data() + at);
        }
        const auto& v = views.values[i];
        if (!v.empty()) failed += opener.Open(v.data(), v.size(), plain) != nullptr;
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (failed != 0) throw std::runtime_error("the floor could not open " + std::to_string(failed) + " envelopes");
    return seconds;
  }

 private:
  const uint8_t* key_;
  int threads_;
  std::vector<uint8_t> room_;
};

}  // namespace dz_bench
