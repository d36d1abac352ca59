// The search fed by a streamed fetch (FusedSearch over TokenIndex::StreamTokenItems) against the
// two passes it replaces (GetTokenItems, DropPlaceholders, SearchCandidates) on the same engine:
// every result field equal, distances bit for bit, over a table of shapes with the cache off and
// on (misses, then hits), 1 and 8 threads, dimensions with and without a tail of lanes, repeated
// tokens and positions, moved items, deleted positions, every metric, every include code, and
// top_k from 1 to beyond the candidates. Small integer coordinates make many distances tie.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/placeholders.h"
#include "kernels/candidate_search.h"
#include "kernels/fused_search.h"
#include "token_store/token_index.h"

namespace {

namespace ts = ostrik_encrypted_index::internal::token_store;
namespace kernels = ostrik_encrypted_index::internal::kernels;

constexpr int32_t kLists = 6;
constexpr uint64_t kItems = 400;

std::vector<float> SmallInts(std::mt19937& rng, uint64_t n) {
  std::uniform_int_distribution<int> value(-1, 2);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(value(rng));
  return v;
}

ts::TokenItemBatch Batch(std::mt19937& rng, const std::vector<uint64_t>& items, uint64_t dim, uint32_t shift) {
  ts::TokenItemBatch b;
  std::vector<uint8_t> rows;
  for (uint64_t i : items) {
    b.input_tokens.push_back(static_cast<uint32_t>((i * 5 + shift) % kLists));
    b.item_ids.push_back("id" + std::to_string((i * 7919) % 1009));
    const std::vector<float> v = SmallInts(rng, dim);
    const auto* bytes = reinterpret_cast<const uint8_t*>(v.data());
    rows.insert(rows.end(), bytes, bytes + dim * sizeof(float));
    // Equal and empty texts among them: the ties are broken by id first.
    b.metadata.push_back(i % 4 == 0 ? "" : "{\"m\": " + std::to_string(i % 3) + "}");
  }
  b.payloads = ostrik::ByteMatrix(std::move(rows), dim * sizeof(float));
  return b;
}

// An engine of kItems items over kLists lists; some added again under another list (their old
// positions stay), some deleted (their positions read as placeholders).
std::unique_ptr<ts::TokenIndex> Engine(uint64_t cache, int threads, uint64_t dim, std::mt19937& rng) {
  static int serial = 0;
  ostrik::IndexSetup s;
  s.index_name = "fused-" + std::to_string(++serial);
  for (int i = 0; i < 32; ++i) s.index_key[i] = static_cast<uint8_t>(0x51 + i);
  s.index_location = s.config_location = s.items_location = s.data_location = ostrik::DBConfig("memory");
  s.cpu_threads = threads;
  s.max_cache_size = cache;
  s.vocab_size = kLists;
  s.payload_size = dim * sizeof(float);
  auto engine = std::make_unique<ts::TokenIndex>(s, nullptr);
  std::vector<uint64_t> all(kItems);
  for (uint64_t i = 0; i < kItems; ++i) all[i] = i;
  engine->AddItems(Batch(rng, all, dim, 0));
  std::vector<uint64_t> moved;
  for (uint64_t i = 0; i < kItems; i += 9) moved.push_back(i);
  engine->AddItems(Batch(rng, moved, dim, 1));
  std::vector<std::string> deleted;
  for (uint64_t i = 4; i < kItems; i += 13) deleted.push_back("id" + std::to_string((i * 7919) % 1009));
  engine->DeleteItems(deleted);
  return engine;
}

// Queries of small integers (the first one all zeros: every cosine distance is 1), each probing
// two request positions; the last one names the same position twice.
struct Batchlet {
  ostrik::FloatMatrix queries;
  ostrik::ProbeSelection probes;
};

Batchlet Queries(std::mt19937& rng, uint64_t n, uint64_t dim, uint64_t positions) {
  Batchlet b;
  b.queries = {n, dim, SmallInts(rng, n * dim)};
  std::fill(b.queries.data.begin(), b.queries.data.begin() + static_cast<std::ptrdiff_t>(dim), 0.0f);
  b.probes.n_queries = n;
  b.probes.positions = {n, 2, std::vector<int32_t>(2 * n)};
  for (uint64_t q = 0; q < n; ++q) {
    b.probes.positions.data[2 * q] = static_cast<int32_t>(q % positions);
    b.probes.positions.data[2 * q + 1] =
        static_cast<int32_t>(q + 1 == n && n > 1 ? q % positions : (q + 1) % positions);
  }
  return b;
}

void ExpectSame(const ostrik::QueryResults& want, const ostrik::QueryResults& got, const std::string& what) {
  ASSERT_EQ(got.n_queries, want.n_queries) << what;
  ASSERT_EQ(got.top_k, want.top_k) << what;
  EXPECT_EQ(got.ids.data, want.ids.data) << what;
  ASSERT_EQ(got.distances.data.size(), want.distances.data.size()) << what;
  EXPECT_EQ(0, std::memcmp(got.distances.data.data(), want.distances.data.data(),
                           want.distances.data.size() * sizeof(float)))
      << what;
  EXPECT_EQ(got.result_counts, want.result_counts) << what;
  EXPECT_EQ(got.metadata, want.metadata) << what;
}

struct Shape {
  uint64_t cache;
  int threads;
  uint64_t dim;
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << "cache " << s.cache << ", threads " << s.threads << ", dim " << s.dim;
}

class FusedSearchTest : public testing::TestWithParam<Shape> {};

TEST_P(FusedSearchTest, GivesTheTwoPassAnswer) {
  const Shape shape = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(shape.dim * 131 + shape.cache * 7 + static_cast<uint64_t>(shape.threads)));
  auto engine = Engine(shape.cache, shape.threads, shape.dim, rng);
  const std::vector<std::vector<uint32_t>> requests = {{0, 3, 5, 1}, {2, 2, 4}, {1}};
  const std::vector<ostrik::DistanceMetric> metrics = {ostrik::Euclidean, ostrik::SquaredEuclidean, ostrik::Cosine};
  const std::vector<std::vector<int32_t>> includes = {{}, {0}, {1}, {0, 1}};
  for (const auto& tokens : requests) {
    for (uint64_t n : {uint64_t{1}, uint64_t{3}}) {
      const Batchlet b = Queries(rng, n, shape.dim, tokens.size());
      for (ostrik::DistanceMetric metric : metrics) {
        for (const auto& include : includes) {
          for (uint32_t top_k : {1u, 7u, 100000u}) {
            const std::string what = "cache " + std::to_string(shape.cache) + ", threads " +
                                     std::to_string(shape.threads) + ", dim " + std::to_string(shape.dim) +
                                     ", tokens " + std::to_string(tokens.size()) + ", queries " +
                                     std::to_string(n) + ", metric " + std::to_string(metric) + ", include " +
                                     std::to_string(include.size()) + ", top_k " + std::to_string(top_k);
            // Streamed first: with the cache on its lists are misses the first time round.
            kernels::FusedSearch fused(b.probes, b.queries, top_k, metric, include, shape.dim * sizeof(float));
            engine->StreamTokenItems(tokens, fused);
            ostrik::ItemRecords candidates = engine->GetTokenItems(tokens);
            ostrik::DropPlaceholders(candidates);
            const ostrik::FloatRowsView vectors{candidates.payloads.rows, shape.dim,
                                                reinterpret_cast<const float*>(candidates.payloads.data.data())};
            const ostrik::QueryResults want =
                kernels::SearchCandidatesView(candidates, vectors, b.probes, b.queries, top_k, metric, include);
            EXPECT_EQ(fused.candidates(), candidates.item_ids.size()) << what;
            ExpectSame(want, fused.results(), what);
            kernels::FusedSearch again(b.probes, b.queries, top_k, metric, include, shape.dim * sizeof(float));
            engine->StreamTokenItems(tokens, again);
            ExpectSame(want, again.results(), what + ", again");
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FusedSearchTest,
                         testing::Values(Shape{0, 1, 19}, Shape{0, 8, 19}, Shape{0, 1, 8}, Shape{0, 8, 8},
                                         Shape{16, 1, 19}, Shape{16, 8, 19}, Shape{16, 8, 8}),
                         [](const testing::TestParamInfo<Shape>& info) {
                           return "cache" + std::to_string(info.param.cache) + "_threads" +
                                  std::to_string(info.param.threads) + "_dim" + std::to_string(info.param.dim);
                         });

// Nothing to search: no candidates at all, or top_k 0, gives the empty answer of SearchCandidates.
TEST(FusedSearchEdges, EmptyAnswers) {
  std::mt19937 rng(3);
  auto engine = Engine(0, 1, 8, rng);
  const Batchlet b = Queries(rng, 2, 8, 1);
  kernels::FusedSearch none(b.probes, b.queries, 0, ostrik::Euclidean, {}, 8 * sizeof(float));
  engine->StreamTokenItems({0}, none);
  EXPECT_EQ(none.results().top_k, 0u);
  EXPECT_EQ(none.results().n_queries, 2u);
  EXPECT_EQ(none.results().result_counts, std::vector<int32_t>(2, 0));

  ostrik::IndexSetup s;
  s.index_name = "fused-empty";
  s.index_location = s.config_location = s.items_location = s.data_location = ostrik::DBConfig("memory");
  s.vocab_size = kLists;
  s.payload_size = 8 * sizeof(float);
  ts::TokenIndex empty(s, nullptr);
  kernels::FusedSearch nothing(b.probes, b.queries, 5, ostrik::Euclidean, {1}, 8 * sizeof(float));
  empty.StreamTokenItems({3}, nothing);
  EXPECT_EQ(nothing.candidates(), 0u);
  EXPECT_EQ(nothing.results().top_k, 0u);
  EXPECT_EQ(nothing.results().metadata, std::vector<std::vector<std::string>>(2));

  EXPECT_THROW(kernels::FusedSearch(b.probes, b.queries, 5, ostrik::Euclidean, {}, 7 * sizeof(float)),
               std::invalid_argument);
}

}  // namespace
