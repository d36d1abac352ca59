// The memory store's own rules and the store factory's dispatch, tags and failure reporting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stores/keystore_factory.h"
#include "stores/memory_keystore.h"
#include "stores/postgres_keystore.h"
#include "stores/redis_keystore.h"
#include "store_fixtures.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;

TEST(MemoryKeystore, KeepsNoConfigItems) {
  bs::MemoryKeystore store("idx", 5, bs::CONFIG);
  store.PushConfigItem("idx.oei", Bytes{1});
  EXPECT_FALSE(store.ConfigItemExists("idx.oei"));
  try {
    store.LoadConfigItem("idx.oei");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
  }
}

TEST(MemoryKeystore, FixedWidthReadsRefuseOtherWidths) {
  bs::MemoryKeystore store("idx", 5, bs::INDEX);
  store.PushItem(3, Bytes{1, 2, 3, 4});
  try {
    store.BatchGetItems({3});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Exception in BatchGetItems: Key 3 has unexpected value size: 4 (expected 8)");
  }
  store.SetValueSize(0);
  EXPECT_THROW(store.BatchGetItems({9}), std::runtime_error);
  // A deleted last item leaves an empty entry; a batch delete removes it. Both read as zeros.
  store.SetValueSize(8);
  store.DeleteItem(3);
  EXPECT_EQ(store.BatchGetItems({3}).data, Bytes(8, 0));
}

TEST(CreateKeystore, LocationCodes) {
  ostrik::DBConfig bad;
  bad.location = 3;
  try {
    bs::CreateKeystore(bad, "idx", 1, bs::INDEX);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid location for backing store");
  }
  ostrik::DBConfig none;  // NONE is refused through the uniform failure path
  try {
    bs::CreateKeystore(none, "idx", 1, bs::INDEX);
    FAIL();
  } catch (const std::invalid_argument&) {
    FAIL() << "NONE must be reported as a construction failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid location for backing store");
  }
  // A memory location never looks at the table or the connection.
  auto memory = bs::CreateKeystore(ostrik::DBConfig("memory", "no such; table", "nonsense"), "idx", 1, bs::INDEX);
  EXPECT_NE(dynamic_cast<bs::MemoryKeystore*>(memory.get()), nullptr);
}

TEST(CreateKeystore, TagsAreHashPlusKind) {
  const uint64_t ones = ~uint64_t{0};
  const struct {
    uint64_t hash;
    int32_t kind;
    uint64_t tag;
  } cases[] = {{100, bs::INDEX, 100}, {100, bs::CONFIG, 101}, {100, bs::ITEMS, 102}, {100, bs::DATA, 103},
               {ones, bs::CONFIG, 0},  {ones, bs::DATA, 2}};
  for (const auto& c : cases) {
    auto store = bs::CreateKeystore(ostrik::DBConfig("memory"), "idx", c.hash, c.kind);
    EXPECT_EQ(dynamic_cast<bs::MemoryKeystore&>(*store).hashed_index_name(), c.tag);
  }
}

TEST(CreateKeystore, ServerStoresAreTaggedTheSameWay) {
  DZ_REQUIRE_SERVER(pg, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
  DZ_REQUIRE_SERVER(redis, dz_test::RedisConnString, "DZ_REDIS_CONNSTR");
  const uint64_t ones = ~uint64_t{0};
  const std::string table = dz_test::FreshTableName("factory_items");
  auto pg_store = bs::CreateKeystore(dz_test::PostgresLocation(pg, table), "idx", ones, bs::INDEX);
  EXPECT_EQ(dynamic_cast<bs::PostgresKeystore&>(*pg_store).hashed_index_name(), INT64_MAX);
  auto redis_store = bs::CreateKeystore(dz_test::RedisLocation(redis, table), "idx", ones, bs::CONFIG);
  EXPECT_EQ(dynamic_cast<bs::RedisKeystore&>(*redis_store).hashed_index_name(), 0u);
  // The out-parameter form replaces the pointer only on success.
  std::unique_ptr<bs::Keystore> out = std::move(pg_store);
  EXPECT_THROW(bs::CreateKeystore(out, ostrik::DBConfig("redis", table, ""), "idx", 1, bs::INDEX), std::runtime_error);
  EXPECT_NE(out, nullptr);
}

}  // namespace
