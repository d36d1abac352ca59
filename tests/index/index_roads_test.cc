// The roads of a request end to end on every store: create, upsert, get, exhaustive and IVF
// queries (with probes, greedy widening and filters) against brute force, training, delete,
// re-upsert, reloading, deleting the index.
#include <gtest/gtest.h>

#include <set>

#include "filters/filter_language.h"
#include "filters/filter_match.h"
#include "index_fixture.h"
#include "kernels/encoding.h"
#include "kernels/probe_selection.h"

namespace index_test {
namespace {

namespace kernels = ostrik_encrypted_index::internal::kernels;
namespace filters = ostrik_encrypted_index::internal::filters;

constexpr size_t kDim = 8;
constexpr int kLists = 4;

std::vector<size_t> All(size_t n) {
  std::vector<size_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

std::vector<size_t> Matching(const Dataset& ds, const std::vector<size_t>& rows, const std::string& filter) {
  const nlohmann::json parsed = filters::ParseFilters(filter);
  std::vector<size_t> out;
  for (size_t i : rows) {
    if (filters::MatchesFilter(parsed, nlohmann::json::parse(ds.metadata[i]))) out.push_back(i);
  }
  return out;
}

ostrik::QueryParams Params(uint64_t top_k, uint64_t n_probes = 1, bool greedy = false, std::string filter = "") {
  ostrik::QueryParams p;
  p.top_k = top_k;
  p.n_probes = n_probes;
  p.greedy = greedy;
  p.filters = std::move(filter);
  p.include = {static_cast<int32_t>(ostrik::QueryInclude::METADATA)};
  return p;
}

using IndexRoads = IndexTest;

TEST_P(IndexRoads, UpsertGetQueryTrainDeleteReload) {
  const Dataset ds = Clustered(240, kDim, kLists);
  const std::string name = UniqueName();
  const ostrik::IndexIVFFlat config(kDim, kLists, "euclidean");
  ostrik::EncryptedIndex& index = Create(name, config, 2);
  EXPECT_EQ(index.index_name(), name);
  EXPECT_FALSE(index.is_trained());

  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);

  // Get: every field, in the order asked, unknown ids left out, repeated ids repeated.
  const auto got = index.Get({"item-3", "missing", "item-4", "item-3"}, {});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].id, "item-3");
  EXPECT_EQ(got[1].id, "item-4");
  EXPECT_EQ(got[2].id, "item-3");
  EXPECT_EQ(got[0].vector, std::vector<float>(ds.vectors.row(3), ds.vectors.row(3) + kDim));
  EXPECT_EQ(got[0].metadata, ds.metadata[3]);
  EXPECT_EQ(std::string(got[0].contents.begin(), got[0].contents.end()), "contents of item-3");
  EXPECT_TRUE(got[1].contents.empty());
  const auto only_metadata = index.Get({"item-5"}, {static_cast<int32_t>(ostrik::GetInclude::METADATA)});
  ASSERT_EQ(only_metadata.size(), 1u);
  EXPECT_TRUE(only_metadata[0].vector.empty());
  EXPECT_EQ(only_metadata[0].metadata, ds.metadata[5]);

  // Untrained: exhaustive and exact, with and without a filter.
  const std::vector<size_t> query_rows = {0, 1, 2, 3, 7};
  const FloatMatrix queries = ds.Rows(query_rows);
  const std::string filter = R"({"$and": [{"tag": "odd"}, {"n": {"$lt": 200}}]})";
  for (const std::string& f : {std::string(), filter}) {
    SCOPED_TRACE("filter " + f);
    const ostrik::QueryResults r = index.Query(queries, Params(10, 1, false, f));
    const std::vector<size_t> pool = f.empty() ? All(ds.ids.size()) : Matching(ds, All(ds.ids.size()), f);
    for (size_t q = 0; q < query_rows.size(); ++q) {
      ExpectSameHits(Row(r, q), BruteForce(ds, pool, queries.row(q), 10, ostrik::Euclidean));
    }
  }

  ostrik::TrainParams train;
  train.max_iters = 10;
  train.batch_size = 0;
  index.TrainIndex(train);
  EXPECT_TRUE(index.is_trained());
  const auto& coarse = EncryptedIndexTestAccess::Centroids(index).coarse;
  ASSERT_EQ(coarse.size(), 1u);
  EXPECT_EQ(coarse[0].rows, static_cast<uint64_t>(kLists));
  EXPECT_EQ(coarse[0].cols, kDim);

  // Trained: each query's results are the brute force over the lists it probes. With a filter the
  // probes are chosen among the lists that hold a match (the summaries here tell them exactly).
  const ostrik::CodeMatrix lists = kernels::EncodeVectors(ds.vectors, coarse, ostrik::Euclidean);
  for (bool greedy : {false, true}) {
    for (uint64_t probes : {1, 2, 9}) {
      for (const std::string& f : {std::string(), filter}) {
        SCOPED_TRACE("probes " + std::to_string(probes) + " greedy " + std::to_string(greedy) + " filter " + f);
        std::vector<uint32_t> kept;
        for (uint32_t l = 0; l < kLists; ++l) {
          for (size_t i : f.empty() ? All(ds.ids.size()) : Matching(ds, All(ds.ids.size()), f)) {
            if (lists.codes[i] == l) {
              kept.push_back(l);
              break;
            }
          }
        }
        ostrik::QuantizerMatrix reduced = coarse[0];
        reduced.data.clear();
        for (uint32_t l : kept) reduced.data.insert(reduced.data.end(), coarse[0].data.begin() + l * kDim,
                                                    coarse[0].data.begin() + (l + 1) * kDim);
        reduced.rows = kept.size();
        reduced.count = static_cast<int32_t>(kept.size());
        const ostrik::QueryResults r = index.Query(queries, Params(7, probes, greedy, f));
        const ostrik::ProbeSelection sel =
            kernels::SelectProbes(queries, {reduced}, probes, ostrik::Euclidean, greedy ? 1.0f : 0.0f);
        for (size_t q = 0; q < query_rows.size(); ++q) {
          std::set<uint32_t> probed;
          for (uint64_t c = 0; c < sel.positions.cols; ++c) {
            probed.insert(kept[sel.probed_ids[sel.positions.data[q * sel.positions.cols + c]]]);
          }
          std::vector<size_t> pool;
          for (size_t i = 0; i < ds.ids.size(); ++i) {
            if (probed.count(lists.codes[i])) pool.push_back(i);
          }
          if (!f.empty()) pool = Matching(ds, pool, f);
          ExpectSameHits(Row(r, q), BruteForce(ds, pool, queries.row(q), 7, ostrik::Euclidean));
        }
      }
    }
  }

  // Training moved nothing out of reach: contents and metadata come back as stored.
  const auto after = index.Get({"item-3"}, {});
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(std::string(after[0].contents.begin(), after[0].contents.end()), "contents of item-3");
  EXPECT_EQ(after[0].metadata, ds.metadata[3]);

  // Deleted items are gone from get and from every query; a re-upserted one comes back.
  index.Delete({"item-0", "item-4", "never-stored"});
  EXPECT_TRUE(index.Get({"item-0", "item-4"}, {}).empty());
  const ostrik::QueryResults r = index.Query(queries, Params(300, 9));
  for (size_t q = 0; q < query_rows.size(); ++q) {
    EXPECT_EQ(r.result_counts[q], static_cast<int32_t>(ds.ids.size() - 2));
    for (const Hit& h : Row(r, q)) {
      EXPECT_NE(h.id, "");
      EXPECT_NE(h.id, "item-0");
      EXPECT_NE(h.id, "item-4");
    }
  }
  index.Upsert(ds.Rows({0}), {"item-0"}, {}, {ds.metadata[0]});
  ASSERT_EQ(index.Get({"item-0"}, {}).size(), 1u);
  EXPECT_EQ(Row(index.Query(ds.Rows({0}), Params(1, 1)), 0)[0].id, "item-0");

  if (persistent()) {
    // Reopened after the first object is gone: same state, same answers.
    const ostrik::QueryResults before = index.Query(queries, Params(5, 2, false, filter));
    created_.clear();  // destroys the index object (its engine saves the counts)
    ostrik::EncryptedIndex& loaded = Keep(MakeClient().LoadIndex(name, Key(), 0, nullptr));
    EXPECT_TRUE(loaded.is_trained());
    EXPECT_EQ(loaded.index_name(), name);
    const ostrik::QueryResults again = loaded.Query(queries, Params(5, 2, false, filter));
    for (size_t q = 0; q < query_rows.size(); ++q) ExpectSameHits(Row(again, q), Row(before, q));
    EXPECT_EQ(loaded.Get({"item-3"}, {}).size(), 1u);
  }

  ostrik::EncryptedIndex& last = *created_.back();
  last.DeleteIndex();
  EXPECT_FALSE(last.is_trained());
  EXPECT_EQ(last.index_name(), "");
  EXPECT_THROW(last.Query(queries, Params(5)), std::runtime_error);
  if (persistent()) {
    EXPECT_THROW(MakeClient().LoadIndex(name, Key(), 0, nullptr), std::runtime_error);
  }
}

TEST_P(IndexRoads, CosineAndSquaredEuclideanAreExact) {
  const Dataset ds = Clustered(90, kDim, 3, 11);
  for (const char* metric : {"cosine", "squared_euclidean"}) {
    SCOPED_TRACE(metric);
    ostrik::EncryptedIndex& index = Create(UniqueName(metric), ostrik::IndexIVFFlat(kDim, 3, metric));
    index.Upsert(ds.vectors, ds.ids, {}, ds.metadata);
    const auto m = static_cast<ostrik::DistanceMetric>(ostrik::ParseDistanceMetric(metric));
    const FloatMatrix queries = ds.Rows({5, 50});
    const ostrik::QueryResults r = index.Query(queries, Params(6));
    for (size_t q = 0; q < 2; ++q) ExpectSameHits(Row(r, q), BruteForce(ds, All(90), queries.row(q), 6, m));
    ostrik::TrainParams train;
    train.max_iters = 5;
    index.TrainIndex(train);
    const ostrik::QueryResults all = index.Query(queries, Params(6, 3));
    for (size_t q = 0; q < 2; ++q) ExpectSameHits(Row(all, q), BruteForce(ds, All(90), queries.row(q), 6, m));
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexRoads, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);

// A training too large to encode between two renewals of the writer lock encodes in slices: each
// item still joins the list of its nearest centroid, so a query probing one list finds it.
TEST(LargeTraining, EveryItemJoinsItsNearestList) {
  const size_t n = (size_t{1} << 17) + 777;
  const Dataset ds = Clustered(n, 2, 8, 21);
  const ostrik::DBConfig memory("memory");
  auto index = ostrik::Client(memory, memory, memory, 0, false)
                   .CreateIndex("large", Key(), ostrik::IndexIVFFlat(2, 8), 0, nullptr);
  index->Upsert(ds.vectors, ds.ids, {}, {});
  ostrik::TrainParams train;
  train.max_iters = 5;
  index->TrainIndex(train);
  std::vector<size_t> sample;
  for (size_t i = 0; i < n; i += 4099) sample.push_back(i);
  sample.push_back(n - 1);
  const ostrik::QueryResults r = index->Query(ds.Rows(sample), Params(1, 1));
  for (size_t q = 0; q < sample.size(); ++q) {
    const auto hits = Row(r, q);
    ASSERT_FALSE(hits.empty()) << "item " << sample[q];
    EXPECT_NEAR(hits[0].distance, 0.0f, 1e-6f) << "item " << sample[q] << " is not in its nearest list";
  }
}

}  // namespace
}  // namespace index_test
