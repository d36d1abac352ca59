#include "kernels/kmeans_training.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>

#include "core/team_size.h"
#include "kernels/blas_threads.h"
#include "kernels/distances.h"
#include "kernels/gpu_unavailable.h"
#include "kernels/input_checks.h"
#include "kernels/kmeans_seeding.h"
#include "kernels/matrix_views.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

using ostrik::FloatMatrix;
using ostrik::KMeansParams;
using ostrik::QuantizerMatrix;

using DistanceFn = void (*)(const arma::fmat&, const arma::fmat&, arma::fmat&);
using SeedFn = arma::fmat (*)(const arma::fmat&, uint64_t, uint64_t);

// Batch columns per work item of the assignment: enough for an efficient product, small enough to
// spread a default batch of 1024 over every core.
constexpr uint64_t kAssignBlock = 128;
// Centroids per work item of the update.
constexpr uint64_t kUpdateChunk = 32;
// Below this many updated components per round, and with one assignment block, the rounds run on
// the calling thread: a team costs more than it saves.
constexpr uint64_t kParallelUpdate = 1 << 16;

std::vector<QuantizerMatrix> Train(const FloatMatrix& vectors, const KMeansParams& params,
                                   DistanceFn distance, SeedFn seed) {
  const uint64_t m = params.n_subvectors;
  if (m == 0) throw std::invalid_argument("Number of subvectors must be at least 1.");
  const uint64_t d = vectors.cols;
  if (d % m != 0) {
    throw std::invalid_argument("Vector dimension must be divisible by the number of subvectors.");
  }
  CheckFloatMatrixShape(vectors);
  const uint64_t n = vectors.rows;
  const uint64_t k = params.n_clusters;
  if (n == 0) throw std::invalid_argument("Training needs at least one vector.");
  if (d == 0) throw std::invalid_argument("Vector dimension must be at least 1.");
  if (k == 0) throw std::invalid_argument("Number of clusters must be at least 1.");
  if (k > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("Number of clusters is too large.");
  }
  const uint64_t sub = d / m;
  const uint64_t batch = std::min<uint64_t>(params.batch_size == 0 ? 1024 : params.batch_size, n);

  std::random_device device;
  std::mt19937 generator(device());

  const uint64_t n_init = std::min<uint64_t>(n, 3 * std::max(k, batch));
  if (n_init < k) {
    std::cerr << "Warning: Initialization sample size (" + std::to_string(n_init) +
                     ") is smaller than the number of clusters (" + std::to_string(k) +
                     "). KMeans++ may fail to select enough unique centroids.\n";
  }

  const arma::fmat view = ColumnView(vectors.data.data(), d, n);
  std::vector<arma::fmat> centroids(m);
  for (uint64_t s = 0; s < m; ++s) {
    if (m == 1) {
      centroids[s] = seed(view, k, n_init);
    } else {
      const arma::fmat part = view.rows(s * sub, (s + 1) * sub - 1);
      centroids[s] = seed(part, k, n_init);
    }
  }

  // Everything the rounds write is sized here, before the region.
  std::vector<std::vector<uint64_t>> counts(m, std::vector<uint64_t>(k, 0));
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), uint64_t{0});
  std::vector<arma::fmat> batches(m, arma::fmat(sub, batch));
  std::vector<uint32_t> assigned(m * batch, 0);
  std::vector<arma::fmat> scratch(std::max(1, omp_get_max_threads()));
  const uint64_t n_blocks = (batch + kAssignBlock - 1) / kAssignBlock;
  const uint64_t n_chunks = (k + kUpdateChunk - 1) / kUpdateChunk;

  // A fresh uniformly random batch: the first `batch` entries of a partial Fisher-Yates shuffle.
  auto draw_batch = [&] {
    for (uint64_t j = 0; j < batch; ++j) {
      const uint64_t r = std::uniform_int_distribution<uint64_t>(j, n - 1)(generator);
      std::swap(order[j], order[r]);
    }
  };

  SingleThreadedBlas single_threaded_blas;
  ParallelFailure failure;
  if (params.max_iters > 0) draw_batch();
  // One region for all rounds: a round is only a few milliseconds of work, so a fork/join per
  // step would cost more than it saves. Each round has two barriers, after the assignment and
  // after the update; nothing else synchronises.
#pragma omp parallel num_threads(ostrik::TeamIf(m * n_blocks > 1 || (m * n_chunks > 1 && batch * sub >= kParallelUpdate)))
  for (uint64_t iter = 0; iter < params.max_iters && !failure.failed(); ++iter) {
    // Assignment against the centroids as they stand at the start of the round.
#pragma omp for schedule(dynamic, 1)
    for (uint64_t item = 0; item < m * n_blocks; ++item) {
      failure.Run([&] {
        const uint64_t s = item / n_blocks;
        const uint64_t begin = (item % n_blocks) * kAssignBlock;
        const uint64_t len = std::min(kAssignBlock, batch - begin);
        arma::fmat& b = batches[s];
        for (uint64_t j = begin; j < begin + len; ++j) {
          std::memcpy(b.colptr(j), vectors.row(order[j]) + s * sub, sub * sizeof(float));
        }
        arma::fmat& dist = scratch[omp_get_thread_num()];
        distance(ColumnView(b.colptr(begin), sub, len), centroids[s], dist);
        for (uint64_t j = 0; j < len; ++j) {
          const float* col = dist.colptr(j);
          uint32_t best = 0;
          float best_value = col[0];
          for (uint64_t c = 1; c < k; ++c) {
            if (col[c] < best_value) {
              best_value = col[c];
              best = static_cast<uint32_t>(c);
            }
          }
          assigned[s * batch + begin + j] = best;
        }
      });
    }

    // The batch copies are taken, so the next round's draw can overlap this round's update.
#pragma omp single nowait
    if (iter + 1 < params.max_iters) draw_batch();

    // The caller's turn, on its own thread; a failure here is seen by every thread after the
    // update's barrier, and the rounds stop.
    if (params.between_rounds && omp_get_thread_num() == 0) failure.Run(params.between_rounds);

    // A centroid's updates depend only on its own vectors, in batch order, so centroids can be
    // updated in parallel with exactly the result of one sequential pass over the batch. Each
    // chunk scans the whole assignment: cheaper than grouping it on one thread.
#pragma omp for schedule(dynamic, 1)
    for (uint64_t item = 0; item < m * n_chunks; ++item) {
      const uint64_t s = item / n_chunks;
      const uint32_t c_begin = static_cast<uint32_t>((item % n_chunks) * kUpdateChunk);
      const uint32_t c_end = static_cast<uint32_t>(std::min(k, (item % n_chunks + 1) * kUpdateChunk));
      const uint32_t* a = assigned.data() + s * batch;
      for (uint64_t j = 0; j < batch; ++j) {
        const uint32_t c = a[j];
        if (c < c_begin || c >= c_end) continue;
        float* centre = centroids[s].colptr(c);
        const float* x = batches[s].colptr(j);
        const uint64_t count = ++counts[s][c];
        const float eta = 1.0f / (static_cast<float>(count) + 1.0f);
        const float keep = 1.0f - eta;
        for (uint64_t r = 0; r < sub; ++r) centre[r] = eta * x[r] + keep * centre[r];
      }
    }
  }
  failure.Rethrow();

  std::vector<QuantizerMatrix> result;
  result.reserve(m);
  for (uint64_t s = 0; s < m; ++s) {
    const float* values = centroids[s].memptr();
    result.emplace_back(static_cast<int32_t>(k), std::vector<float>(values, values + sub * k), sub);
  }
  return result;
}

}  // namespace

std::vector<QuantizerMatrix> TrainQuantizerEuclidean(const FloatMatrix& vectors, const KMeansParams& params) {
  return Train(vectors, params, &SquaredEuclideanDistances, &KMeansPlusPlusInitEuclidean);
}

std::vector<QuantizerMatrix> TrainQuantizerCosine(const FloatMatrix& vectors, const KMeansParams& params) {
  return Train(vectors, params, &CosineDistances, &KMeansPlusPlusInitCosine);
}

std::vector<QuantizerMatrix> TrainQuantizer(const FloatMatrix& vectors, const KMeansParams& params,
                                            ostrik::DistanceMetric metric) {
  switch (metric) {
    case ostrik::Cosine:
      return TrainQuantizerCosine(vectors, params);
    case ostrik::Euclidean:
    case ostrik::SquaredEuclidean:
      return TrainQuantizerEuclidean(vectors, params);
  }
  throw std::runtime_error("Unsupported distance metric.");
}

std::vector<QuantizerMatrix> TrainQuantizerGpu(const FloatMatrix&, const KMeansParams&, ostrik::DistanceMetric) {
  ThrowGpuUnavailable();
}

}  // namespace ostrik_encrypted_index::internal::kernels
