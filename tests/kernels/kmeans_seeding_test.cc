// k-means++ seeding with a given seed: the draws follow known answers, and the centroids come out
// the same bit for bit on every thread count.
#include "kernels/kmeans_seeding.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/thread_scope.h"

namespace ok = ostrik_encrypted_index::internal::kernels;

namespace {

using SeedFn = arma::fmat (*)(const arma::fmat&, uint64_t, uint64_t, uint32_t);

struct Metric {
  const char* name;
  SeedFn seed;
};
const Metric kMetrics[] = {{"euclidean", &ok::KMeansPlusPlusInitEuclidean}, {"cosine", &ok::KMeansPlusPlusInitCosine}};

// 8,989 distinct points with small integer or quarter coordinates (j mod 101 and j mod 89 differ
// for every j below 101 x 89), so every squared distance is exact: three chunks of 4,096.
arma::fmat Lattice() {
  const arma::uword n = 8989;
  arma::fmat x(3, n);
  for (arma::uword j = 0; j < n; ++j) {
    x(0, j) = static_cast<float>(j * 37 % 101);
    x(1, j) = static_cast<float>(j * 53 % 89) / 4.0f;
    x(2, j) = static_cast<float>(j * j % 97) - 48.0f;
  }
  return x;
}

// The column of `points` equal to `v`, or -1.
int ColumnOf(const arma::fmat& points, const arma::fmat& v) {
  for (arma::uword j = 0; j < points.n_cols; ++j) {
    if (std::memcmp(points.colptr(j), v.memptr(), points.n_rows * sizeof(float)) == 0) return static_cast<int>(j);
  }
  return -1;
}

TEST(KMeansPlusPlusSeeding, DrawsFollowKnownAnswers) {
  struct Case {
    size_t metric;
    uint32_t seed;
    std::vector<int> picks;  // the point each centroid is, in order
  };
  const std::vector<Case> cases = {
      {0, 7, {685, 2042, 7014, 2866, 3937, 8793, 6502, 4078}},
      {0, 2024, {5285, 6801, 6283, 6633, 1676, 5321, 392, 8017}},
      {1, 7, {685, 2048, 7010, 2875, 3980, 8791, 6557, 4135}},
      {1, 2024, {5285, 6799, 6277, 6650, 1734, 5351, 394, 8050}},
  };
  const arma::fmat x = Lattice();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kMetrics[c.metric].name) + ", seed " + std::to_string(c.seed));
    const arma::fmat centroids = kMetrics[c.metric].seed(x, c.picks.size(), x.n_cols, c.seed);
    ASSERT_EQ(centroids.n_rows, 3u);
    ASSERT_EQ(centroids.n_cols, c.picks.size());
    for (size_t i = 0; i < c.picks.size(); ++i) {
      EXPECT_EQ(ColumnOf(x, centroids.col(i)), c.picks[i]) << "centroid " << i;
    }
  }
}

// Five chunks in full, or a sample of three (drawn with Armadillo's generator, seeded alike before
// every call); some points are zero, which cosine puts at distance 1 from everything. Every
// centroid must be one of the points as given, never a normalised copy.
TEST(KMeansPlusPlusSeeding, SameBitsOnEveryThreadCount) {
  std::mt19937 gen(3);
  std::normal_distribution<float> normal;
  arma::fmat x(16, 20000);
  for (float& v : x) v = normal(gen);
  for (arma::uword j = 0; j < 20000; j += 997) x.col(j).zeros();
  for (const Metric& metric : kMetrics) {
    for (const uint64_t n_init : {uint64_t{20000}, uint64_t{9000}}) {
      SCOPED_TRACE(std::string(metric.name) + ", sample " + std::to_string(n_init));
      arma::fmat first;
      for (const int threads : {1, 3, 8}) {
        const ostrik::ThreadCountScope team(threads);
        arma::arma_rng::set_seed(11);
        const arma::fmat got = metric.seed(x, 40, n_init, 99);
        ASSERT_EQ(got.n_rows, 16u);
        ASSERT_EQ(got.n_cols, 40u);
        if (threads == 1) {
          first = got;
          for (arma::uword i = 0; i < got.n_cols; ++i) EXPECT_GE(ColumnOf(x, got.col(i)), 0) << "centroid " << i;
        } else {
          EXPECT_EQ(std::memcmp(got.memptr(), first.memptr(), first.n_elem * sizeof(float)), 0)
              << threads << " threads";
        }
      }
    }
  }
}

TEST(KMeansPlusPlusSeeding, RefusesNoPointsOrNoCentroids) {
  for (const Metric& metric : kMetrics) {
    for (const auto& [points, k] :
         {std::pair{arma::fmat(3, 0), uint64_t{2}}, std::pair{arma::fmat(3, 5, arma::fill::ones), uint64_t{0}}}) {
      try {
        metric.seed(points, k, 10, 1);
        ADD_FAILURE() << metric.name;
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Seeding needs at least one point and one centroid.");
      }
    }
  }
}

}  // namespace
