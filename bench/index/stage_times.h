// StageTimes: how long each stage of an index operation took, seen from inside the library. The
// link wraps the entry point of every stage (CMakeLists.txt lists them; stage_times.cc defines
// the wrappers), so an upsert, a training or a query can be split into pre-filter, probes, fetch,
// search, k-means (with its seeding), encoding and the engine's add without touching the library.
// A query searched in the fetch's own pass (a small batch without a filter) has one stage for
// both, fetch_search.
// The k-means wrapper can also pin the centroids: the first training keeps what it trained, and
// every later one, still run and timed in full, hands back that first set instead, so that several
// indexes built from the same data have the same lists.
//
// Nothing here throws except what the wrapped functions throw, passed through unchanged. Not
// synchronised: the benchmark drives the index from one thread, and the index calls every wrapped
// entry point from the thread that called it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kernels/kernel_records.h"

namespace dz_bench {

enum Stage : int { kPreFilter, kProbes, kFetch, kSearch, kKMeans, kSeeding, kEncode, kAdd, kFetchSearch, kStageCount };

const char* StageName(Stage stage);

struct StageTimes {
  std::array<double, kStageCount> seconds{};
  std::array<uint64_t, kStageCount> calls{};
};

// Every wrapped call adds its duration here until the next reset.
StageTimes& Stages();
void ResetStages();

// The pin the k-means wrapper uses, or none (null): an empty pin is filled by the next training,
// a filled one replaces the result of every training after it.
void PinCentroids(std::vector<ostrik::QuantizerMatrix>* pin);

}  // namespace dz_bench
