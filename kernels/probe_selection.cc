#include "kernels/probe_selection.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "core/team_size.h"
#include "kernels/blas_threads.h"
#include "kernels/distances.h"
#include "kernels/gpu_unavailable.h"
#include "kernels/input_checks.h"
#include "kernels/matrix_views.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

using ostrik::FloatMatrix;
using ostrik::ProbeSelection;
using ostrik::QuantizerMatrix;

using DistanceFn = void (*)(const arma::fmat&, const arma::fmat&, arma::fmat&);

// Queries per work item: each distance row is computed once per call, in blocks spread over
// the team, instead of every worker computing the whole matrix.
constexpr uint64_t kQueryBlock = 128;
// Work per thread of the team, in multiply-adds (a query's ordering step counting kSortWork per
// centre): two blocks of few, short centres already gain from a second thread (at about 50,000
// here), so only work below that stays on the calling thread.
constexpr uint64_t kThreadWork = 1 << 15;
constexpr uint64_t kSortWork = 16;

// Writes the indices of every query's `keep` nearest centres, nearest first, to row q of `out`
// (q * keep onwards), selected by std::partial_sort over the centre indices in ascending order.
void NearestCentres(const arma::fmat& queries, const arma::fmat& centres, uint64_t keep,
                    DistanceFn distance, int32_t* out) {
  const uint64_t n = queries.n_cols;
  const uint64_t n_centres = centres.n_cols;
  const uint64_t d = queries.n_rows;
  const uint64_t n_blocks = (n + kQueryBlock - 1) / kQueryBlock;
  const int n_threads =
      ostrik::TeamSize(ostrik::WorkProduct(ostrik::WorkProduct(n, n_centres), d + kSortWork), kThreadWork, n_blocks);
  std::vector<arma::fmat> dists(n_threads);
  std::vector<std::vector<uint32_t>> order(n_threads, std::vector<uint32_t>(n_centres));

  SingleThreadedBlas single_threaded_blas;
  ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) num_threads(n_threads) if (n_threads > 1)
  for (uint64_t b = 0; b < n_blocks; ++b) {
    failure.Run([&] {
      const int t = omp_get_thread_num();
      const uint64_t begin = b * kQueryBlock;
      const uint64_t len = std::min(kQueryBlock, n - begin);
      arma::fmat& dist = dists[t];
      distance(ColumnView(queries.colptr(begin), d, len), centres, dist);
      std::vector<uint32_t>& idx = order[t];
      for (uint64_t j = 0; j < len; ++j) {
        const float* row = dist.colptr(j);
        std::iota(idx.begin(), idx.end(), uint32_t{0});
        std::partial_sort(idx.begin(), idx.begin() + keep, idx.end(),
                          [row](uint32_t x, uint32_t y) { return row[x] < row[y]; });
        int32_t* dst = out + (begin + j) * keep;
        for (uint64_t i = 0; i < keep; ++i) dst[i] = static_cast<int32_t>(idx[i]);
      }
    });
  }
  failure.Rethrow();
}

ProbeSelection Select(const FloatMatrix& queries, const std::vector<QuantizerMatrix>& quantizers,
                      uint64_t n_probes, float greedy_factor, DistanceFn distance) {
  const uint64_t n = queries.rows;
  if (n == 0) throw std::invalid_argument("No query embeddings provided.");
  if (!(greedy_factor >= 0.0f)) throw std::invalid_argument("Greedy factor must not be negative.");
  if (quantizers.empty()) throw std::invalid_argument("Quantizer list must not be empty.");
  CheckFloatMatrixShape(queries);
  const uint64_t d = queries.cols;
  if (d == 0) throw std::invalid_argument("Vector dimension must be at least 1.");
  const QuantizerMatrix& coarse = quantizers.front();
  CheckQuantizerShape(coarse, d);
  const uint64_t m = static_cast<uint64_t>(coarse.count);

  // Clamp before any float conversion, so a huge n_probes or factor cannot overflow. Gives the
  // same widths as widening first and clamping after.
  uint64_t a = std::min(n_probes, m);
  float factor = greedy_factor;
  if (n_probes >= m) factor = 0.0f;
  const float extra_f = static_cast<float>(a) * factor;
  const uint64_t extra = extra_f < static_cast<float>(m) ? static_cast<uint64_t>(extra_f) : m;
  uint64_t k = std::min(a + extra, m);

  ProbeSelection out;
  out.n_queries = n;

  const arma::fmat query_view = ColumnView(queries.data.data(), d, n);
  const arma::fmat centre_view = ColumnView(coarse.data.data(), d, m);

  std::vector<int32_t> picks(n * a);
  if (a > 0) NearestCentres(query_view, centre_view, a, distance, picks.data());

  // Union of the picks, ascending; position_of maps a centroid id to its index in it.
  std::vector<int32_t> position_of(m, -1);
  for (int32_t id : picks) position_of[id] = 0;
  for (uint64_t c = 0; c < m; ++c) {
    if (position_of[c] == 0) {
      position_of[c] = static_cast<int32_t>(out.probed_ids.size());
      out.probed_ids.push_back(static_cast<uint32_t>(c));
    }
  }
  k = std::min<uint64_t>(k, out.probed_ids.size());

  out.positions.rows = n;
  out.positions.cols = k;
  out.positions.data.assign(n * k, 0);
  if (factor == 0.0f || k == 0) {
    for (uint64_t i = 0; i < n * a; ++i) out.positions.data[i] = position_of[picks[i]];
    return out;
  }

  const uint64_t u = out.probed_ids.size();
  arma::fmat candidates(d, u);
  for (uint64_t c = 0; c < u; ++c) {
    std::copy_n(coarse.data.data() + static_cast<uint64_t>(out.probed_ids[c]) * d, d, candidates.colptr(c));
  }
  // Candidate index c stands for probed_ids[c], so the ranks are the positions themselves.
  NearestCentres(query_view, candidates, k, distance, out.positions.data.data());
  return out;
}

}  // namespace

ProbeSelection SelectProbesEuclidean(const FloatMatrix& queries, const std::vector<QuantizerMatrix>& quantizers,
                                     uint64_t n_probes, float greedy_factor) {
  return Select(queries, quantizers, n_probes, greedy_factor, &SquaredEuclideanDistances);
}

ProbeSelection SelectProbesCosine(const FloatMatrix& queries, const std::vector<QuantizerMatrix>& quantizers,
                                  uint64_t n_probes, float greedy_factor) {
  return Select(queries, quantizers, n_probes, greedy_factor, &CosineDistances);
}

ProbeSelection SelectProbes(const FloatMatrix& queries, const std::vector<QuantizerMatrix>& quantizers,
                            uint64_t n_probes, ostrik::DistanceMetric metric, float greedy_factor) {
  switch (metric) {
    case ostrik::Cosine:
      return SelectProbesCosine(queries, quantizers, n_probes, greedy_factor);
    case ostrik::Euclidean:
    case ostrik::SquaredEuclidean:
      return SelectProbesEuclidean(queries, quantizers, n_probes, greedy_factor);
  }
  throw std::runtime_error("Unsupported distance metric.");
}

ProbeSelection SelectProbesGpu(const FloatMatrix&, const std::vector<QuantizerMatrix>&, uint64_t,
                               ostrik::DistanceMetric, float) {
  ThrowGpuUnavailable();
}

}  // namespace ostrik_encrypted_index::internal::kernels
