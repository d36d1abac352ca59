#include "kernels/encoding.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "core/logger.h"
#include "core/team_size.h"
#include "kernels/blas_threads.h"
#include "kernels/distances.h"
#include "kernels/gpu_unavailable.h"
#include "kernels/input_checks.h"
#include "kernels/matrix_views.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

using ostrik::CodeMatrix;
using ostrik::FloatMatrix;
using ostrik::QuantizerMatrix;

using DistanceFn = void (*)(const arma::fmat&, const arma::fmat&, arma::fmat&);

// Bounds each distance matrix to 1000 x count floats whatever the number of vectors.
constexpr uint64_t kEncodeBlock = 1000;
// Work per thread of the team, in multiply-adds (a vector's search for its nearest centre
// counting kScanWork per centre): as for probe selection, blocks of a few thousand multiply-adds
// gain nothing from a second thread, larger ones do.
constexpr uint64_t kThreadWork = 1 << 15;
constexpr uint64_t kScanWork = 4;

CodeMatrix Encode(const FloatMatrix& vectors, const std::vector<QuantizerMatrix>& quantizers,
                  DistanceFn distance) {
  const uint64_t m = quantizers.size();
  if (m == 0) throw std::invalid_argument("Quantizer list must not be empty.");
  const uint64_t d = vectors.cols;
  if (d % m != 0) {
    throw std::invalid_argument("Vector dimension must be divisible by the number of subvectors.");
  }
  CheckFloatMatrixShape(vectors);
  if (d == 0) throw std::invalid_argument("Vector dimension must be at least 1.");
  const uint64_t sub = d / m;
  for (const QuantizerMatrix& q : quantizers) {
    CheckQuantizerShape(q, sub);
    if (q.count == 0) throw std::invalid_argument("Quantizer holds no centroids.");
  }

  const uint64_t n = vectors.rows;
  CodeMatrix out{n, m, std::vector<uint32_t>(n * m, 0)};
  if (n == 0) return out;

  const uint64_t n_blocks = (n + kEncodeBlock - 1) / kEncodeBlock;
  uint64_t centres = 0;
  for (const QuantizerMatrix& q : quantizers) centres += static_cast<uint64_t>(q.count);
  const int n_threads = ostrik::TeamSize(ostrik::WorkProduct(ostrik::WorkProduct(n, centres), sub + kScanWork),
                                         kThreadWork, m * n_blocks);
  std::vector<arma::fmat> blocks(n_threads);
  std::vector<arma::fmat> dists(n_threads);

  SingleThreadedBlas single_threaded_blas;
  ParallelFailure failure;
  // Blocks of every subvector form one pool, so one quantizer still keeps every core busy.
#pragma omp parallel for schedule(dynamic, 1) num_threads(n_threads) if (n_threads > 1)
  for (uint64_t item = 0; item < m * n_blocks; ++item) {
    failure.Run([&] {
      const uint64_t s = item / n_blocks;
      const uint64_t begin = (item % n_blocks) * kEncodeBlock;
      const uint64_t len = std::min(kEncodeBlock, n - begin);
      const int t = omp_get_thread_num();
      const QuantizerMatrix& q = quantizers[s];
      const arma::fmat centres = ColumnView(q.data.data(), sub, static_cast<uint64_t>(q.count));
      arma::fmat& dist = dists[t];
      if (m == 1) {
        distance(ColumnView(vectors.row(begin), d, len), centres, dist);
      } else {
        arma::fmat& block = blocks[t];
        block.set_size(sub, len);
        for (uint64_t j = 0; j < len; ++j) {
          std::copy_n(vectors.row(begin + j) + s * sub, sub, block.colptr(j));
        }
        distance(block, centres, dist);
      }
      const uint64_t count = static_cast<uint64_t>(q.count);
      for (uint64_t j = 0; j < len; ++j) {
        const float* col = dist.colptr(j);
        uint32_t best = 0;
        float best_value = col[0];
        for (uint64_t c = 1; c < count; ++c) {
          if (col[c] < best_value) {
            best_value = col[c];
            best = static_cast<uint32_t>(c);
          }
        }
        out.codes[(begin + j) * m + s] = best;
      }
    });
  }
  failure.Rethrow();
  return out;
}

}  // namespace

CodeMatrix EncodeVectors(const FloatMatrix& vectors, const std::vector<QuantizerMatrix>& quantizers,
                         ostrik::DistanceMetric metric) {
  switch (metric) {
    case ostrik::Cosine:
      return Encode(vectors, quantizers, &CosineDistances);
    case ostrik::Euclidean:
    case ostrik::SquaredEuclidean:
      return Encode(vectors, quantizers, &SquaredEuclideanDistances);
  }
  ostrik::CurrentLogger().error("Unsupported distance metric.");
  throw std::runtime_error("Unsupported distance metric.");
}

CodeMatrix EncodeVectorsGpu(const FloatMatrix&, const std::vector<QuantizerMatrix>&, ostrik::DistanceMetric) {
  ThrowGpuUnavailable();
}

}  // namespace ostrik_encrypted_index::internal::kernels
