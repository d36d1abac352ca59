// The per-metric bodies of the candidate search: for every query, the distances to the candidates
// of the groups its row of positions names (in column order, items in group order), the k nearest
// kept by a bounded max-heap ordered by (distance, id, metadata text) that a full heap admits only
// a strictly nearer candidate into, and the kept entries written nearest first.
//
// Distances are single-precision sums in dimension order. Euclidean rows get their square roots
// after ordering; cosine is 1 - dot / (|q| |x|), exactly 1 when the norm product is 0.
//
// The block's preconditions are the launcher's (candidate_search.h): every position names a
// group, groups lie within the candidates, ids, metadata texts and vector rows agree, and the
// results are QueryResults(n_queries, k). Bodies run their own parallel regions on the calling
// thread's team; a failure inside (memory only) is rethrown after the region. Only the results
// are written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

struct SearchBlock {
  ostrik::FloatRowsView item_vectors;
  const ostrik::ProbeSelection& selection;
  const ostrik::FloatMatrix& queries;
  uint64_t n_queries;
  const std::vector<std::string>& item_ids;
  const std::vector<uint64_t>& group_offsets;
  const std::vector<std::string>& metadata;
  ostrik::QueryResults& results;
  uint32_t k;
  bool include_metadata;
};

void SearchCandidatesEuclideanBody(const SearchBlock& block);
void SearchCandidatesSquaredEuclideanBody(const SearchBlock& block);
void SearchCandidatesCosineBody(const SearchBlock& block);

}  // namespace ostrik_encrypted_index::internal::kernels
