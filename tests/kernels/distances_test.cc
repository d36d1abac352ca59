#include "kernels/distances.h"

#include <gtest/gtest.h>

namespace ok = ostrik_encrypted_index::internal::kernels;

namespace {

struct PairCase {
  arma::fvec a;
  arma::fvec b;
  float squared;
  float cosine;
};

TEST(Distances, HandComputedPairs) {
  const std::vector<PairCase> cases = {
      {{0, 0}, {3, 4}, 25.0f, 1.0f},  // a zero vector is at cosine distance 1 from anything
      {{1, 0}, {-1, 0}, 4.0f, 2.0f},
      {{1, 0}, {0, 1}, 2.0f, 1.0f},
      {{2, 2}, {1, 1}, 2.0f, 0.0f},
  };
  for (const PairCase& c : cases) {
    arma::fmat sq, cos;
    ok::SquaredEuclideanDistances(c.a, c.b, sq);
    ok::CosineDistances(c.a, c.b, cos);
    ASSERT_EQ(sq.n_rows, 1u);
    ASSERT_EQ(sq.n_cols, 1u);
    EXPECT_FLOAT_EQ(sq(0, 0), c.squared);
    EXPECT_NEAR(cos(0, 0), c.cosine, 1e-6f);
  }
}

TEST(Distances, RowsFollowCentresAndColumnsFollowPoints) {
  arma::fmat points = {{0, 1, 2}};       // 1 x 3: points 0, 1, 2
  arma::fmat centres = {{0, 10, 20, 30, 40}};  // 1 x 5
  arma::fmat d;
  ok::SquaredEuclideanDistances(points, centres, d);
  ASSERT_EQ(d.n_rows, 5u);
  ASSERT_EQ(d.n_cols, 3u);
  for (arma::uword i = 0; i < 5; ++i) {
    for (arma::uword j = 0; j < 3; ++j) {
      const float diff = centres(0, i) - points(0, j);
      EXPECT_FLOAT_EQ(d(i, j), diff * diff);
    }
  }
  ok::CosineDistances(points, centres, d);
  EXPECT_EQ(d.n_rows, 5u);
  EXPECT_EQ(d.n_cols, 3u);
}

TEST(Distances, SameVectorIsWithinRoundingOfZero) {
  const arma::fvec v = {0.3f, -1.7f, 2.9f};
  arma::fmat sq, cos;
  ok::SquaredEuclideanDistances(v, v, sq);
  ok::CosineDistances(v, v, cos);
  EXPECT_NEAR(sq(0, 0), 0.0f, 1e-5f);
  EXPECT_NEAR(cos(0, 0), 0.0f, 1e-6f);
}

}  // namespace
