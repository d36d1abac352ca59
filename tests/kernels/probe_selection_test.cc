#include "kernels/probe_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "kernel_test_util.h"

namespace ok = ostrik_encrypted_index::internal::kernels;
using kernel_test::Quantizer;
using kernel_test::Rows;

namespace {

std::vector<std::vector<int32_t>> RowsOf(const ostrik::Int32Matrix& m) {
  std::vector<std::vector<int32_t>> out;
  for (uint64_t r = 0; r < m.rows; ++r) out.emplace_back(m.data.begin() + r * m.cols, m.data.begin() + (r + 1) * m.cols);
  return out;
}

const auto kLine = Quantizer(1, {0, 10, 20, 30});

TEST(SelectProbes, WorkedExampleWithAndWithoutGreedy) {
  const auto queries = Rows(2, 1, {1, 29});
  for (auto metric : {ostrik::Euclidean, ostrik::SquaredEuclidean}) {
    const auto plain = ok::SelectProbes(queries, kLine, 1, metric, 0.0f);
    EXPECT_EQ(plain.n_queries, 2u);
    EXPECT_EQ(plain.probed_ids, (std::vector<uint32_t>{0, 3}));
    EXPECT_EQ(RowsOf(plain.positions), (std::vector<std::vector<int32_t>>{{0}, {1}}));
    EXPECT_TRUE(plain.distances.data.empty());

    const auto greedy = ok::SelectProbes(queries, kLine, 1, metric, 1.0f);
    EXPECT_EQ(greedy.probed_ids, (std::vector<uint32_t>{0, 3}));
    EXPECT_EQ(RowsOf(greedy.positions), (std::vector<std::vector<int32_t>>{{0, 1}, {1, 0}}));
  }
}

TEST(SelectProbes, ProbeCountClamps) {
  const auto queries = Rows(2, 1, {1, 29});
  struct Case {
    uint64_t n_probes;
    float factor;
    uint64_t width;
    std::vector<uint32_t> probed;
  };
  const std::vector<Case> cases = {
      {0, 0.0f, 0, {}},
      {0, 1.0f, 0, {}},
      {4, 1.0f, 4, {0, 1, 2, 3}},
      {9, 0.0f, 4, {0, 1, 2, 3}},
      // Huge counts and factors clamp to the centroids without overflowing.
      {std::numeric_limits<uint64_t>::max(), 1e30f, 4, {0, 1, 2, 3}},
      {1, std::numeric_limits<float>::infinity(), 2, {0, 3}},
      {2, 0.5f, 3, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    const auto s = ok::SelectProbes(queries, kLine, c.n_probes, ostrik::Euclidean, c.factor);
    EXPECT_EQ(s.positions.rows, 2u) << c.n_probes;
    EXPECT_EQ(s.positions.cols, c.width) << c.n_probes << " x " << c.factor;
    EXPECT_EQ(s.probed_ids, c.probed) << c.n_probes;
    for (const auto& row : RowsOf(s.positions)) {
      EXPECT_EQ(std::set<int32_t>(row.begin(), row.end()).size(), row.size()) << "distinct entries";
    }
  }
  // All probes: each query lists every centroid, nearest first.
  const auto all = ok::SelectProbes(queries, kLine, 9, ostrik::Euclidean, 1.0f);
  EXPECT_EQ(RowsOf(all.positions), (std::vector<std::vector<int32_t>>{{0, 1, 2, 3}, {3, 2, 1, 0}}));
}

TEST(SelectProbes, NoCentroidsProbeNothing) {
  const std::vector<ostrik::QuantizerMatrix> empty = {ostrik::QuantizerMatrix(0, {}, 1)};
  const auto s = ok::SelectProbes(Rows(3, 1, {1, 2, 3}), empty, 2, ostrik::Cosine, 1.0f);
  EXPECT_TRUE(s.probed_ids.empty());
  EXPECT_EQ(s.positions.rows, 3u);
  EXPECT_EQ(s.positions.cols, 0u);
}

TEST(SelectProbes, ZeroQueryUnderCosinePicksTheFirstCentroids) {
  const auto q = Quantizer(2, {1, 0, 0, 1, -1, 0, 0, -1});
  const auto s = ok::SelectProbes(Rows(1, 2, {0, 0}), q, 2, ostrik::Cosine, 0.0f);
  EXPECT_EQ(s.probed_ids, (std::vector<uint32_t>{0, 1}));
  const auto row = RowsOf(s.positions)[0];
  EXPECT_EQ(std::set<int32_t>(row.begin(), row.end()), (std::set<int32_t>{0, 1}));
}

TEST(SelectProbes, RefusesBadInput) {
  const auto queries = Rows(1, 1, {1});
  try {
    ok::SelectProbes(Rows(0, 1, {}), kLine, 0, ostrik::Euclidean, 0.0f);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "No query embeddings provided.");
  }
  ostrik::QuantizerMatrix lying = kLine[0];
  lying.count = 5;
  struct Case {
    const char* name;
    ostrik::FloatMatrix queries;
    std::vector<ostrik::QuantizerMatrix> quantizers;
    float factor;
  };
  const std::vector<Case> cases = {
      {"negative factor", queries, kLine, -1.0f},
      {"NaN factor", queries, kLine, std::nanf("")},
      {"no quantizers", queries, {}, 0.0f},
      {"count beyond data", queries, {lying}, 0.0f},
      {"other width", Rows(1, 2, {1, 1}), kLine, 0.0f},
      {"short query data", Rows(2, 1, {1}), kLine, 0.0f},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(ok::SelectProbes(c.queries, c.quantizers, 1, ostrik::Euclidean, c.factor), std::invalid_argument)
        << c.name;
  }
}

// Many random queries over many blocks: every row holds the query's nearest centroids (first
// pass) or the nearest of the union (greedy), checked against a plain double-precision ranking.
TEST(SelectProbes, MatchesBruteForceRanking) {
  const uint64_t d = 16, m = 64, n = 700, a = 3;
  const auto centres = kernel_test::RandomRows(m, d, 11);
  const auto queries = kernel_test::RandomRows(n, d, 12);
  const auto quantizers = Quantizer(centres);
  for (auto metric : {ostrik::Euclidean, ostrik::Cosine}) {
    auto distance = [&](uint64_t q, uint64_t c) {
      double dot = 0, qq = 0, cc = 0, sq = 0;
      for (uint64_t j = 0; j < d; ++j) {
        const double x = queries.row(q)[j], y = centres.row(c)[j];
        dot += x * y, qq += x * x, cc += y * y, sq += (x - y) * (x - y);
      }
      return metric == ostrik::Cosine ? 1.0 - dot / std::sqrt(qq * cc) : sq;
    };
    auto nearest = [&](uint64_t q, const std::vector<uint32_t>& among, uint64_t keep) {
      std::vector<uint32_t> ids = among;
      std::sort(ids.begin(), ids.end(), [&](uint32_t x, uint32_t y) { return distance(q, x) < distance(q, y); });
      ids.resize(keep);
      return ids;
    };
    std::vector<uint32_t> all(m);
    for (uint32_t c = 0; c < m; ++c) all[c] = c;

    const auto plain = ok::SelectProbes(queries, quantizers, a, metric, 0.0f);
    std::set<uint32_t> expected_union;
    for (uint64_t q = 0; q < n; ++q) {
      const auto want = nearest(q, all, a);
      expected_union.insert(want.begin(), want.end());
      for (uint64_t j = 0; j < a; ++j) {
        ASSERT_EQ(plain.probed_ids[plain.positions.data[q * a + j]], want[j]) << "query " << q;
      }
    }
    EXPECT_EQ(plain.probed_ids, std::vector<uint32_t>(expected_union.begin(), expected_union.end()));

    const auto greedy = ok::SelectProbes(queries, quantizers, a, metric, 1.0f);
    ASSERT_EQ(greedy.probed_ids, plain.probed_ids);
    ASSERT_EQ(greedy.positions.cols, 2 * a);
    for (uint64_t q = 0; q < n; ++q) {
      const auto want = nearest(q, greedy.probed_ids, 2 * a);
      for (uint64_t j = 0; j < 2 * a; ++j) {
        ASSERT_EQ(greedy.probed_ids[greedy.positions.data[q * 2 * a + j]], want[j]) << "query " << q;
      }
    }
  }
}

}  // namespace
