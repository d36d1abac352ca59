// Training is randomised by design: these tests check properties, not exact centroids.
#include "kernels/kmeans_training.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kernel_test_util.h"

namespace ok = ostrik_encrypted_index::internal::kernels;
using kernel_test::Rows;

namespace {

ostrik::KMeansParams Params(uint64_t k, uint64_t iters, uint64_t batch = 0, uint64_t subvectors = 1) {
  ostrik::KMeansParams p;
  p.n_subvectors = subvectors;
  p.n_clusters = k;
  p.max_iters = iters;
  p.batch_size = batch;
  return p;
}

std::vector<std::vector<float>> Centroids(const ostrik::QuantizerMatrix& q) {
  std::vector<std::vector<float>> out;
  for (uint64_t r = 0; r < q.rows; ++r) out.emplace_back(q.data.begin() + r * q.cols, q.data.begin() + (r + 1) * q.cols);
  return out;
}

std::vector<std::vector<float>> Points(const ostrik::FloatMatrix& m) {
  std::vector<std::vector<float>> out;
  for (uint64_t r = 0; r < m.rows; ++r) out.emplace_back(m.row(r), m.row(r) + m.cols);
  return out;
}

TEST(TrainQuantizer, NoIterationsReturnsTheSeeds) {
  // Four distinct points and four clusters: k-means++ gives a chosen point weight 0, so the seeds
  // are the four points in some order.
  const auto data = Rows(4, 2, {0, 0, 10, 0, 0, 10, 10, 10});
  for (auto metric : {ostrik::Euclidean, ostrik::SquaredEuclidean}) {
    const auto result = ok::TrainQuantizer(data, Params(4, 0), metric);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].count, 4);
    EXPECT_EQ(result[0].rows, 4u);
    EXPECT_EQ(result[0].cols, 2u);
    auto got = Centroids(result[0]);
    auto want = Points(data);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
  }
}

TEST(TrainQuantizer, AllEqualPointsGiveThatPointEverywhere) {
  const auto data = Rows(50, 3, [] {
    std::vector<float> v;
    for (int i = 0; i < 50; ++i) v.insert(v.end(), {1.5f, -2.0f, 4.0f});
    return v;
  }());
  for (auto metric : {ostrik::Euclidean, ostrik::Cosine}) {
    const auto result = ok::TrainQuantizer(data, Params(3, 5, 16), metric);
    for (const auto& c : Centroids(result[0])) {
      EXPECT_NEAR(c[0], 1.5f, 1e-5f);
      EXPECT_NEAR(c[1], -2.0f, 1e-5f);
      EXPECT_NEAR(c[2], 4.0f, 1e-5f);
    }
  }
}

TEST(TrainQuantizer, MoreClustersThanVectorsWarnsAndRepeatsPoints) {
  const auto data = Rows(5, 1, {0, 1, 2, 3, 4});
  testing::internal::CaptureStderr();
  const auto result = ok::TrainQuantizer(data, Params(8, 0), ostrik::Euclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (5) is smaller than the number of clusters (8). KMeans++ "
            "may fail to select enough unique centroids.\n");
  ASSERT_EQ(result[0].rows, 8u);
  for (float c : result[0].data) EXPECT_TRUE(c == 0 || c == 1 || c == 2 || c == 3 || c == 4) << c;

  // Enough vectors: no warning (n = 100, k = 40, batch 10 samples min(100, 120) = 100 points).
  testing::internal::CaptureStderr();
  ok::TrainQuantizer(kernel_test::RandomRows(100, 2, 1), Params(40, 2, 10), ostrik::Euclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Four tight clusters far apart: every true centre must end up with a trained centroid on it.
TEST(TrainQuantizer, RecoversWellSeparatedMixture) {
  const uint64_t d = 8, per = 200;
  std::vector<std::vector<float>> centres(4, std::vector<float>(d, 0.0f));
  for (int c = 0; c < 4; ++c) centres[c][c] = 20.0f;  // different directions, so cosine separates them too
  std::mt19937 gen(7);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  ostrik::FloatMatrix data{4 * per, d, {}};
  for (uint64_t i = 0; i < 4 * per; ++i) {
    for (uint64_t j = 0; j < d; ++j) data.data.push_back(centres[i % 4][j] + noise(gen));
  }
  for (auto metric : {ostrik::Euclidean, ostrik::Cosine}) {
    const auto result = ok::TrainQuantizer(data, Params(4, 30, 512), metric);
    const auto trained = Centroids(result[0]);
    for (const auto& centre : centres) {
      float best = INFINITY;
      for (const auto& t : trained) {
        float s = 0;
        for (uint64_t j = 0; j < d; ++j) s += (t[j] - centre[j]) * (t[j] - centre[j]);
        best = std::min(best, std::sqrt(s));
      }
      EXPECT_LT(best, 0.5f) << "metric " << metric;
    }
  }
}

TEST(TrainQuantizer, OneMatrixPerSubvector) {
  const auto data = kernel_test::RandomRows(300, 6, 3);
  const auto result = ok::TrainQuantizer(data, Params(5, 3, 64, 2), ostrik::Euclidean);
  ASSERT_EQ(result.size(), 2u);
  for (const auto& q : result) {
    EXPECT_EQ(q.count, 5);
    EXPECT_EQ(q.rows, 5u);
    EXPECT_EQ(q.cols, 3u);
    EXPECT_EQ(q.data.size(), 15u);
  }
}

TEST(TrainQuantizer, RefusesBadInputBeforeAnyWork) {
  struct Case {
    const char* name;
    ostrik::FloatMatrix data;
    ostrik::KMeansParams params;
    const char* message;  // null: any text
  };
  const std::vector<Case> cases = {
      {"indivisible", Rows(2, 6, std::vector<float>(12)), Params(8, 1, 0, 4),
       "Vector dimension must be divisible by the number of subvectors."},
      {"no subvectors", Rows(2, 2, std::vector<float>(4)), Params(1, 1, 0, 0), nullptr},
      {"no vectors", Rows(0, 2, {}), Params(1, 1), nullptr},
      {"zero dimension", Rows(3, 0, {}), Params(1, 1), nullptr},
      {"no clusters", Rows(2, 2, std::vector<float>(4)), Params(0, 1), nullptr},
      {"short data", Rows(3, 2, std::vector<float>(5)), Params(1, 1), nullptr},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    try {
      ok::TrainQuantizer(c.data, c.params, ostrik::Euclidean);
      ADD_FAILURE() << c.name;
    } catch (const std::invalid_argument& e) {
      if (c.message) {
        EXPECT_STREQ(e.what(), c.message) << c.name;
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name << ": no warning before refusing";
  }
}

}  // namespace
