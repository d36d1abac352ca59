#include "kernels/kmeans_seeding.h"

#include <omp.h>

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/team_size.h"
#include "kernels/blas_threads.h"
#include "kernels/distances.h"
#include "kernels/matrix_views.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

// Fixed, so that the draws do not depend on the number of threads.
constexpr arma::uword kSampleChunk = 4096;
// Multiply-adds of a step per thread of the team.
constexpr uint64_t kThreadWork = 1 << 15;

enum class Metric { kSquaredEuclidean, kCosine };

template <Metric metric>
arma::fmat Seed(const arma::fmat& points, uint64_t k, uint64_t n_init, uint32_t seed) {
  if (points.n_cols == 0 || k == 0) {
    throw std::invalid_argument("Seeding needs at least one point and one centroid.");
  }
  const arma::uword n = points.n_cols;
  const arma::uword sub = points.n_rows;

  arma::uvec picks;
  arma::fmat drawn;
  if (n_init < n) {
    picks = arma::randperm(n, n_init);
    drawn = points.cols(picks);
  }
  const bool sampled = n_init < n;
  const arma::uword n_sample = sampled ? drawn.n_cols : n;
  auto original = [&](arma::uword j) { return sampled ? points.col(picks[j]) : points.col(j); };

  // What every step compares with the newest centroid, derived once instead of once per step:
  // the sample's squared norms, or the sample normalised (in place when it is a copy already).
  // The distances come out bit for bit as from the plain functions on the same chunks.
  std::vector<float> norms;
  arma::fmat unit;
  const arma::fmat* compared = sampled ? &drawn : &points;
  if constexpr (metric == Metric::kSquaredEuclidean) {
    ColumnSquaredNorms(*compared, norms);
  } else if (sampled) {
    drawn = arma::normalise(drawn, 2, 0);
  } else {
    unit = arma::normalise(points, 2, 0);
    compared = &unit;
  }

  arma::fmat centroids(sub, k, arma::fill::zeros);
  std::vector<float> nearest(n_sample, std::numeric_limits<float>::max());

  std::mt19937 generator(seed);
  const uint64_t first = std::uniform_int_distribution<uint64_t>(0, n_sample - 1)(generator);
  centroids.col(0) = original(first);
  if (k == 1) return centroids;

  const arma::uword n_chunks = (n_sample + kSampleChunk - 1) / kSampleChunk;
  // One chunk, or chunks of short points, stay on one thread: a step over two chunks of 4,096
  // points gains from a second thread only from about 10 dimensions on (here), where the product
  // outweighs the step's two barriers.
  const int team = ostrik::TeamSize(ostrik::WorkProduct(n_sample, sub), kThreadWork, n_chunks);
  std::vector<arma::fmat> scratch(static_cast<size_t>(team));
  SingleThreadedBlas single_threaded_blas;
  ParallelFailure failure;

  // One region for every step: a step is a millisecond or less, so a fork/join per step would
  // cost more than it shares. Each step has two barriers: the nearest distances are complete
  // before the draw reads them, and the drawn centroid is in place before the next step reads it.
  // After a failure every thread still passes every barrier, doing nothing.
#pragma omp parallel num_threads(team) if (team > 1)
  for (uint64_t i = 1; i < k; ++i) {
#pragma omp for schedule(static)
    for (arma::uword c = 0; c < n_chunks; ++c) {
      failure.Run([&] {
        const arma::uword begin = c * kSampleChunk;
        const arma::uword len = std::min(kSampleChunk, n_sample - begin);
        arma::fmat& d = scratch[static_cast<size_t>(omp_get_thread_num())];
        const arma::fmat chunk = ColumnView(compared->colptr(begin), sub, len);
        const arma::fmat newest = ColumnView(centroids.colptr(i - 1), sub, 1);
        if constexpr (metric == Metric::kSquaredEuclidean) {
          SquaredEuclideanDistancesWithNorms(chunk, norms.data() + begin, newest, d);
        } else {
          CosineDistancesToUnitPoints(chunk, newest, d);
        }
        const float* dist = d.memptr();
        for (arma::uword j = 0; j < len; ++j) nearest[begin + j] = std::min(nearest[begin + j], dist[j]);
      });
    }

#pragma omp single
    failure.Run([&] {
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
      centroids.col(i) = original(pick);
    });
  }
  failure.Rethrow();
  return centroids;
}

uint32_t DeviceSeed() {
  std::random_device device;
  return device();
}

}  // namespace

arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  return Seed<Metric::kSquaredEuclidean>(points, k, n_init, DeviceSeed());
}

arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  return Seed<Metric::kCosine>(points, k, n_init, DeviceSeed());
}

arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init, uint32_t seed) {
  return Seed<Metric::kSquaredEuclidean>(points, k, n_init, seed);
}

arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init, uint32_t seed) {
  return Seed<Metric::kCosine>(points, k, n_init, seed);
}

}  // namespace ostrik_encrypted_index::internal::kernels
