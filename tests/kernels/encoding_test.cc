#include "kernels/encoding.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kernel_test_util.h"

namespace ok = ostrik_encrypted_index::internal::kernels;
using kernel_test::Quantizer;
using kernel_test::Rows;

namespace {

// Ten centroids on a circle; vector v sits next to centroid v % 10, so Euclidean and cosine agree.
struct Ring {
  std::vector<ostrik::QuantizerMatrix> quantizers;
  ostrik::FloatMatrix vectors;
};

Ring MakeRing(uint64_t n) {
  std::vector<float> centres;
  for (int c = 0; c < 10; ++c) {
    centres.push_back(std::cos(c * 0.6283f));
    centres.push_back(std::sin(c * 0.6283f));
  }
  ostrik::FloatMatrix vectors{n, 2, {}};
  for (uint64_t v = 0; v < n; ++v) {
    const float angle = (v % 10) * 0.6283f + 0.05f;
    vectors.data.push_back(1.1f * std::cos(angle));
    vectors.data.push_back(1.1f * std::sin(angle));
  }
  return {Quantizer(2, centres), vectors};
}

TEST(EncodeVectors, EveryVectorAcrossSeveralBlocksGetsItsCode) {
  const Ring ring = MakeRing(2500);  // blocks of 1000, 1000 and 500
  for (auto metric : {ostrik::Euclidean, ostrik::SquaredEuclidean, ostrik::Cosine}) {
    const auto codes = ok::EncodeVectors(ring.vectors, ring.quantizers, metric);
    ASSERT_EQ(codes.rows, 2500u);
    ASSERT_EQ(codes.cols, 1u);
    ASSERT_EQ(codes.codes.size(), 2500u);
    for (uint64_t v = 0; v < 2500; ++v) ASSERT_EQ(codes.codes[v], v % 10) << "vector " << v << " metric " << metric;
  }
}

TEST(EncodeVectors, TiesGoToTheLowestCentroid) {
  // 1-D centroids: 2 and 5 both at distance 1 from the vector, the others far away.
  const auto q = Quantizer(1, {100, 200, 0, 300, 400, 2, 500});
  EXPECT_EQ(ok::EncodeVectors(Rows(1, 1, {1}), q, ostrik::Euclidean).codes, std::vector<uint32_t>{2});
  // Cosine: a zero vector is at distance 1 from every centroid.
  const auto q2 = Quantizer(2, {1, 0, 0, 1, -1, 0});
  EXPECT_EQ(ok::EncodeVectors(Rows(1, 2, {0, 0}), q2, ostrik::Cosine).codes, std::vector<uint32_t>{0});
}

TEST(EncodeVectors, EachSubvectorUsesItsOwnQuantizer) {
  // Subvector 0 is component 0, subvector 1 component 1.
  std::vector<ostrik::QuantizerMatrix> qs = {ostrik::QuantizerMatrix(3, {0, 10, 20}, 1),
                                             ostrik::QuantizerMatrix(2, {-5, 5}, 1)};
  const auto codes = ok::EncodeVectors(Rows(3, 2, {9, 4, 21, -6, 1, 7}), qs, ostrik::Euclidean);
  EXPECT_EQ(codes.cols, 2u);
  EXPECT_EQ(codes.codes, (std::vector<uint32_t>{1, 1, 2, 0, 0, 1}));
}

TEST(EncodeVectors, NoVectorsGiveAnEmptyCodeMatrix) {
  const auto codes = ok::EncodeVectors(Rows(0, 2, {}), MakeRing(1).quantizers, ostrik::Euclidean);
  EXPECT_EQ(codes.rows, 0u);
  EXPECT_EQ(codes.cols, 1u);
  EXPECT_TRUE(codes.codes.empty());
}

TEST(EncodeVectors, RefusesInconsistentInput) {
  const auto vec = Rows(1, 2, {1, 1});
  ostrik::QuantizerMatrix short_data = Quantizer(2, {0, 0, 1, 1})[0];
  short_data.count = 3;  // claims a third centroid its data does not hold
  short_data.rows = 3;
  ostrik::QuantizerMatrix wrong_rows = Quantizer(2, {0, 0, 1, 1})[0];
  wrong_rows.count = 3;
  struct Case {
    const char* name;
    ostrik::FloatMatrix vectors;
    std::vector<ostrik::QuantizerMatrix> quantizers;
  };
  const std::vector<Case> cases = {
      {"no quantizers", vec, {}},
      {"indivisible", Rows(1, 10, std::vector<float>(10)), std::vector<ostrik::QuantizerMatrix>(4, Quantizer(1, {0})[0])},
      {"short quantizer data", vec, {short_data}},
      {"count differs from rows", vec, {wrong_rows}},
      {"other width", vec, Quantizer(3, {0, 0, 0})},
      {"no centroids", vec, {ostrik::QuantizerMatrix(0, {}, 2)}},
      {"short vector data", Rows(2, 2, {1, 1, 1}), Quantizer(2, {0, 0})},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(ok::EncodeVectors(c.vectors, c.quantizers, ostrik::Euclidean), std::invalid_argument) << c.name;
  }
  try {
    ok::EncodeVectors(cases[1].vectors, cases[1].quantizers, ostrik::Euclidean);
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Vector dimension must be divisible by the number of subvectors.");
  }
}

}  // namespace
