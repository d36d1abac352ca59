// Helpers the query benchmarks share: the engine of an open index (through the hook the index
// tests use), the key and query parameters of their indexes, timing and the figures they print.
//
// Nothing here throws but ParseList (std::runtime_error for an empty list, std::stoull's own) and
// what a timed function throws. Not synchronised: a benchmark drives its indexes from one thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/encrypted_index.h"
#include "token_store/token_index.h"

namespace ostrik {
// The hook the index tests reach the engine through: here it lends the data store and its key, so
// that the floor opens the envelopes the query read.
struct EncryptedIndexTestAccess {
  static ostrik_encrypted_index::internal::token_store::TokenIndex& Engine(EncryptedIndex& index) {
    return *index.token_index_;
  }
};
}  // namespace ostrik

namespace dz_bench {

inline constexpr uint64_t kTopK = 10;

// "1,4,16" -> {1, 4, 16}.
inline std::vector<uint64_t> ParseList(const std::string& text) {
  std::vector<uint64_t> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(std::stoull(item));
  if (values.empty()) throw std::runtime_error("empty list: " + text);
  return values;
}

template <typename F>
double Seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// A number as JSON takes it.
inline std::string Num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

// The key of every benchmark index.
inline ostrik::IndexKey Key() {
  ostrik::IndexKey key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(31 * i + 7);
  return key;
}

// kTopK nearest items of n_probes lists, with their distances.
inline ostrik::QueryParams Params(uint64_t n_probes) {
  ostrik::QueryParams p;
  p.top_k = kTopK;
  p.n_probes = n_probes;
  p.include = {static_cast<int32_t>(ostrik::QueryInclude::DISTANCE)};
  return p;
}

}  // namespace dz_bench
