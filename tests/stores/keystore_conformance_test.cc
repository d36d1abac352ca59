// The Keystore contract, run against every store on its real server.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stores/keystore_factory.h"
#include "stores/redis_hash_reader.h"
#include "store_fixtures.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kAllOnes = ~uint64_t{0};

struct StoreCase {
  std::string name;
  // Empty for the memory store; otherwise the variable that names the server.
  std::string env;
  // The location of a store of the given kind (config stores get a config table).
  std::function<std::optional<ostrik::DBConfig>(int32_t kind)> location;
};

void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.name; }

std::vector<StoreCase> Cases() {
  // One table name per run keeps reruns against the same servers apart.
  static const std::string pg_table = dz_test::FreshTableName("conformance_items");
  static const std::string pg_config_table = dz_test::FreshTableName("conformance_config");
  static const std::string redis_table = dz_test::FreshTableName("conformance_config");
  return {
      {"Memory", "", [](int32_t) { return std::optional<ostrik::DBConfig>(ostrik::DBConfig("memory")); }},
      {"Postgres", "DZ_PG_CONNSTR",
       [](int32_t kind) {
         auto conn = dz_test::PostgresConnString();
         const std::string& table = kind == bs::CONFIG ? pg_config_table : pg_table;
         return conn ? std::optional(dz_test::PostgresLocation(*conn, table)) : std::nullopt;
       }},
      {"Redis", "DZ_REDIS_CONNSTR",
       [](int32_t) {
         auto conn = dz_test::RedisConnString();
         return conn ? std::optional(dz_test::RedisLocation(*conn, redis_table)) : std::nullopt;
       }},
      {"RedisTls", "DZ_REDIS_TLS_CONNSTR",
       [](int32_t) {
         auto conn = dz_test::RedisTlsConnString();
         return conn ? std::optional(dz_test::RedisLocation(*conn, redis_table)) : std::nullopt;
       }},
  };
}

class KeystoreConformance : public ::testing::TestWithParam<StoreCase> {
 protected:
  void SetUp() override {
    if (!GetParam().location(bs::INDEX)) {
      if (dz_test::RunningInCi()) GTEST_FAIL() << GetParam().env << " is not set: test server missing";
      GTEST_SKIP() << GetParam().env << " is not set: start the servers with scripts/test";
    }
  }

  std::unique_ptr<bs::Keystore> Make(uint64_t hash, int32_t kind = bs::INDEX, const std::string& name = "idx") {
    return bs::CreateKeystore(*GetParam().location(kind), name, hash, kind);
  }
};

TEST_P(KeystoreConformance, FreshStoreAnswersEmpty) {
  auto store = Make(dz_test::FreshHash());
  EXPECT_TRUE(store->GetItem(7).empty());
  EXPECT_EQ(store->BatchGetVariable({1, 2}), (std::vector<Bytes>{{}, {}}));
  const ostrik::ByteMatrix m = store->BatchGetItems({1, 2});
  EXPECT_EQ(m.rows, 2u);
  EXPECT_EQ(m.cols, 8u);
  EXPECT_EQ(m.data, Bytes(16, 0));
  EXPECT_EQ(store->NumItems(), 0u);
}

TEST_P(KeystoreConformance, PushGetAndOverwrite) {
  auto store = Make(dz_test::FreshHash());
  store->PushItem(kAllOnes, Bytes{1, 2, 3});
  store->PushItem(5, Bytes{9});
  store->PushItem(5, Bytes{10, 11});
  EXPECT_EQ(store->GetItem(kAllOnes), (Bytes{1, 2, 3}));
  EXPECT_EQ(store->GetItem(5), (Bytes{10, 11}));
  EXPECT_EQ(store->NumItems(), 2u);

  // An empty value is stored, and reads back like an absent key.
  store->PushItem(6, Bytes{});
  EXPECT_TRUE(store->GetItem(6).empty());
  EXPECT_EQ(store->NumItems(), 3u);
}

// Both push forms: the copying one and the one that takes the caller's buffers.
TEST_P(KeystoreConformance, BatchVariableWidthsDuplicatesAndAbsentKeys) {
  for (const bool take : {false, true}) {
    SCOPED_TRACE(take ? "taking push" : "copying push");
    auto store = Make(dz_test::FreshHash());
    auto push = [&](const std::vector<uint64_t>& keys, std::vector<Bytes> values) {
      if (take) {
        store->BatchTakeVariable(keys, std::move(values));
      } else {
        store->BatchPushVariable(keys, values);
      }
    };
    Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    Bytes with_zeros = {0, 0, 5, 0};
    Bytes longer(17, 3);  // just past what the memory store keeps inline
    push({1, 2, 3, kAllOnes, 6}, {Bytes{42}, big, with_zeros, Bytes{8, 8}, longer});
    EXPECT_EQ(store->BatchGetVariable({3, 99, 1, 3, kAllOnes, 2, 6}),
              (std::vector<Bytes>{with_zeros, {}, Bytes{42}, with_zeros, Bytes{8, 8}, big, longer}));

    // Later values of a repeated key win; an empty value leaves what the key held.
    push({1, 1, 2, 4, 6}, {Bytes{1}, Bytes{2}, Bytes{}, Bytes{}, Bytes{6}});
    EXPECT_EQ(store->BatchGetVariable({1, 2, 4, 6}), (std::vector<Bytes>{Bytes{2}, big, {}, Bytes{6}}));
    EXPECT_EQ(store->NumItems(), 5u);

    // All values empty: nothing is written.
    push({50, 51}, {Bytes{}, Bytes{}});
    EXPECT_EQ(store->NumItems(), 5u);
  }
}

// The view read answers what BatchGetVariable answers, into one reused record.
TEST_P(KeystoreConformance, ViewReadMatchesBatchGetVariable) {
  auto store = Make(dz_test::FreshHash());
  bs::ValueViews views;
  auto expect_same = [&](const std::vector<uint64_t>& keys, const std::string& step) {
    SCOPED_TRACE(step);
    store->BatchGetViews(keys, views);
    const std::vector<Bytes> expected = store->BatchGetVariable(keys);
    ASSERT_EQ(views.values.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(Bytes(views.values[i].begin(), views.values[i].end()), expected[i]) << "key " << keys[i];
    }
  };
  expect_same({1, 2}, "fresh store");
  Bytes big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  store->BatchPushVariable({1, 2, 3, kAllOnes}, {Bytes{42}, big, Bytes{0, 0, 5, 0}, Bytes{8, 8}});
  expect_same({3, 99, 1, 3, kAllOnes, 2}, "absent and repeated keys");
  expect_same({}, "no keys");
  expect_same({99}, "one absent key");

  // Enough keys for the memory store to split its lookups over the team.
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t k = 0; k < 3000; ++k) {
    keys.push_back(1000 + k);
    values.push_back(Bytes(k % 50 + 1, static_cast<uint8_t>(k)));
  }
  store->BatchPushVariable(keys, values);
  keys.push_back(5);
  keys.push_back(2);
  expect_same(keys, "many keys");
}

// Batch reads of every size around the boundaries of a server store's read: a chunk of one
// command's keys, a batch of commands (Redis), the first batch and the largest, rounds of batches;
// values absent, empty, small and large enough to fill a batch alone; keys repeated and out of
// order. One ValueViews is reused throughout, its buffer growing and shrinking between reads.
TEST_P(KeystoreConformance, BatchReadsAcrossChunkBoundaries) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(hash, bs::DATA);
  auto fixed = Make(hash, bs::INDEX);  // fixed-width rows, as the index store's entries
  const size_t chunk = bs::kHashReadChunk;
  const size_t largest_batch = 64 * chunk;
  auto value_of = [](uint64_t k) {
    if (k % 7 == 3) return Bytes{};                           // never stored
    const size_t n = k % 211 == 0 ? 300000 : k % 53 + 1;       // now and then a batch's worth
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(k * 31 + i);
    return v;
  };
  const uint64_t stored = 2 * largest_batch + 3 * chunk;
  std::vector<uint64_t> all;
  std::vector<Bytes> values;
  for (uint64_t k = 1; k <= stored; ++k) {
    all.push_back(k);
    values.push_back(value_of(k));
  }
  store->BatchPushVariable(all, values);
  store->PushItem(7 * 11 + 3, Bytes{});  // stored, but empty: reads as absent
  std::vector<uint64_t> entry_keys;
  Bytes entries;
  for (uint64_t k = 1; k <= stored; ++k) {
    if (values[k - 1].empty()) continue;
    entry_keys.push_back(k);
    for (int b = 0; b < 8; ++b) entries.push_back(static_cast<uint8_t>(k >> (8 * b)));
  }
  fixed->BatchPushItems(entry_keys, ostrik::ByteMatrix(std::move(entries), 8));

  bs::ValueViews views;
  const size_t sizes[] = {1, chunk - 1, chunk, chunk + 1, 2 * chunk + 1, largest_batch - 1, largest_batch,
                          largest_batch + 1, 2 * largest_batch + chunk + 5, 3, stored + 40};
  for (const size_t n : sizes) {
    SCOPED_TRACE("keys: " + std::to_string(n));
    std::vector<uint64_t> keys;
    for (size_t i = 0; i < n; ++i) keys.push_back(1 + (i * 7919 + n) % (stored + 50));  // some past the stored ones
    if (n > 2) keys[n / 2] = keys[0];
    store->BatchGetViews(keys, views);
    ASSERT_EQ(views.values.size(), n);
    const std::vector<Bytes> copies = store->BatchGetVariable(keys);
    ASSERT_EQ(copies.size(), n);
    const ostrik::ByteMatrix rows = fixed->BatchGetItems(keys);
    ASSERT_EQ(rows.rows, n);
    for (size_t i = 0; i < n; ++i) {
      const Bytes expected = keys[i] <= stored ? value_of(keys[i]) : Bytes{};
      ASSERT_EQ(Bytes(views.values[i].begin(), views.values[i].end()), expected) << "key " << keys[i];
      ASSERT_EQ(copies[i], expected) << "key " << keys[i];
      Bytes row(8, 0);
      for (int b = 0; b < 8 && !expected.empty(); ++b) row[b] = static_cast<uint8_t>(keys[i] >> (8 * b));
      ASSERT_EQ(Bytes(rows.row(i), rows.row(i) + 8), row) << "key " << keys[i];
    }
  }
}

TEST_P(KeystoreConformance, FixedWidthRows) {
  auto store = Make(dz_test::FreshHash());
  std::vector<uint64_t> keys = {10, 11, 12};
  Bytes data(24);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  store->BatchPushItems(keys, ostrik::ByteMatrix(Bytes(data), 8));
  const ostrik::ByteMatrix m = store->BatchGetItems({12, 13, 10, 12});
  ASSERT_EQ(m.rows, 4u);
  ASSERT_EQ(m.cols, 8u);
  Bytes expected;
  expected.insert(expected.end(), data.begin() + 16, data.end());
  expected.insert(expected.end(), 8, 0);
  expected.insert(expected.end(), data.begin(), data.begin() + 8);
  expected.insert(expected.end(), data.begin() + 16, data.end());
  EXPECT_EQ(m.data, expected);

  store->SetValueSize(16);
  const ostrik::ByteMatrix wide = store->BatchGetItems({99});
  EXPECT_EQ(wide.rows, 1u);
  EXPECT_EQ(wide.cols, 16u);
  EXPECT_EQ(wide.data, Bytes(16, 0));

  const ostrik::ByteMatrix none = store->BatchGetItems({});
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 0u);
}

TEST_P(KeystoreConformance, RefusedBatchesChangeNothing) {
  auto store = Make(dz_test::FreshHash());
  store->PushItem(1, Bytes{7});
  EXPECT_THROW(store->BatchPushVariable({}, {}), std::invalid_argument);
  EXPECT_THROW(store->BatchPushItems({}, ostrik::ByteMatrix()), std::invalid_argument);
  EXPECT_ANY_THROW(store->BatchPushVariable({1, 2, 3}, {Bytes{1}, Bytes{2}}));
  EXPECT_THROW(store->BatchTakeVariable({}, {}), std::invalid_argument);
  EXPECT_ANY_THROW(store->BatchTakeVariable({1, 2, 3}, {Bytes{1}, Bytes{2}}));
  EXPECT_THROW(store->BatchPushItems({1, 2, 3}, ostrik::ByteMatrix(Bytes(16), 8)), std::invalid_argument);
  try {
    store->BatchPushItems({1, 2}, ostrik::ByteMatrix(Bytes(32), 16));
    FAIL() << "a row width other than the value size was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Amount of data must be divisible by the size of each value");
  }
  EXPECT_EQ(store->GetItem(1), Bytes{7});
  EXPECT_EQ(store->NumItems(), 1u);
}

TEST_P(KeystoreConformance, Deletes) {
  auto store = Make(dz_test::FreshHash());
  store->BatchPushVariable({1, 2, 3, 4}, {Bytes{1}, Bytes{2}, Bytes{3}, Bytes{4}});
  store->DeleteItem(2);
  store->DeleteItem(77);  // absent: no error
  store->BatchDeleteItems({3, 3, 88});
  store->BatchDeleteItems({});
  EXPECT_EQ(store->BatchGetVariable({1, 2, 3, 4}), (std::vector<Bytes>{Bytes{1}, {}, {}, Bytes{4}}));
  EXPECT_EQ(store->NumItems(), 2u);
  store->DeleteIndex();
  EXPECT_EQ(store->NumItems(), 0u);
  EXPECT_TRUE(store->GetItem(1).empty());
  store->DeleteIndex();  // nothing left: still no error
}

// Two indexes on one location, and the four stores of one index, write under the same keys
// (every index keeps its token counts under the all-ones key) without touching each other.
TEST_P(KeystoreConformance, StoresOnOneLocationStayApart) {
  const uint64_t h1 = dz_test::FreshHash();
  const uint64_t h2 = dz_test::FreshHash();
  auto a = Make(h1, bs::INDEX);
  auto a_data = Make(h1, bs::DATA);
  auto b = Make(h2, bs::INDEX);
  a->PushItem(kAllOnes, Bytes{0xa});
  a_data->BatchPushVariable({kAllOnes, 5}, {Bytes{0xd}, Bytes{0xd, 5}});
  b->BatchPushVariable({kAllOnes, 5}, {Bytes{0xb}, Bytes{0xb, 5}});

  EXPECT_EQ(a->GetItem(kAllOnes), Bytes{0xa});
  EXPECT_EQ(a_data->GetItem(kAllOnes), Bytes{0xd});
  EXPECT_EQ(b->GetItem(kAllOnes), Bytes{0xb});
  EXPECT_TRUE(a->GetItem(5).empty());
  EXPECT_EQ(a->NumItems(), 1u);
  EXPECT_EQ(a_data->NumItems(), 2u);

  b->BatchDeleteItems({5});
  a->DeleteItem(kAllOnes);
  EXPECT_EQ(a_data->BatchGetVariable({kAllOnes, 5}), (std::vector<Bytes>{Bytes{0xd}, Bytes{0xd, 5}}));
  EXPECT_EQ(b->GetItem(kAllOnes), Bytes{0xb});

  a_data->DeleteIndex();
  EXPECT_EQ(a_data->NumItems(), 0u);
  EXPECT_EQ(b->GetItem(kAllOnes), Bytes{0xb});
  EXPECT_EQ(b->NumItems(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllStores, KeystoreConformance, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// Config items on the stores that keep them (the memory store keeps none: memory_keystore_test).
class ConfigItemConformance : public KeystoreConformance {};

TEST_P(ConfigItemConformance, PushLoadExistsAndDeleteIndex) {
  const std::string index = dz_test::FreshTableName("cfg");
  auto config = Make(dz_test::FreshHash(), bs::CONFIG, index);
  // An index whose name begins with this one's keeps its items when this one is deleted.
  auto longer = Make(dz_test::FreshHash(), bs::CONFIG, index + "x");

  EXPECT_FALSE(config->ConfigItemExists(index + ".oei"));
  config->PushConfigItem(index + ".oei", Bytes{1, 0, 2});
  config->PushConfigItem(index + ".ovs", Bytes{});
  config->PushConfigItem(index + ".oei", Bytes{3, 0, 4});
  longer->PushConfigItem(index + "x.oei", Bytes{5});
  EXPECT_TRUE(config->ConfigItemExists(index + ".oei"));
  EXPECT_EQ(config->LoadConfigItem(index + ".oei"), (Bytes{3, 0, 4}));
  EXPECT_TRUE(config->LoadConfigItem(index + ".ovs").empty());
  // Config items are not item values.
  EXPECT_EQ(config->NumItems(), 0u);

  try {
    config->LoadConfigItem("abc.ovs");
    FAIL() << "a missing config item loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Index name 'abc' does not exist in "), std::string::npos) << e.what();
  }

  config->DeleteIndex();
  EXPECT_FALSE(config->ConfigItemExists(index + ".oei"));
  EXPECT_FALSE(config->ConfigItemExists(index + ".ovs"));
  EXPECT_EQ(longer->LoadConfigItem(index + "x.oei"), Bytes{5});
  config->DeleteIndex();  // nothing left: no error
}

std::vector<StoreCase> ServerCases() {
  std::vector<StoreCase> cases = Cases();
  cases.erase(cases.begin());
  return cases;
}

INSTANTIATE_TEST_SUITE_P(ServerStores, ConfigItemConformance, ::testing::ValuesIn(ServerCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
