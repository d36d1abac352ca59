// SearchCandidates: the last step of a query. Given the candidate items grouped by probed list,
// their vectors (one row per candidate), the probe selection and the query vectors, returns for
// every query its top_k nearest candidates among the groups its row of positions names, nearest
// first (equal distances by id, then metadata text), with result_counts saying how many were
// found. top_k is clamped to the number of candidates of the whole batch.
//
// Throws, before any parallel work and without logging: std::runtime_error "Unsupported distance
// metric."; std::invalid_argument "Matching IDs and embeddings have different sizes", "Query
// embedding dimension does not match item embedding", or another text for inconsistent
// candidates, positions or matrices. No candidates, no queries or top_k 0 give an empty result
// (no columns) without any check. Keeps no state; runs on the calling thread's OpenMP team.
#pragma once

#include <cstdint>
#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

ostrik::QueryResults SearchCandidates(const ostrik::ItemRecords& candidates,
                                      const ostrik::FloatMatrix& item_vectors,
                                      const ostrik::ProbeSelection& probes, const ostrik::FloatMatrix& queries,
                                      uint32_t top_k, ostrik::DistanceMetric metric,
                                      const std::vector<int32_t>& include);
// The same over candidate vectors viewed in place (item_vectors.data must hold rows x cols values).
ostrik::QueryResults SearchCandidatesView(const ostrik::ItemRecords& candidates, const ostrik::FloatRowsView& item_vectors,
                                      const ostrik::ProbeSelection& probes, const ostrik::FloatMatrix& queries,
                                      uint32_t top_k, ostrik::DistanceMetric metric,
                                      const std::vector<int32_t>& include);

}  // namespace ostrik_encrypted_index::internal::kernels
