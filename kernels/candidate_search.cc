#include "kernels/candidate_search.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "kernels/input_checks.h"
#include "kernels/search_bodies.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

using ostrik::ItemRecords;
using ostrik::ProbeSelection;

// The bodies trust these; they are what keeps every read inside its buffer.
void CheckStructure(const ItemRecords& candidates, const ProbeSelection& probes,
                    const ostrik::FloatMatrix& queries) {
  const uint64_t n_items = candidates.item_ids.size();
  if (n_items > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("Too many candidates for one search.");
  }
  if (candidates.metadata.size() != n_items) {
    throw std::invalid_argument("Candidate metadata and ids have different sizes");
  }
  const std::vector<uint64_t>& offsets = candidates.token_indices;
  for (uint64_t g = 0; g < offsets.size(); ++g) {
    if (offsets[g] > n_items || (g > 0 && offsets[g] < offsets[g - 1])) {
      throw std::invalid_argument("Candidate group offsets are not ascending within the candidates");
    }
  }
  if (probes.n_queries != queries.rows) {
    throw std::invalid_argument("Probe selection and queries have different numbers of queries");
  }
  const ostrik::Int32Matrix& positions = probes.positions;
  if (positions.rows != probes.n_queries ||
      (positions.cols != 0 && positions.rows > std::numeric_limits<uint64_t>::max() / positions.cols) ||
      positions.data.size() != positions.rows * positions.cols) {
    throw std::invalid_argument("Probe positions do not match their rows and columns");
  }
  const uint64_t n_groups = offsets.empty() ? 0 : offsets.size() - 1;
  for (int32_t p : positions.data) {
    if (p < 0 || static_cast<uint64_t>(p) >= n_groups) {
      throw std::invalid_argument("Probe position names no candidate group");
    }
  }
}

}  // namespace

ostrik::QueryResults SearchCandidates(const ItemRecords& candidates, const ostrik::FloatMatrix& item_vectors,
                                      const ProbeSelection& probes, const ostrik::FloatMatrix& queries,
                                      uint32_t top_k, ostrik::DistanceMetric metric,
                                      const std::vector<int32_t>& include) {
  // The owned matrix's size check, at the place the view's checks would reach it.
  const bool known_metric = metric == ostrik::Euclidean || metric == ostrik::SquaredEuclidean || metric == ostrik::Cosine;
  if (known_metric && !candidates.item_ids.empty() && probes.n_queries != 0 && queries.rows != 0 && top_k != 0 &&
      candidates.item_ids.size() == item_vectors.rows && queries.cols == item_vectors.cols) {
    CheckFloatMatrixShape(item_vectors);
  }
  return SearchCandidatesView(candidates, ostrik::FloatRowsView{item_vectors.rows, item_vectors.cols, item_vectors.data.data()},
                          probes, queries, top_k, metric, include);
}

ostrik::QueryResults SearchCandidatesView(const ItemRecords& candidates, const ostrik::FloatRowsView& item_vectors,
                                      const ProbeSelection& probes, const ostrik::FloatMatrix& queries,
                                      uint32_t top_k, ostrik::DistanceMetric metric,
                                      const std::vector<int32_t>& include) {
  if (candidates.item_ids.empty() || probes.n_queries == 0 || queries.rows == 0) {
    return ostrik::QueryResults(probes.n_queries, 0);
  }
  const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(top_k, candidates.item_ids.size()));
  if (k == 0) return ostrik::QueryResults(probes.n_queries, 0);

  void (*body)(const SearchBlock&) = nullptr;
  switch (metric) {
    case ostrik::Euclidean:
      body = &SearchCandidatesEuclideanBody;
      break;
    case ostrik::SquaredEuclidean:
      body = &SearchCandidatesSquaredEuclideanBody;
      break;
    case ostrik::Cosine:
      body = &SearchCandidatesCosineBody;
      break;
  }
  if (body == nullptr) throw std::runtime_error("Unsupported distance metric.");
  const bool include_metadata =
      std::find(include.begin(), include.end(), static_cast<int32_t>(ostrik::QueryInclude::METADATA)) !=
      include.end();
  if (candidates.item_ids.size() != item_vectors.rows) {
    throw std::invalid_argument("Matching IDs and embeddings have different sizes");
  }
  if (queries.cols != item_vectors.cols) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
  if (item_vectors.data == nullptr && item_vectors.rows != 0 && item_vectors.cols != 0) {
    throw std::invalid_argument("Vector data size does not match its rows and columns.");
  }
  CheckFloatMatrixShape(queries);
  CheckStructure(candidates, probes, queries);

  ostrik::QueryResults results(probes.n_queries, k);
  body(SearchBlock{item_vectors, probes, queries, probes.n_queries, candidates.item_ids,
                   candidates.token_indices, candidates.metadata, results, k, include_metadata});
  return results;
}

}  // namespace ostrik_encrypted_index::internal::kernels
