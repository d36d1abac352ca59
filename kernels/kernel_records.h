// Records carried between the vector kernels and the index layer: centroid matrices, encoding
// codes, training parameters, probe selections and query results, plus the query include codes.
//
// Plain data. Only the QuantizerMatrix value constructor checks anything: it throws
// std::invalid_argument when the values do not divide into whole rows of a non-zero width.
// Not synchronised; safe to share read-only between threads.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/matrix.h"

namespace ostrik {

// Centroids of one subvector, row-major: row r is centroid r. The same memory read column-major
// (cols rows, count columns) has centroid r as column r, which is how the kernels use it in place.
struct QuantizerMatrix {
  int32_t count = 0;
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<float> data;

  QuantizerMatrix() = default;
  QuantizerMatrix(int32_t centroid_count, std::vector<float> values, uint64_t columns) {
    if (columns == 0 || values.size() % columns != 0) {
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    count = centroid_count;
    cols = columns;
    rows = values.size() / columns;
    data = std::move(values);
  }
};

// Read-only row-major float rows held elsewhere (for instance the payload bytes of fetched items,
// which are float32 vectors): the search reads candidates through it without a copy.
struct FloatRowsView {
  uint64_t rows = 0;
  uint64_t cols = 0;
  const float* data = nullptr;  // rows x cols values; may be null when there are none

  const float* row(uint64_t i) const { return data + i * cols; }
};

// Nearest-centroid codes: codes[v * cols + s] is the centroid of quantizer s nearest to
// subvector s of vector v.
struct CodeMatrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<uint32_t> codes;
};

// Training parameters. The training reads n_subvectors, n_clusters, max_iters and batch_size
// (0 selects 1024); reserved and tolerance are carried only. between_rounds, when set, runs on the
// calling thread once per round (a writer keeps its lock alive there); should it throw, training
// stops and rethrows it.
struct KMeansParams {
  uint64_t n_subvectors = 1;
  uint64_t n_clusters = 0;
  uint64_t reserved = 0;
  uint64_t max_iters = 0;
  uint64_t batch_size = 0;
  double tolerance = 0.0;
  std::function<void()> between_rounds;
};

struct Int32Matrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<int32_t> data;
};

struct StringMatrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<std::string> data;
};

// The lists a query batch probes. probed_ids is the ascending union of every query's probes;
// row q of positions holds indices into probed_ids, nearest first. Group g of the candidates
// handed to the search holds the items of list probed_ids[g].
struct ProbeSelection {
  uint64_t n_queries = 0;
  std::vector<uint32_t> probed_ids;
  Int32Matrix positions;
  FloatMatrix distances;  // left empty by probe selection, not read by the search
};

// Per query q: row q of ids and distances holds the result_counts[q] nearest candidates, nearest
// first, then empty ids and zero distances. metadata[q] is empty unless metadata was requested,
// then it holds exactly top_k texts.
struct QueryResults {
  uint64_t n_queries = 0;
  uint64_t top_k = 0;
  StringMatrix ids;
  FloatMatrix distances;
  std::vector<int32_t> result_counts;
  std::vector<std::vector<std::string>> metadata;

  QueryResults() = default;
  QueryResults(uint64_t queries, uint64_t k)
      : n_queries(queries),
        top_k(k),
        ids{queries, k, std::vector<std::string>(queries * k)},
        distances{queries, k, std::vector<float>(queries * k, 0.0f)},
        result_counts(queries, 0),
        metadata(queries) {}
};

// Codes of QueryParams::include.
enum class QueryInclude : int32_t { DISTANCE = 0, METADATA = 1 };

}  // namespace ostrik
