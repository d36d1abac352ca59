#include "kernels/candidate_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <numeric>
#include <tuple>

#include "kernel_test_util.h"

namespace ok = ostrik_encrypted_index::internal::kernels;
using kernel_test::Rows;

namespace {

const std::vector<int32_t> kWithMetadata = {static_cast<int32_t>(ostrik::QueryInclude::METADATA)};

struct Candidates {
  ostrik::ItemRecords items;
  ostrik::FloatMatrix vectors;
};

// groups[g] lists the (id, metadata, vector) of group g.
struct Item {
  std::string id;
  std::string metadata;
  std::vector<float> vector;
};

Candidates Make(const std::vector<std::vector<Item>>& groups, uint64_t d) {
  Candidates c;
  c.vectors.cols = d;
  c.items.token_indices.push_back(0);
  for (const auto& group : groups) {
    for (const Item& item : group) {
      c.items.item_ids.push_back(item.id);
      c.items.metadata.push_back(item.metadata);
      c.vectors.data.insert(c.vectors.data.end(), item.vector.begin(), item.vector.end());
      ++c.vectors.rows;
    }
    c.items.token_indices.push_back(c.items.item_ids.size());
  }
  return c;
}

ostrik::ProbeSelection Probes(const std::vector<std::vector<int32_t>>& rows) {
  ostrik::ProbeSelection p;
  p.n_queries = rows.size();
  p.positions.rows = rows.size();
  p.positions.cols = rows.empty() ? 0 : rows[0].size();
  for (const auto& r : rows) p.positions.data.insert(p.positions.data.end(), r.begin(), r.end());
  return p;
}

std::vector<std::string> RowIds(const ostrik::QueryResults& r, uint64_t q) {
  return {r.ids.data.begin() + q * r.top_k, r.ids.data.begin() + (q + 1) * r.top_k};
}

std::vector<float> RowDistances(const ostrik::QueryResults& r, uint64_t q) {
  return {r.distances.data.begin() + q * r.top_k, r.distances.data.begin() + (q + 1) * r.top_k};
}

TEST(SearchCandidates, HandComputedDistancesPerMetric) {
  const auto c = Make({{{"origin", "", {0, 0}}, {"x", "", {-1, 0}}}}, 2);
  const auto probes = Probes({{0}});
  struct Case {
    ostrik::DistanceMetric metric;
    std::vector<float> query;
    std::vector<std::string> ids;
    std::vector<float> distances;
  };
  const std::vector<Case> cases = {
      {ostrik::Euclidean, {3, 4}, {"origin", "x"}, {5.0f, std::sqrt(32.0f)}},
      {ostrik::SquaredEuclidean, {3, 4}, {"origin", "x"}, {25.0f, 32.0f}},
      {ostrik::SquaredEuclidean, {1, 0}, {"origin", "x"}, {1.0f, 4.0f}},
      // The origin has no direction: distance 1; (1, 0) against (-1, 0): 2.
      {ostrik::Cosine, {1, 0}, {"origin", "x"}, {1.0f, 2.0f}},
      // A zero query is at distance 1 from everything; ties are listed by id.
      {ostrik::Cosine, {0, 0}, {"origin", "x"}, {1.0f, 1.0f}},
  };
  for (const Case& t : cases) {
    const auto r = ok::SearchCandidates(c.items, c.vectors, probes, Rows(1, 2, t.query), 5, t.metric, {});
    EXPECT_EQ(r.top_k, 2u);  // clamped to the candidates
    EXPECT_EQ(r.result_counts, std::vector<int32_t>{2});
    EXPECT_EQ(RowIds(r, 0), t.ids) << t.metric;
    const auto dist = RowDistances(r, 0);
    for (size_t i = 0; i < dist.size(); ++i) EXPECT_FLOAT_EQ(dist[i], t.distances[i]) << t.metric;
    EXPECT_TRUE(r.metadata[0].empty());
  }
}

TEST(SearchCandidates, EqualDistancesOrderByIdThenMetadata) {
  const auto c = Make({{{"b", "1", {1}}, {"a", "z", {-1}}, {"a", "y", {1}}, {"far", "", {9}}}}, 1);
  const auto r = ok::SearchCandidates(c.items, c.vectors, Probes({{0}}), Rows(1, 1, {0}), 3,
                                      ostrik::SquaredEuclidean, kWithMetadata);
  EXPECT_EQ(RowIds(r, 0), (std::vector<std::string>{"a", "a", "b"}));
  EXPECT_EQ(r.metadata[0], (std::vector<std::string>{"y", "z", "1"}));
}

TEST(SearchCandidates, FullHeapAdmitsOnlyStrictlyNearer) {
  // "z" is scanned first; "a" at the same distance never displaces it.
  const auto c = Make({{{"z", "", {1}}, {"a", "", {-1}}, {"m", "", {3}}}}, 1);
  const auto r = ok::SearchCandidates(c.items, c.vectors, Probes({{0}}), Rows(1, 1, {0}), 1,
                                      ostrik::Euclidean, {});
  EXPECT_EQ(RowIds(r, 0), std::vector<std::string>{"z"});
}

TEST(SearchCandidates, QueriesScanOnlyTheirOwnGroups) {
  std::vector<Item> small, large;
  for (int i = 0; i < 3; ++i) small.push_back({"s" + std::to_string(i), "m" + std::to_string(i), {float(i)}});
  for (int i = 0; i < 10; ++i) large.push_back({"l" + std::to_string(i), "", {float(100 + i)}});
  const auto c = Make({small, large}, 1);
  const auto probes = Probes({{0}, {1}});
  const auto queries = Rows(2, 1, {0, 100});
  const auto r = ok::SearchCandidates(c.items, c.vectors, probes, queries, 5, ostrik::Euclidean, kWithMetadata);
  EXPECT_EQ(r.top_k, 5u);
  EXPECT_EQ(r.result_counts, (std::vector<int32_t>{3, 5}));
  EXPECT_EQ(RowIds(r, 0), (std::vector<std::string>{"s0", "s1", "s2", "", ""}));
  EXPECT_EQ(RowDistances(r, 0), (std::vector<float>{0, 1, 2, 0, 0}));
  EXPECT_EQ(r.metadata[0], (std::vector<std::string>{"m0", "m1", "m2", "", ""}));
  EXPECT_EQ(RowIds(r, 1), (std::vector<std::string>{"l0", "l1", "l2", "l3", "l4"}));
  EXPECT_EQ(r.metadata[1], std::vector<std::string>(5));

  // A query with no positions finds nothing, but still gets k metadata texts.
  const auto none = ok::SearchCandidates(c.items, c.vectors, Probes({{}}), Rows(1, 1, {0}), 2,
                                         ostrik::Euclidean, kWithMetadata);
  EXPECT_EQ(none.result_counts, std::vector<int32_t>{0});
  EXPECT_EQ(none.metadata[0], std::vector<std::string>(2));
}

TEST(SearchCandidates, EmptyResultsWithoutChecks) {
  const auto c = Make({{{"a", "", {1}}}}, 1);
  const auto bad = static_cast<ostrik::DistanceMetric>(7);
  const ostrik::ItemRecords nothing;
  struct Case {
    const char* name;
    ostrik::QueryResults result;
    uint64_t rows;
  };
  const std::vector<Case> cases = {
      {"no candidates", ok::SearchCandidates(nothing, {}, Probes({{0}, {0}}), Rows(2, 1, {0, 0}), 3, bad, {}), 2},
      {"top_k 0", ok::SearchCandidates(c.items, c.vectors, Probes({{0}}), Rows(1, 1, {0}), 0, bad, {}), 1},
      {"no queries", ok::SearchCandidates(c.items, c.vectors, Probes({{0}}), Rows(0, 1, {}), 3, bad, {}), 1},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(t.result.n_queries, t.rows) << t.name;
    EXPECT_EQ(t.result.top_k, 0u) << t.name;
    EXPECT_TRUE(t.result.ids.data.empty()) << t.name;
    EXPECT_EQ(t.result.result_counts, std::vector<int32_t>(t.rows, 0)) << t.name;
  }
}

TEST(SearchCandidates, RefusesInconsistentInput) {
  const auto c = Make({{{"a", "", {1, 1}}, {"b", "", {2, 2}}}}, 2);
  const auto q = Rows(1, 2, {0, 0});
  const auto probes = Probes({{0}});
  auto message = [](auto&& fn) -> std::string {
    try {
      fn();
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "<none>";
  };
  ostrik::FloatMatrix one_row = c.vectors;
  one_row.rows = 1;
  one_row.data.resize(2);
  EXPECT_EQ(message([&] { ok::SearchCandidates(c.items, one_row, probes, q, 1, ostrik::Cosine, {}); }),
            "Matching IDs and embeddings have different sizes");
  EXPECT_EQ(message([&] { ok::SearchCandidates(c.items, c.vectors, probes, Rows(1, 3, {0, 0, 0}), 1, ostrik::Cosine, {}); }),
            "Query embedding dimension does not match item embedding");

  auto missing_metadata = c.items;
  missing_metadata.metadata.pop_back();
  auto bad_offsets = c.items;
  bad_offsets.token_indices = {0, 5};
  const std::vector<std::tuple<const char*, ostrik::ItemRecords, ostrik::ProbeSelection, ostrik::FloatMatrix>> cases = {
      {"position past the groups", c.items, Probes({{1}}), q},
      {"negative position", c.items, Probes({{-1}}), q},
      {"selection for more queries", c.items, Probes({{0}, {0}}), q},
      {"metadata count", missing_metadata, probes, q},
      {"offsets past the candidates", bad_offsets, probes, q},
      {"short query data", c.items, probes, ostrik::FloatMatrix{1, 2, {0}}},
  };
  for (const auto& [name, items, sel, queries] : cases) {
    EXPECT_THROW(ok::SearchCandidates(items, c.vectors, sel, queries, 1, ostrik::Euclidean, {}), std::invalid_argument)
        << name;
  }
}

// Random candidates in random groups, random probe rows: every row must equal a plain scan with
// sequential single-precision sums, sorted by (distance, id).
TEST(SearchCandidates, MatchesBruteForceOnRandomData) {
  const uint64_t d = 37, n_groups = 12, n_queries = 40, k = 10;
  std::mt19937 gen(5);
  std::vector<std::vector<Item>> groups(n_groups);
  int next = 0;
  for (auto& g : groups) {
    const int size = std::uniform_int_distribution<int>(0, 60)(gen);
    for (int i = 0; i < size; ++i) {
      const auto v = kernel_test::RandomRows(1, d, 1000 + next);
      g.push_back({"id" + std::to_string(next * 7919 % 1000), "", v.data});
      ++next;
    }
  }
  groups[3].push_back({"zero", "", std::vector<float>(d, 0.0f)});
  const auto c = Make(groups, d);
  const auto queries = kernel_test::RandomRows(n_queries, d, 99);
  std::vector<std::vector<int32_t>> rows;
  for (uint64_t q = 0; q < n_queries; ++q) {
    std::vector<int32_t> all(n_groups);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), gen);
    all.resize(4);
    rows.push_back(all);
  }
  const auto probes = Probes(rows);

  for (auto metric : {ostrik::Euclidean, ostrik::SquaredEuclidean, ostrik::Cosine}) {
    const auto r = ok::SearchCandidates(c.items, c.vectors, probes, queries, k, metric, {});
    for (uint64_t q = 0; q < n_queries; ++q) {
      std::vector<std::pair<float, std::string>> scan;
      for (int32_t g : rows[q]) {
        for (uint64_t i = c.items.token_indices[g]; i < c.items.token_indices[g + 1]; ++i) {
          const float* x = c.vectors.row(i);
          const float* y = queries.row(q);
          float s = 0, dot = 0, xx = 0, yy = 0;
          for (uint64_t j = 0; j < d; ++j) {
            s += (y[j] - x[j]) * (y[j] - x[j]);
            dot += x[j] * y[j];
            xx += x[j] * x[j];
            yy += y[j] * y[j];
          }
          const float norm = std::sqrt(yy) * std::sqrt(xx);
          const float dist = metric == ostrik::Cosine ? (norm == 0 ? 1.0f : 1.0f - dot / norm) : s;
          scan.emplace_back(dist, c.items.item_ids[i]);
        }
      }
      std::sort(scan.begin(), scan.end());
      const uint64_t found = std::min<uint64_t>(k, scan.size());
      ASSERT_EQ(r.result_counts[q], static_cast<int32_t>(found));
      for (uint64_t j = 0; j < found; ++j) {
        const float want = metric == ostrik::Euclidean ? std::sqrt(scan[j].first) : scan[j].first;
        ASSERT_EQ(r.ids.data[q * k + j], scan[j].second) << "metric " << metric << " query " << q;
        ASSERT_EQ(r.distances.data[q * k + j], want) << "metric " << metric << " query " << q;
      }
    }
  }
}

// One query over many candidates: its scan is split into chunks over the team, and the result must
// still be that of one scan in order.
TEST(SearchCandidates, SingleQueryOverManyCandidates) {
  const uint64_t n = 20000, d = 8;
  ostrik::FloatMatrix vectors{n, d, std::vector<float>(n * d)};
  ostrik::ItemRecords items;
  items.token_indices = {0, n};
  for (uint64_t i = 0; i < n; ++i) {
    vectors.data[i * d] = static_cast<float>(n - i);  // the last item is nearest to the origin
    items.item_ids.push_back(std::to_string(i));
    items.metadata.emplace_back();
  }
  const auto r = ok::SearchCandidates(items, vectors, Probes({{0}}), Rows(1, d, std::vector<float>(d)), 3,
                                      ostrik::Euclidean, {});
  EXPECT_EQ(RowIds(r, 0), (std::vector<std::string>{"19999", "19998", "19997"}));
  EXPECT_EQ(RowDistances(r, 0), (std::vector<float>{1, 2, 3}));
}

}  // namespace

namespace {

// The bounded heap of one sequential scan, as the search specifies it: ordered by (distance, id,
// metadata), a full heap takes in only a strictly nearer candidate. Returns (distance, index)
// nearest first.
std::vector<std::pair<float, uint64_t>> SequentialScan(const std::vector<std::pair<float, uint64_t>>& scan,
                                                       const ostrik::ItemRecords& items, uint64_t k) {
  auto less = [&](const std::pair<float, uint64_t>& a, const std::pair<float, uint64_t>& b) {
    return std::tie(a.first, items.item_ids[a.second], items.metadata[a.second]) <
           std::tie(b.first, items.item_ids[b.second], items.metadata[b.second]);
  };
  std::vector<std::pair<float, uint64_t>> heap;
  for (const auto& e : scan) {
    if (heap.size() < k) {
      heap.push_back(e);
      std::push_heap(heap.begin(), heap.end(), less);
    } else if (e.first < heap.front().first) {
      std::pop_heap(heap.begin(), heap.end(), less);
      heap.back() = e;
      std::push_heap(heap.begin(), heap.end(), less);
    }
  }
  std::sort_heap(heap.begin(), heap.end(), less);
  return heap;
}

}  // namespace

// Few queries over many candidates with a handful of distinct distances: which of the tied
// candidates survive depends on the scan order, so a replay split over threads must reproduce the
// sequential heap exactly, metadata included. Groups are probed out of order.
TEST(SearchCandidates, FewQueriesWithManyTiesMatchOneSequentialScan) {
  const uint64_t d = 4, n_groups = 7;
  std::mt19937 gen(17);
  std::vector<std::vector<Item>> groups(n_groups);
  uint64_t next = 0;
  for (uint64_t g = 0; g < n_groups; ++g) {
    for (uint64_t i = 0; i < 9000 + 1000 * g; ++i, ++next) {
      std::vector<float> v(d);
      for (float& x : v) x = static_cast<float>(std::uniform_int_distribution<int>(0, 2)(gen));
      if (g == 0 && i < 5) v.assign(d, 0.0f);  // cosine distance 1 to everything
      // Ids repeat, so equal (distance, id) pairs fall back on the metadata text.
      groups[g].push_back({"id" + std::to_string(next % 977), "m" + std::to_string(next % 13), v});
    }
  }
  const auto c = Make(groups, d);
  const auto queries = Rows(3, d, {0, 0, 0, 0, 1, 1, 1, 1, 2, 0, 1, 2});
  const std::vector<std::vector<int32_t>> rows = {{5, 0, 3, 6, 1, 2, 4}, {6, 5, 4, 3, 2, 1, 0},
                                                  {2, 4, 6, 0, 1, 3, 5}};
  const auto probes = Probes(rows);

  for (auto metric : {ostrik::SquaredEuclidean, ostrik::Cosine}) {
    for (uint32_t k : {1u, 10u, 300u}) {
      for (uint64_t n_queries : {1u, 3u}) {
        const ostrik::ProbeSelection sel = Probes({rows.begin(), rows.begin() + n_queries});
        const ostrik::FloatMatrix qs = Rows(n_queries, d, {queries.data.begin(), queries.data.begin() + n_queries * d});
        const auto r = ok::SearchCandidates(c.items, c.vectors, sel, qs, k, metric, kWithMetadata);
        for (uint64_t q = 0; q < n_queries; ++q) {
          std::vector<std::pair<float, uint64_t>> scan;
          for (int32_t g : rows[q]) {
            for (uint64_t i = c.items.token_indices[g]; i < c.items.token_indices[g + 1]; ++i) {
              const float* x = c.vectors.row(i);
              const float* y = qs.row(q);
              float s = 0, dot = 0, xx = 0, yy = 0;
              for (uint64_t j = 0; j < d; ++j) {
                s += (y[j] - x[j]) * (y[j] - x[j]);
                dot += x[j] * y[j];
                xx += x[j] * x[j];
                yy += y[j] * y[j];
              }
              const float norm = std::sqrt(yy) * std::sqrt(xx);
              scan.emplace_back(metric == ostrik::Cosine ? (norm == 0 ? 1.0f : 1.0f - dot / norm) : s, i);
            }
          }
          const auto want = SequentialScan(scan, c.items, k);
          ASSERT_EQ(r.result_counts[q], static_cast<int32_t>(want.size()));
          for (uint64_t j = 0; j < want.size(); ++j) {
            const std::string where = "metric " + std::to_string(metric) + " k " + std::to_string(k) + " query " +
                                      std::to_string(q) + " rank " + std::to_string(j);
            ASSERT_EQ(r.distances.data[q * k + j], want[j].first) << where;
            ASSERT_EQ(r.ids.data[q * k + j], c.items.item_ids[want[j].second]) << where;
            ASSERT_EQ(r.metadata[q][j], c.items.metadata[want[j].second]) << where;
          }
        }
      }
    }
  }
}
