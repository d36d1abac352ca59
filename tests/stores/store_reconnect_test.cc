// A store whose connection broke (dropped from a second connection, or the server restarted in
// place) reconnects on its next call and answers it correctly, for every kind of operation; a
// failure the server answered is not repeated and keeps its text; a reconnect that fails says
// which store failed and why. On PostgreSQL, plain Redis and TLS Redis.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_faults.h"
#include "stores/command_failure.h"
#include "stores/keystore_factory.h"
#include "stores/postgres_store_connection.h"
#include "stores/store_connections.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;
using dz_test::Server;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

std::vector<uint64_t> Keys(size_t n, uint64_t base) {
  std::vector<uint64_t> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = base + i * 7919;
  return keys;
}

std::vector<Bytes> Values(size_t n, uint8_t salt, size_t width = 3) {
  std::vector<Bytes> values(n, Bytes(width));
  for (size_t i = 0; i < n; ++i) {
    for (size_t b = 0; b < width; ++b) values[i][b] = static_cast<uint8_t>(salt + i * 31 + b);
  }
  return values;
}

// The index and config stores of one index, sharing one connection.
struct Stores {
  uint64_t hash = 0;
  bs::StoreConnections connections;
  std::unique_ptr<bs::Keystore> index;
  std::unique_ptr<bs::Keystore> config;
};

class StoreReconnectTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    app_ = dz_test::UniqueTestName("dz_rc_");
    auto conn = dz_test::StoreConnString(GetParam(), app_);
    if (!conn || !dz_test::EnvVar(dz_test::CtlVariable(GetParam()))) {
      if (dz_test::RunningInCi()) FAIL() << "test server or its control script missing";
      GTEST_SKIP() << "start the servers with scripts/test";
    }
    conn_ = *conn;
    items_table_ = dz_test::FreshTableName("rc_items");
    config_table_ = dz_test::FreshTableName("rc_config");
  }

  std::unique_ptr<Stores> MakeStores(const std::string& conn) {
    auto stores = std::make_unique<Stores>();
    const uint64_t hash = stores->hash = dz_test::FreshHash();
    stores->index = bs::CreateKeystore(dz_test::Location(GetParam(), conn, items_table_), "idx", hash, bs::INDEX,
                                       stores->connections);
    stores->config = bs::CreateKeystore(dz_test::Location(GetParam(), conn, config_table_), "idx", hash, bs::CONFIG,
                                        stores->connections);
    return stores;
  }

  // Drops the stores' connection from a second one; false when there was none to drop.
  bool Drop() {
    if (GetParam() == Server::Postgres) return dz_test::PgAdmin(*dz_test::PostgresConnString()).Terminate(app_) == 1;
    return dz_test::RedisAdmin(conn_).KillOthers() >= 1;
  }

  // The connections the stores hold now (for Redis: the clients other than the counting one),
  // waiting (bounded) until there are `n`.
  long long OpenConnections(int n = 1) {
    if (GetParam() == Server::Postgres) return dz_test::PgAdmin(*dz_test::PostgresConnString()).WaitForBackends(app_, n);
    return dz_test::RedisAdmin(conn_).WaitForOtherClients(n);
  }

  std::string app_;
  std::string conn_;
  std::string items_table_;
  std::string config_table_;
};

TEST_P(StoreReconnectTest, EveryOperationIsAnsweredAfterADropAndARestart) {
  const std::vector<uint64_t> batch_keys = Keys(2500, 1000);  // three PostgreSQL chunks, two of them prepared
  const std::vector<Bytes> batch_values = Values(2500, 7);
  const std::vector<uint64_t> few = Keys(3, 50);
  const std::vector<Bytes> few_values = Values(3, 90, 8);
  const Bytes config_value = {4, 5, 6, 0, 7};
  const auto nothing = [](Stores&) {};
  const struct {
    const char* name;
    std::function<void(Stores&)> before;  // runs before the fault
    std::function<void(Stores&)> after;   // the first call after it, with its checks
  } ops[] = {
      {"push", nothing,
       [](Stores& s) {
         s.index->PushItem(11, Bytes{1, 2, 3});
         EXPECT_EQ(s.index->GetItem(11), (Bytes{1, 2, 3}));
       }},
      {"batch push", nothing,
       [&](Stores& s) {
         s.index->BatchPushVariable(batch_keys, batch_values);
         EXPECT_EQ(s.index->BatchGetVariable(batch_keys), batch_values);
       }},
      {"fixed-width batch push", nothing,
       [&](Stores& s) {
         ostrik::ByteMatrix rows(Bytes(3 * 8, 0x5c), 8);
         s.index->BatchPushItems(few, rows);
         EXPECT_EQ(s.index->BatchGetItems(few).data, rows.data);
       }},
      {"get", [](Stores& s) { s.index->PushItem(12, Bytes{9, 8}); },
       [](Stores& s) { EXPECT_EQ(s.index->GetItem(12), (Bytes{9, 8})); }},
      {"batch get", [&](Stores& s) { s.index->BatchPushVariable(few, few_values); },
       [&](Stores& s) { EXPECT_EQ(s.index->BatchGetVariable(few), few_values); }},
      {"fixed-width batch get", [&](Stores& s) { s.index->BatchPushVariable(few, few_values); },
       [&](Stores& s) {
         const ostrik::ByteMatrix rows = s.index->BatchGetItems(few);
         ASSERT_EQ(rows.rows, 3u);
         for (size_t i = 0; i < 3; ++i) EXPECT_EQ(Bytes(rows.row(i), rows.row(i) + 8), few_values[i]);
       }},
      {"count", [&](Stores& s) { s.index->BatchPushVariable(few, few_values); },
       [](Stores& s) { EXPECT_EQ(s.index->NumItems(), 3u); }},
      {"batch delete", [&](Stores& s) { s.index->BatchPushVariable(few, few_values); },
       [&](Stores& s) {
         s.index->BatchDeleteItems({few[0], few[2]});
         EXPECT_EQ(s.index->BatchGetVariable(few), (std::vector<Bytes>{{}, few_values[1], {}}));
       }},
      {"delete", [](Stores& s) { s.index->PushItem(13, Bytes{1}); },
       [](Stores& s) {
         s.index->DeleteItem(13);
         EXPECT_TRUE(s.index->GetItem(13).empty());
       }},
      {"index delete", [&](Stores& s) { s.index->BatchPushVariable(few, few_values); },
       [](Stores& s) {
         s.index->DeleteIndex();
         EXPECT_EQ(s.index->NumItems(), 0u);
       }},
      {"config push", nothing,
       [&](Stores& s) {
         s.config->PushConfigItem("idx.oei", config_value);
         EXPECT_EQ(s.config->LoadConfigItem("idx.oei"), config_value);
       }},
      {"config load", [&](Stores& s) { s.config->PushConfigItem("idx.oei", config_value); },
       [&](Stores& s) { EXPECT_EQ(s.config->LoadConfigItem("idx.oei"), config_value); }},
      {"config exists", [&](Stores& s) { s.config->PushConfigItem("idx.ovs", config_value); },
       [](Stores& s) {
         EXPECT_TRUE(s.config->ConfigItemExists("idx.ovs"));
         EXPECT_FALSE(s.config->ConfigItemExists("never.oei"));
       }},
  };
  for (const bool restart : {false, true}) {
    for (const auto& op : ops) {
      SCOPED_TRACE(std::string(restart ? "restarted, " : "dropped, ") + op.name);
      auto stores = MakeStores(conn_);
      op.before(*stores);
      if (restart) {
        ASSERT_TRUE(dz_test::ServerCtl(GetParam(), "restart"));
      } else {
        ASSERT_TRUE(Drop()) << "no connection was dropped";
      }
      op.after(*stores);
      // One connection for both stores, the broken one closed; on PostgreSQL a read of thousands
      // of keys opens reading sessions beside it.
      const int sessions = GetParam() == Server::Postgres && std::string(op.name) == "batch push"
                               ? static_cast<int>(bs::PostgresStoreConnection::kReaderSessions)
                               : 1;
      EXPECT_EQ(OpenConnections(sessions), sessions);
    }
  }
}

class PostgresTransactionTest : public StoreReconnectTest {};

// Plain, and under the writer lock (one pipelined transaction, repeated once the lock is taken back
// with its guard unchanged).
TEST_P(PostgresTransactionTest, ABatchCutMidwayIsRepeatedWhole) {
  for (const bool locked : {false, true}) {
    SCOPED_TRACE(locked ? "under the writer lock" : "no lock held");
    auto stores = MakeStores(conn_);
    dz_test::PgAdmin admin(*dz_test::PostgresConnString());
    if (locked) {
      stores->index->LockIndex(std::chrono::milliseconds(1000));
      stores->index->PushItem(0xfffffffffffffffeULL, Bytes{7});
      stores->index->SetLockGuard(0xfffffffffffffffeULL, Bytes{7});
    }
    // The second chunk's statement ends its own session: the first is written but not committed.
    const std::string seq = items_table_ + "_chunks" + (locked ? "_l" : "");
    admin.Sql("CREATE SEQUENCE " + seq + ";");
    admin.Sql("CREATE FUNCTION " + seq + "_f() RETURNS trigger AS $$ BEGIN IF nextval('" + seq +
              "') = 2 THEN PERFORM pg_terminate_backend(pg_backend_pid()); END IF; RETURN NULL; END $$ "
              "LANGUAGE plpgsql;");
    admin.Sql("CREATE TRIGGER " + seq + "_t AFTER INSERT ON " + items_table_ +
              " FOR EACH STATEMENT EXECUTE FUNCTION " + seq + "_f();");
    const auto keys = Keys(2500, locked ? 10001 : 1);
    const auto values = Values(2500, 3);
    stores->index->BatchPushVariable(keys, values);
    // Two statements of the cut attempt, then all three of the repeat.
    EXPECT_EQ(admin.Sql("SELECT last_value FROM " + seq + ";"), "5");
    EXPECT_EQ(stores->index->BatchGetVariable(keys), values);
    EXPECT_EQ(admin.Sql("SELECT COUNT(*) FROM " + items_table_ + " WHERE index_name = $1",
                        {std::to_string(stores->hash & ~(uint64_t{1} << 63))}),
              locked ? "2501" : "2500");
    admin.Sql("DROP TRIGGER " + seq + "_t ON " + items_table_ + ";");
    stores->index->UnlockIndex();
  }
}

// A batch that a statement of its third chunk fails, under the writer lock: nothing of it lands.
TEST_P(PostgresTransactionTest, ABatchThatFailsUnderTheLockLandsNothing) {
  auto stores = MakeStores(conn_);
  dz_test::PgAdmin admin(*dz_test::PostgresConnString());
  const auto keys = Keys(2500, 1);
  const std::string fn = items_table_ + "_refuse";
  // Rows go in the batch's own order: of its three chunks, the refused row's need not be the first.
  admin.Sql("CREATE FUNCTION " + fn + "() RETURNS trigger AS $$ BEGIN IF NEW.key = '" + std::to_string(keys[2299]) +
            "' THEN RAISE EXCEPTION 'refused by trigger'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;");
  admin.Sql("CREATE TRIGGER " + fn + "_t BEFORE INSERT ON " + items_table_ + " FOR EACH ROW EXECUTE FUNCTION " + fn +
            "();");
  stores->index->LockIndex(std::chrono::milliseconds(1000));
  EXPECT_THAT([&] { stores->index->BatchPushVariable(keys, Values(2500, 3)); },
              testing::ThrowsMessage<std::runtime_error>(
                  StartsWith("Error executing Batch Push. Rolling back transaction.")));
  EXPECT_EQ(admin.Sql("SELECT COUNT(*) FROM " + items_table_), "0");
  // The session is usable, the lock still held.
  EXPECT_TRUE(stores->index->HoldsIndexLock());
  stores->index->PushItem(1, Bytes{1});
  EXPECT_EQ(stores->index->GetItem(1), Bytes{1});
  stores->index->UnlockIndex();
}

// libpq marks a session bad only once it reads the end of the socket, which may come after a
// command already failed for it (it then reports "server closed the connection unexpectedly" from
// sending): such a failure is a broken connection, repeated after reconnecting, never reported as
// if the server had answered it (which would leave the store unnamed).
TEST_P(PostgresTransactionTest, AFailureOnASessionTheServerEndedIsRepeated) {
  auto stores = MakeStores(conn_);
  stores->index->PushItem(31, Bytes{3, 1});
  const std::shared_ptr<bs::PostgresStoreConnection> connection = stores->connections.Postgres(conn_);
  EXPECT_FALSE(connection->Broken());
  ASSERT_EQ(dz_test::PgAdmin(*dz_test::PostgresConnString()).Terminate(app_), 1);
  ASSERT_EQ(PQstatus(connection->get()), CONNECTION_OK) << "libpq has not read the session's end yet";
  bool broken = connection->Broken();
  for (int i = 0; i < 200 && !broken; ++i) {  // the server's end reaches the socket a moment later
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    broken = connection->Broken();
  }
  EXPECT_TRUE(broken);
  int runs = 0;
  connection->Run(bs::INDEX, [&] {
    // The first run fails as libpq reports a command whose sending failed.
    if (++runs == 1) throw bs::CommandFailure("Postgres put_item error: ", "server closed the connection unexpectedly");
  });
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(stores->index->GetItem(31), (Bytes{3, 1}));
}

TEST_P(StoreReconnectTest, AFailureTheServerAnsweredIsNotRepeated) {
  auto stores = MakeStores(conn_);
  const uint64_t refused = 424242;
  if (GetParam() == Server::Postgres) {
    dz_test::PgAdmin admin(*dz_test::PostgresConnString());
    const std::string seq = items_table_ + "_tries";
    admin.Sql("CREATE SEQUENCE " + seq + ";");
    admin.Sql("CREATE FUNCTION " + seq + "_f() RETURNS trigger AS $$ BEGIN IF NEW.key = '" + std::to_string(refused) +
              "' THEN PERFORM nextval('" + seq + "'); RAISE EXCEPTION 'refused by trigger'; END IF; RETURN NEW; END "
              "$$ LANGUAGE plpgsql;");
    admin.Sql("CREATE TRIGGER " + seq + "_t BEFORE INSERT ON " + items_table_ + " FOR EACH ROW EXECUTE FUNCTION " +
              seq + "_f();");
    const std::string pid =
        admin.Sql("SELECT pid FROM pg_stat_activity WHERE application_name = $1", {app_});
    try {
      stores->index->PushItem(refused, Bytes{1});
      ADD_FAILURE() << "the trigger did not refuse the write";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), StartsWith("Postgres put_item error: ERROR:  refused by trigger"));
      EXPECT_THAT(e.what(), Not(HasSubstr("store")));
    }
    try {
      stores->index->BatchPushVariable({5, refused}, {{1}, {2}});
      ADD_FAILURE() << "the trigger did not refuse the batch";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Error executing Batch Push. Rolling back transaction.");
    }
    EXPECT_EQ(admin.Sql("SELECT last_value FROM " + seq + ";"), "2") << "a refused write was sent again";
    EXPECT_EQ(admin.Sql("SELECT pid FROM pg_stat_activity WHERE application_name = $1", {app_}), pid)
        << "the store reconnected";
    EXPECT_TRUE(stores->index->GetItem(5).empty());
  } else {
    dz_test::RedisAdmin admin(conn_);
    // The index store's item hash (its tag in 8 little-endian bytes) made a string: every hash
    // command gets WRONGTYPE.
    std::string hash_key(8, '\0');
    for (size_t i = 0; i < 8; ++i) hash_key[i] = static_cast<char>((stores->hash >> (8 * i)) & 0xff);
    admin.Command("SET %b %s", hash_key.data(), hash_key.size(), "not a hash");
    const long long connections = admin.Info("total_connections_received");
    try {
      stores->index->PushItem(refused, Bytes{1});
      ADD_FAILURE() << "the server did not refuse the write";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), StartsWith("HSET command failed: WRONGTYPE"));
    }
    try {
      stores->index->GetItem(refused);
      ADD_FAILURE() << "the server did not refuse the read";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), StartsWith("HGET command failed: WRONGTYPE"));
    }
    EXPECT_EQ(admin.Info("total_connections_received"), connections) << "the store reconnected";
    admin.Command("DEL %b", hash_key.data(), hash_key.size());
  }
}

TEST_P(StoreReconnectTest, AReconnectThatFailsNamesTheStoreAndTheReason) {
  const std::string password = "dz-secret-pw";
  const std::string conn = GetParam() == Server::Postgres ? conn_ + " password=" + password : conn_;
  auto stores = MakeStores(conn);
  stores->index->PushItem(21, Bytes{2, 1});
  stores->config->PushConfigItem("idx.oei", Bytes{3});
  const bool pg = GetParam() == Server::Postgres;
  {
    dz_test::StoppedServer gone(GetParam());
    ASSERT_TRUE(gone.stopped());
    const struct {
      const char* name;
      std::function<void()> call;
      std::string start;
    } calls[] = {
        {"index get", [&] { stores->index->GetItem(21); },
         pg ? "Postgres get_item error: the index store could not reconnect: "
            : "HGET command failed: the index store could not reconnect: Failed to connect to Redis: "},
        {"index batch push", [&] { stores->index->BatchPushVariable({1, 2}, {{1}, {2}}); },
         pg ? "Postgres BEGIN transaction error: the index store could not reconnect: "
            : "HSET command failed in batch execution: the index store could not reconnect: Failed to connect to "
              "Redis: "},
        {"config load", [&] { stores->config->LoadConfigItem("idx.oei"); },
         pg ? "Postgres get_item error: the config store could not reconnect: "
            : "Redis get_item error: connection failure. The config store could not reconnect: Failed to connect to "
              "Redis: "},
    };
    for (const auto& c : calls) {
      SCOPED_TRACE(c.name);
      try {
        c.call();
        ADD_FAILURE() << "a call to a stopped server succeeded";
      } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), StartsWith(c.start));
        // The reason: libpq's or the socket's own words.
        EXPECT_THAT(e.what(), HasSubstr("refused"));
        EXPECT_THAT(e.what(), Not(HasSubstr(password)));
      }
    }
  }
  // Back again: the next call reconnects.
  EXPECT_EQ(stores->index->GetItem(21), (Bytes{2, 1}));
  EXPECT_EQ(stores->config->LoadConfigItem("idx.oei"), Bytes{3});
}

INSTANTIATE_TEST_SUITE_P(Servers, StoreReconnectTest,
                         ::testing::Values(Server::Postgres, Server::Redis, Server::RedisTls), dz_test::ServerName);
INSTANTIATE_TEST_SUITE_P(Servers, PostgresTransactionTest, ::testing::Values(Server::Postgres), dz_test::ServerName);

}  // namespace
