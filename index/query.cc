// The query road. Trained: pre-filter the lists on their metadata summaries, choose each query's
// nearest lists, fetch them, post-filter exactly, search. Untrained: fetch every item (list 0),
// post-filter, search exhaustively.
#include <cstring>
#include <algorithm>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "core/thread_scope.h"
#include "filters/post_filtering.h"
#include "filters/pre_filtering.h"
#include "index/encrypted_index.h"
#include "index/item_checks.h"
#include "index/placeholders.h"
#include "kernels/candidate_search.h"
#include "kernels/fused_search.h"
#include "kernels/probe_selection.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

namespace filters = ostrik_encrypted_index::internal::filters;
namespace kernels = ostrik_encrypted_index::internal::kernels;

// Above this many stored positions an untrained query warns that training would help.
constexpr uint64_t kUntrainedQueryWarningThreshold = 50000;

// Candidate buffers up to this size stay with the index between queries.
constexpr uint64_t kKeptCandidateBytes = uint64_t{256} << 20;

// Gives the candidates' memory back after a query that fetched more than is worth keeping.
class TrimCandidates {
 public:
  explicit TrimCandidates(ItemRecords& candidates) : candidates_(candidates) {}
  ~TrimCandidates() {
    if (candidates_.payloads.data.capacity() > kKeptCandidateBytes) candidates_ = ItemRecords();
  }
  TrimCandidates(const TrimCandidates&) = delete;
  TrimCandidates& operator=(const TrimCandidates&) = delete;

 private:
  ItemRecords& candidates_;
};

// The payloads are the items' float32 vectors: searched in place, not copied.
FloatRowsView ItemVectors(const ItemRecords& candidates) {
  const ByteMatrix& p = candidates.payloads;
  return FloatRowsView{p.rows, p.cols / sizeof(float), reinterpret_cast<const float*>(p.data.data())};
}

uint32_t ClampTopK(uint64_t top_k) {
  return static_cast<uint32_t>(std::min<uint64_t>(top_k, std::numeric_limits<uint32_t>::max()));
}

// The candidates that pass the filter: the fetched ones themselves when there is none (the
// post-filter would copy them all), else a filtered copy held by `kept`.
const ItemRecords& PostFilter(const ItemRecords& candidates, const std::string& filter_text, Logger& logger,
                              ItemRecords& kept) {
  if (filter_text.empty()) return candidates;
  kept = filters::PostFiltering(candidates, filter_text, logger);
  return kept;
}

// A small batch without a filter is searched in the fetch's own pass over its items.
bool SearchWhileFetching(const QueryParams& params, const FloatMatrix& queries, uint64_t payload_size) {
  return params.filters.empty() && queries.rows <= kernels::FusedSearch::kMaxQueries &&
         payload_size == queries.cols * sizeof(float);
}

QueryResults Search(const ItemRecords& candidates, const ProbeSelection& probes, const FloatMatrix& queries,
                    const QueryParams& params, DistanceMetric metric) {
  return kernels::SearchCandidatesView(candidates, ItemVectors(candidates), probes, queries, ClampTopK(params.top_k),
                                       metric, params.include);
}

}  // namespace

QueryResults EncryptedIndex::Query(const FloatMatrix& queries, const QueryParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  log().info("Query");
  if (queries.rows == 0) throw std::invalid_argument("Query vectors cannot be empty.");
  if (!token_index_) FailNotConnected(false);
  ThreadCountScope threads(token_index_->cpu_threads_);
  const uint64_t dimension = index_config_->dimension();
  auto refuse = [this](const std::string& message) {
    log().error(message);
    throw std::invalid_argument(message);
  };
  if (queries.cols != dimension) {
    refuse("The dimension of the vectors provided (" + std::to_string(queries.cols) +
           ") doesn't match the index configuration (" + std::to_string(dimension) + ").");
  }
  if (queries.data.size() != queries.rows * queries.cols) refuse("Query data does not hold rows x dimension values.");
  if (FirstNonFiniteRow(queries) != queries.rows) refuse("Query vectors must not hold NaN or infinity.");
  // The counts and the head in one read: a training elsewhere is followed before a path is chosen,
  // and lists cached before another process wrote are dropped.
  RefreshForRead(true);
  return is_trained_ ? RetrieveTrained(queries, params) : RetrieveUntrained(queries, params);
}

QueryResults EncryptedIndex::RetrieveTrained(const FloatMatrix& queries, const QueryParams& params) {
  log().info("RetrieveTrained");
  const float greedy_factor = params.greedy ? 1.0f : 0.0f;
  const auto metric = static_cast<DistanceMetric>(index_config_->metric);

  // Without a filter pre-filtering keeps every list: its line is written, and the centroids are
  // probed where they are rather than copied.
  filters::PreFilterResult kept;
  if (!params.filters.empty()) {
    kept = filters::PreFiltering(*token_index_, quantizers_->coarse, quantizers_->secondary, params.filters, log());
  } else {
    log().info("PreFiltering");
    if (!quantizers_->coarse.empty()) {
      kept.centroid_ids.resize(static_cast<size_t>(std::max(quantizers_->coarse.front().count, 0)));
      for (size_t i = 0; i < kept.centroid_ids.size(); ++i) kept.centroid_ids[i] = static_cast<uint32_t>(i);
    }
  }
  const std::vector<QuantizerMatrix>& coarse = params.filters.empty() ? quantizers_->coarse : kept.coarse;
  if (index_config_->index_type != IVFFLAT) {
    log().error("Unsupported index type for quantization.");
    throw std::invalid_argument("Unsupported index type for quantization.");
  }
  // No list may match, or none is to be probed: nothing to fetch, one empty row per query.
  if (kept.centroid_ids.empty() || params.n_probes == 0) {
    if (gpu_accelerate_) kernels::SelectProbesGpu(queries, coarse, params.n_probes, metric, greedy_factor);
    return QueryResults(queries.rows, 0);
  }
  const ProbeSelection probes =
      gpu_accelerate_ ? kernels::SelectProbesGpu(queries, coarse, params.n_probes, metric, greedy_factor)
                      : kernels::SelectProbes(queries, coarse, params.n_probes, metric, greedy_factor);

  std::vector<uint32_t> tokens;
  tokens.reserve(probes.probed_ids.size());
  for (uint32_t u : probes.probed_ids) {
    if (u >= kept.centroid_ids.size()) {
      const std::string message = "Invalid filtered centroid index: " + std::to_string(u) +
                                  " (mapping size: " + std::to_string(kept.centroid_ids.size()) + ")";
      log().error(message);
      throw std::out_of_range(message);
    }
    tokens.push_back(kept.centroid_ids[u]);
  }

  if (SearchWhileFetching(params, queries, token_index_->payload_size_)) {
    kernels::FusedSearch search(probes, queries, ClampTopK(params.top_k), metric, params.include,
                                token_index_->payload_size_);
    token_index_->StreamTokenItems(tokens, search);
    return std::move(search.results());
  }
  const TrimCandidates trim(candidates_);
  token_index_->GetTokenItems(tokens, candidates_);
  DropPlaceholders(candidates_);
  ItemRecords filtered;
  return Search(PostFilter(candidates_, params.filters, log(), filtered), probes, queries, params, metric);
}

QueryResults EncryptedIndex::RetrieveUntrained(const FloatMatrix& queries, const QueryParams& params) {
  log().info("RetrieveUntrained");
  ProbeSelection probes;
  probes.n_queries = queries.rows;
  probes.probed_ids = {0};
  probes.positions = Int32Matrix{queries.rows, 1, std::vector<int32_t>(queries.rows, 0)};
  probes.distances = FloatMatrix{queries.rows, 1, std::vector<float>(queries.rows, 0.0f)};

  const auto metric = static_cast<DistanceMetric>(index_config_->metric);
  // The counts as they stand before the fetch: every position a query reads, deleted ones included.
  uint64_t stored = 0;
  for (const uint32_t count : token_index_->token_counts_) stored += count;
  if (stored > kUntrainedQueryWarningThreshold) {
    const std::string warning = "Warning: querying untrained index with more than " +
                                std::to_string(kUntrainedQueryWarningThreshold) + " indexed vectors.\n" +
                                "Queries may be slow; consider calling `TrainIndex()` to speed up queries.";
    log().warning(warning);
    std::cerr << warning << std::endl;
  }
  if (SearchWhileFetching(params, queries, token_index_->payload_size_)) {
    kernels::FusedSearch search(probes, queries, ClampTopK(params.top_k), metric, params.include,
                                token_index_->payload_size_);
    token_index_->StreamTokenItems({0}, search);
    return std::move(search.results());
  }
  const TrimCandidates trim(candidates_);
  token_index_->GetTokenItems({0}, candidates_);
  DropPlaceholders(candidates_);
  ItemRecords filtered;
  return Search(PostFilter(candidates_, params.filters, log(), filtered), probes, queries, params, metric);
}

}  // namespace ostrik
