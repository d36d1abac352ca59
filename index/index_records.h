// The records of the index layer: the centroid lists an index owns (Quantizers), what a caller
// passes to training and queries (TrainParams, QueryParams) and what a get by id returns
// (GetResult, GetInclude).
//
// Plain values with their defaults in one place; nothing here throws or locks. Safe to share
// read-only between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik {

// The centroid lists of an index. After training `coarse` holds one matrix of n_lists rows by
// dimension columns; `secondary` is only ever carried through serialization.
struct Quantizers {
  std::vector<QuantizerMatrix> coarse;
  std::vector<QuantizerMatrix> secondary;
};

// Training parameters, handed to the k-means kernel unchanged. The defaults are those of an
// in-place training; train-and-serialize callers pass their own.
struct TrainParams {
  uint64_t batch_size = 2048;  // 0 lets the kernel choose
  uint64_t max_iters = 100;    // mini-batch rounds after the seeding
  double tolerance = 1e-6;     // carried; no round count depends on it
  uint64_t max_memory = 0;     // carried; bounds nothing
};

struct QueryParams {
  uint64_t top_k = 100;
  uint64_t n_probes = 1;             // lists probed per query on a trained index
  std::vector<int32_t> include;      // QueryInclude codes
  bool greedy = false;               // widen each query's probes over the batch's first picks
  std::string filters;               // filter JSON text; empty means no filter
};

// Codes of the fields a get returns besides the id. Other codes are ignored; none selects all.
enum class GetInclude : int32_t { VECTOR = 0, METADATA = 1, CONTENTS = 2 };

struct GetResult {
  std::string id;
  std::vector<float> vector;      // empty unless VECTOR was selected
  std::vector<uint8_t> contents;  // empty unless CONTENTS was selected and the item has some
  std::string metadata;           // empty unless METADATA was selected and the item has some
};

}  // namespace ostrik
