// Shared set-up of the index suites: one fixture parameterised over the store kinds (memory,
// PostgreSQL, Redis on the throwaway test servers), a clustered data set with metadata and
// contents, and a brute-force reference search.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "index/client.h"
#include "index/encrypted_index.h"
#include "support/faulty_keystore.h"
#include "support/store_backends.h"
#include "support/test_servers.h"
#include "token_store/token_index.h"

namespace ostrik {
// Reaches the engine of an index, for tests that inspect or fault its stores.
struct EncryptedIndexTestAccess {
  static ostrik_encrypted_index::internal::token_store::TokenIndex& Engine(EncryptedIndex& index) {
    return *index.token_index_;
  }
  static bool Connected(const EncryptedIndex& index) { return index.token_index_ != nullptr; }
  static const Quantizers& Centroids(const EncryptedIndex& index) { return *index.quantizers_; }
};
}  // namespace ostrik

namespace index_test {

using ostrik::Bytes;
using ostrik::EncryptedIndexTestAccess;
using ostrik::FloatMatrix;

using dz_test::Backend;
using dz_test::BackendName;

inline ostrik::IndexKey Key(uint8_t seed = 0x40) {
  ostrik::IndexKey key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(seed + i);
  return key;
}

// n items of dimension d around `clusters` well-separated centres; metadata names the cluster,
// a tag and the item number; every third item has contents.
struct Dataset {
  FloatMatrix vectors;
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  std::vector<Bytes> contents;
  std::vector<int> cluster;

  FloatMatrix Rows(const std::vector<size_t>& which) const {
    FloatMatrix m{which.size(), vectors.cols, {}};
    for (size_t i : which) m.data.insert(m.data.end(), vectors.row(i), vectors.row(i) + vectors.cols);
    return m;
  }
};

inline Dataset Clustered(size_t n, size_t d, int clusters, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::uniform_real_distribution<float> centre(-10.0f, 10.0f);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(d));
  for (auto& c : centres) {
    for (float& x : c) x = centre(rng);
  }
  Dataset ds;
  ds.vectors = FloatMatrix{n, d, std::vector<float>(n * d)};
  for (size_t i = 0; i < n; ++i) {
    const int c = static_cast<int>(i % clusters);
    ds.cluster.push_back(c);
    for (size_t j = 0; j < d; ++j) ds.vectors.data[i * d + j] = centres[c][j] + noise(rng);
    ds.ids.push_back("item-" + std::to_string(i));
    ds.metadata.push_back("{\"cluster\":" + std::to_string(c) + ",\"n\":" + std::to_string(i) + ",\"tag\":\"" +
                          (i % 2 ? "odd" : "even") + "\"}");
    const std::string contents = i % 3 == 0 ? "contents of " + ds.ids.back() : "";
    ds.contents.emplace_back(contents.begin(), contents.end());
  }
  return ds;
}

// A training of three rounds over every item: enough to move items between lists.
inline ostrik::TrainParams QuickTraining() {
  ostrik::TrainParams p;
  p.max_iters = 3;
  p.batch_size = 0;
  return p;
}

struct Hit {
  std::string id;
  float distance;
};

inline float Distance(const float* a, const float* b, size_t d, ostrik::DistanceMetric metric) {
  float sum = 0, dot = 0, na = 0, nb = 0;
  for (size_t j = 0; j < d; ++j) {
    const float diff = a[j] - b[j];
    sum += diff * diff;
    dot += a[j] * b[j];
    na += a[j] * a[j];
    nb += b[j] * b[j];
  }
  switch (metric) {
    case ostrik::Euclidean:
      return std::sqrt(sum);
    case ostrik::SquaredEuclidean:
      return sum;
    case ostrik::Cosine:
      return na * nb == 0 ? 1.0f : 1.0f - dot / (std::sqrt(na) * std::sqrt(nb));
  }
  return 0;
}

// The k nearest of the candidate rows (by distance, then id).
inline std::vector<Hit> BruteForce(const Dataset& ds, const std::vector<size_t>& candidates, const float* query,
                                   size_t k, ostrik::DistanceMetric metric) {
  std::vector<Hit> all;
  for (size_t i : candidates)
    all.push_back(Hit{ds.ids[i], Distance(query, ds.vectors.row(i), ds.vectors.cols, metric)});
  std::sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.id < b.id;
  });
  if (all.size() > k) all.resize(k);
  return all;
}

// The results of query q, as hits.
inline std::vector<Hit> Row(const ostrik::QueryResults& r, size_t q) {
  std::vector<Hit> out;
  for (int32_t j = 0; j < r.result_counts[q]; ++j) {
    out.push_back(Hit{r.ids.data[q * r.ids.cols + j], r.distances.data[q * r.distances.cols + j]});
  }
  return out;
}

inline void ExpectSameHits(const std::vector<Hit>& got, const std::vector<Hit>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t j = 0; j < got.size(); ++j) {
    EXPECT_EQ(got[j].id, want[j].id) << "rank " << j;
    EXPECT_NEAR(got[j].distance, want[j].distance, 1e-3f * std::max(1.0f, std::fabs(want[j].distance))) << "rank " << j;
  }
}

// The four store slots of an engine, for sweeps that fault each store in turn.
struct StoreSlot {
  const char* name;
  dz_test::FaultyKeystore* (*wrap)(ostrik_encrypted_index::internal::token_store::TokenIndex&);
};

inline std::vector<StoreSlot> StoreSlots() {
  using dz_test::FaultyKeystore;
  using ostrik_encrypted_index::internal::token_store::TokenIndex;
  return {
      {"index", [](TokenIndex& e) { return FaultyKeystore::Wrap(e.index_store_); }},
      {"data", [](TokenIndex& e) { return FaultyKeystore::Wrap(e.data_store_); }},
      {"config", [](TokenIndex& e) { return FaultyKeystore::Wrap(e.config_store_); }},
      {"items", [](TokenIndex& e) { return FaultyKeystore::Wrap(e.items_store_); }},
  };
}

// The index, config and items locations the index suites use on each kind of store.
struct TestLocations {
  ostrik::DBConfig index, config, items;
};

inline TestLocations LocationsFor(Backend backend, const std::string& conn) {
  switch (backend) {
    case Backend::Postgres:
      return {ostrik::DBConfig("postgres", "dz_index_items", conn),
              ostrik::DBConfig("postgres", "dz_index_config", conn),
              ostrik::DBConfig("postgres", "dz_index_contents", conn)};
    case Backend::Redis:
      return {ostrik::DBConfig("redis", "dz_index", conn), ostrik::DBConfig("redis", "dz_index", conn),
              ostrik::DBConfig("redis", "dz_index", conn)};
    case Backend::Memory:
      break;
  }
  return {ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), ostrik::DBConfig("memory")};
}

class IndexTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string conn;
    switch (GetParam()) {
      case Backend::Memory:
        break;
      case Backend::Postgres: {
        DZ_REQUIRE_SERVER(pg, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
        conn = pg;
        break;
      }
      case Backend::Redis: {
        DZ_REQUIRE_SERVER(redis, dz_test::RedisConnString, "DZ_REDIS_CONNSTR");
        conn = redis;
        break;
      }
    }
    const TestLocations l = LocationsFor(GetParam(), conn);
    index_ = l.index;
    config_ = l.config;
    items_ = l.items;
  }

  void TearDown() override {
    // Persistent stores outlive the test: remove what the indexes left there.
    for (auto& index : created_) {
      if (index && EncryptedIndexTestAccess::Connected(*index)) {
        try {
          index->DeleteIndex();
        } catch (const std::exception& e) {
          ADD_FAILURE() << "cleanup: " << e.what();
        }
      }
    }
  }

  bool persistent() const { return GetParam() != Backend::Memory; }

  ostrik::Client MakeClient(int32_t threads = 0, bool gpu = false) const {
    return ostrik::Client(index_, config_, items_, threads, gpu);
  }

  std::string UniqueName(const std::string& tag = "") const { return dz_test::UniqueTestName("ix_", tag); }

  // Creates an index that TearDown deletes; the returned pointer stays owned by the fixture.
  ostrik::EncryptedIndex& Create(const std::string& name, const ostrik::IndexConfig& config,
                                 std::optional<uint64_t> cache = 0, int32_t threads = 0) {
    created_.push_back(MakeClient(threads).CreateIndex(name, Key(), config, cache, nullptr));
    return *created_.back();
  }
  // Takes over an index for cleanup.
  ostrik::EncryptedIndex& Keep(std::unique_ptr<ostrik::EncryptedIndex> index) {
    created_.push_back(std::move(index));
    return *created_.back();
  }

  ostrik::DBConfig index_, config_, items_;
  std::vector<std::unique_ptr<ostrik::EncryptedIndex>> created_;
};

}  // namespace index_test
