// Probe selection: for every query of a batch its n_probes nearest centroids (first pass), the
// ascending union of all picks as probed_ids, and, with a greedy factor x > 0, each query widened
// to its n_probes + trunc(n_probes * x) nearest centroids within that union (greedy pass). Rows
// of positions index probed_ids, nearest first; ties follow std::partial_sort.
//
// Throws std::runtime_error "Unsupported distance metric." for a metric code other than 0-2,
// std::invalid_argument "No query embeddings provided." for no queries, and std::invalid_argument
// for a negative or NaN greedy factor, an empty quantizer list, dimension 0 or malformed
// matrices; all before any parallel work. Logs nothing. Keeps no state; its parallel regions use
// the calling thread's OpenMP team.
#pragma once

#include <cstdint>
#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

ostrik::ProbeSelection SelectProbes(const ostrik::FloatMatrix& queries,
                                    const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                    uint64_t n_probes, ostrik::DistanceMetric metric, float greedy_factor);
ostrik::ProbeSelection SelectProbesGpu(const ostrik::FloatMatrix& queries,
                                       const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                       uint64_t n_probes, ostrik::DistanceMetric metric, float greedy_factor);

// By squared Euclidean (Euclidean and SquaredEuclidean) or cosine distances.
ostrik::ProbeSelection SelectProbesEuclidean(const ostrik::FloatMatrix& queries,
                                             const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                             uint64_t n_probes, float greedy_factor);
ostrik::ProbeSelection SelectProbesCosine(const ostrik::FloatMatrix& queries,
                                          const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                          uint64_t n_probes, float greedy_factor);

}  // namespace ostrik_encrypted_index::internal::kernels
