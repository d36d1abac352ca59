// The stores of one index that name one server and database share one connection: one
// PostgreSQL backend (the URI and keyword forms of one target included) and one Redis client;
// another database gets its own; statements of stores on different tables never meet on the
// shared connection; the connection closes with its last store.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server_faults.h"
#include "stores/keystore_factory.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;

std::vector<uint64_t> Keys(size_t n, uint64_t base) {
  std::vector<uint64_t> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = base + i;
  return keys;
}

TEST(ConnectionSharing, OnePostgresBackendPerServerAndDatabase) {
  DZ_REQUIRE_SERVER(pg, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
  DZ_REQUIRE_SERVER(port, [] { return dz_test::EnvVar("DZ_PG_PORT"); }, "DZ_PG_PORT");
  const std::string app = dz_test::UniqueTestName("dz_sh_");
  const std::string keywords = pg + " application_name=" + app;
  const std::string uri = "postgresql://postgres@127.0.0.1:" + port +
                          "/postgres?application_name=" + app;
  dz_test::PgAdmin admin(pg);
  if (admin.Sql("SELECT COUNT(*) FROM pg_database WHERE datname = 'dz_share_other'") == "0") {
    admin.Sql("CREATE DATABASE dz_share_other;");
  }
  const std::string items = dz_test::FreshTableName("sh_items");
  const std::string contents = dz_test::FreshTableName("sh_contents");
  const std::string config = dz_test::FreshTableName("sh_config");
  const uint64_t hash = dz_test::FreshHash();
  {
    bs::StoreConnections connections;
    auto index = bs::CreateKeystore(dz_test::PostgresLocation(keywords, items), "idx", hash, bs::INDEX, connections);
    auto data = bs::CreateKeystore(dz_test::PostgresLocation(uri, items), "idx", hash, bs::DATA, connections);
    auto config_store =
        bs::CreateKeystore(dz_test::PostgresLocation(keywords, config), "idx", hash, bs::CONFIG, connections);
    auto items_store =
        bs::CreateKeystore(dz_test::PostgresLocation(keywords, contents), "idx", hash, bs::ITEMS, connections);
    EXPECT_EQ(connections.open(), 1u);
    EXPECT_EQ(admin.Backends(app), 1);

    // Full chunks are prepared statements: the two tables' must stay apart on the one session.
    const auto keys = Keys(1500, 1);
    for (auto* store : {index.get(), items_store.get()}) {
      const uint8_t salt = store == index.get() ? 1 : 2;
      store->BatchPushVariable(keys, std::vector<Bytes>(keys.size(), Bytes{salt}));
      store->PushItem(9999, Bytes{salt, salt});
    }
    data->PushItem(9999, Bytes{3});
    config_store->PushConfigItem("idx.oei", Bytes{4});
    EXPECT_EQ(index->GetItem(1), Bytes{1});
    EXPECT_EQ(items_store->GetItem(1500), Bytes{2});
    EXPECT_EQ(index->GetItem(9999), (Bytes{1, 1}));
    EXPECT_EQ(items_store->GetItem(9999), (Bytes{2, 2}));
    EXPECT_EQ(data->GetItem(9999), Bytes{3});
    EXPECT_EQ(admin.Sql("SELECT COUNT(*) FROM " + contents), "1501");
    EXPECT_EQ(admin.Sql("SELECT COUNT(*) FROM " + items), "1502");

    // Another database is another connection; so is a store built without the registry.
    auto elsewhere = bs::CreateKeystore(
        dz_test::PostgresLocation("host=127.0.0.1 port=" + port +
                                      " dbname=dz_share_other user=postgres application_name=" + app,
                                  items),
        "idx", hash, bs::ITEMS, connections);
    EXPECT_EQ(connections.open(), 2u);
    auto own = bs::CreateKeystore(dz_test::PostgresLocation(keywords, items), "idx", hash, bs::INDEX);
    EXPECT_EQ(admin.Backends(app), 3);
  }
  // Closed with the last store.
  EXPECT_EQ(admin.WaitForBackends(app, 0), 0);
}

class RedisConnectionSharing : public ::testing::TestWithParam<dz_test::Server> {};

TEST_P(RedisConnectionSharing, OneClientPerServerAndDatabase) {
  const auto conn = dz_test::StoreConnString(GetParam(), "");
  if (!conn) {
    if (dz_test::RunningInCi()) FAIL() << "test server missing";
    GTEST_SKIP() << "start the servers with scripts/test";
  }
  // The same settings in another order name the same connection; db 1 does not.
  const size_t db = conn->find(",db:0");
  ASSERT_NE(db, std::string::npos);
  const std::string reordered = "db:0," + conn->substr(0, db) + conn->substr(db + 5);
  const std::string other_db = conn->substr(0, db) + ",db:1" + conn->substr(db + 5);
  dz_test::RedisAdmin admin(*conn);
  const long long before = admin.WaitForOtherClients(0);
  const uint64_t hash = dz_test::FreshHash();
  {
    bs::StoreConnections connections;
    std::vector<std::unique_ptr<bs::Keystore>> stores;
    for (int32_t kind : {bs::INDEX, bs::DATA, bs::CONFIG, bs::ITEMS}) {
      stores.push_back(bs::CreateKeystore(dz_test::RedisLocation(kind == bs::DATA ? reordered : *conn, "sh_config"),
                                          "idx", hash, kind, connections));
    }
    EXPECT_EQ(connections.open(), 1u);
    EXPECT_EQ(admin.WaitForOtherClients(before + 1), before + 1);
    for (auto& store : stores) store->PushItem(1, Bytes{7});
    for (auto& store : stores) EXPECT_EQ(store->NumItems(), 1u);
    for (auto& store : stores) store->DeleteIndex();

    auto elsewhere = bs::CreateKeystore(dz_test::RedisLocation(other_db, "sh_config"), "idx", hash, bs::INDEX,
                                        connections);
    EXPECT_EQ(connections.open(), 2u);
    EXPECT_EQ(admin.WaitForOtherClients(before + 2), before + 2);
  }
  EXPECT_EQ(admin.WaitForOtherClients(before), before);
}

INSTANTIATE_TEST_SUITE_P(Servers, RedisConnectionSharing,
                         ::testing::Values(dz_test::Server::Redis, dz_test::Server::RedisTls), dz_test::ServerName);

}  // namespace
