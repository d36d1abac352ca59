#include "kernels/kmeans_seeding.h"

#include <omp.h>

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "kernels/blas_threads.h"
#include "kernels/distances.h"
#include "kernels/matrix_views.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

// Fixed, so that the draws do not depend on the number of threads.
constexpr arma::uword kSampleChunk = 4096;

using DistanceFn = void (*)(const arma::fmat&, const arma::fmat&, arma::fmat&);

arma::fmat Seed(const arma::fmat& points, uint64_t k, uint64_t n_init, DistanceFn distance) {
  if (points.n_cols == 0 || k == 0) {
    throw std::invalid_argument("Seeding needs at least one point and one centroid.");
  }
  const arma::uword n = points.n_cols;
  const arma::uword sub = points.n_rows;

  arma::fmat drawn;
  const arma::fmat* sample = &points;
  if (n_init < n) {
    const arma::uvec picks = arma::randperm(n, n_init);
    drawn = points.cols(picks);
    sample = &drawn;
  }
  const arma::uword n_sample = sample->n_cols;

  arma::fmat centroids(sub, k, arma::fill::zeros);
  std::vector<float> nearest(n_sample, std::numeric_limits<float>::max());

  std::random_device device;
  std::mt19937 generator(device());
  const uint64_t first = std::uniform_int_distribution<uint64_t>(0, n_sample - 1)(generator);
  centroids.col(0) = sample->col(first);
  if (k == 1) return centroids;

  const arma::uword n_chunks = (n_sample + kSampleChunk - 1) / kSampleChunk;
  std::vector<arma::fmat> scratch(std::max(1, omp_get_max_threads()));
  SingleThreadedBlas single_threaded_blas;

  for (uint64_t i = 1; i < k; ++i) {
    const arma::fmat newest = ColumnView(centroids.colptr(i - 1), sub, 1);
    ParallelFailure failure;
#pragma omp parallel for schedule(static) if (n_chunks > 1)
    for (arma::uword c = 0; c < n_chunks; ++c) {
      failure.Run([&] {
        const arma::uword begin = c * kSampleChunk;
        const arma::uword len = std::min(kSampleChunk, n_sample - begin);
        arma::fmat& d = scratch[omp_get_thread_num()];
        distance(ColumnView(sample->colptr(begin), sub, len), newest, d);
        const float* dist = d.memptr();
        for (arma::uword j = 0; j < len; ++j) nearest[begin + j] = std::min(nearest[begin + j], dist[j]);
      });
    }
    failure.Rethrow();

    float total = 0.0f;
    for (float v : nearest) total += v;
    // One 32-bit output scaled to [0, 1), as uniform_real_distribution<float> draws it.
    float u = static_cast<float>(generator()) * 0x1p-32f;
    if (u >= 1.0f) u = 0.99999994f;
    const float r = u * total;

    // First point whose running sum reaches r; the last one when rounding leaves r above them all.
    arma::uword pick = n_sample - 1;
    float running = 0.0f;
    for (arma::uword j = 0; j < n_sample; ++j) {
      running += nearest[j];
      if (running >= r) {
        pick = j;
        break;
      }
    }
    centroids.col(i) = sample->col(pick);
  }
  return centroids;
}

}  // namespace

arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  return Seed(points, k, n_init, &SquaredEuclideanDistances);
}

arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  return Seed(points, k, n_init, &CosineDistances);
}

}  // namespace ostrik_encrypted_index::internal::kernels
