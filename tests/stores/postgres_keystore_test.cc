// What is particular to the PostgreSQL store: chunked transactional batch writes, the raw row
// layout, sharing and upgrading tables, table names, failed reads and the index listing.
#include "stores/postgres_keystore.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <set>
#include <string>
#include <vector>

#include "server_faults.h"
#include "store_fixtures.h"
#include "stores/keystore_factory.h"
#include "stores/pg_result.h"
#include "stores/postgres_index_listing.h"
#include "stores/postgres_key_read.h"
#include "stores/postgres_store_connection.h"
#include "stores/postgres_table_setup.h"
#include "support/forked_child.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;

class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DZ_REQUIRE_SERVER(conn, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
    conn_string_ = conn;
    raw_.reset(PQconnectdb(conn_string_.c_str()));
    ASSERT_EQ(PQstatus(raw_.get()), CONNECTION_OK) << PQerrorMessage(raw_.get());
    table_ = dz_test::FreshTableName("pg_items");
  }

  std::unique_ptr<bs::Keystore> Make(const std::string& table, uint64_t hash, int32_t kind = bs::INDEX,
                                     const std::string& name = "idx") {
    return bs::CreateKeystore(dz_test::PostgresLocation(conn_string_, table), name, hash, kind);
  }

  // Runs SQL on the test's own connection; returns the first value of the first row, if any.
  std::string Sql(const std::string& sql) {
    bs::PgResult r(PQexec(raw_.get(), sql.c_str()));
    const auto status = bs::PgStatus(r);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(raw_.get());
    if (status == PGRES_TUPLES_OK && PQntuples(r.get()) > 0) return PQgetvalue(r.get(), 0, 0);
    return "";
  }

  uint64_t RowsOf(const std::string& table, int64_t tag) {
    return std::stoull(Sql("SELECT COUNT(*) FROM " + table + " WHERE index_name = " + std::to_string(tag)));
  }

  // The connection string of a role that may read and write `table` but not alter it.
  std::string LimitedRoleOn(const std::string& table) {
    Sql("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'dz_limited') THEN CREATE ROLE dz_limited "
        "LOGIN; END IF; END $$;");
    Sql("GRANT ALL ON " + table + " TO dz_limited;");
    std::string limited = conn_string_;
    limited.replace(limited.find("user=postgres"), 13, "user=dz_limited");
    return limited;
  }

  static int64_t Tag(uint64_t hash, int32_t kind) {
    return static_cast<int64_t>((hash + static_cast<uint64_t>(kind)) & ~(uint64_t{1} << 63));
  }

  std::string conn_string_;
  std::string table_;
  bs::PgConnection raw_;
};

std::vector<uint64_t> Keys(size_t n, uint64_t base) {
  std::vector<uint64_t> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = base + i * 7919;
  return keys;
}

std::vector<Bytes> Values(size_t n, uint8_t salt) {
  std::vector<Bytes> values(n);
  for (size_t i = 0; i < n; ++i) values[i] = {salt, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
  return values;
}

TEST_F(PostgresStoreTest, BatchWritesAreChunkedByThousandRows) {
  auto setup = Make(table_, dz_test::FreshHash());
  const std::string counter = table_ + "_stmts";
  Sql("CREATE TABLE " + counter + " (n INT);");
  Sql("CREATE FUNCTION " + counter + "_f() RETURNS trigger AS $$ BEGIN INSERT INTO " + counter +
      " VALUES (1); RETURN NULL; END $$ LANGUAGE plpgsql;");
  Sql("CREATE TRIGGER " + counter + "_t AFTER INSERT ON " + table_ + " FOR EACH STATEMENT EXECUTE FUNCTION " + counter +
      "_f();");

  const struct {
    size_t rows;
    int statements;
  } cases[] = {{1, 1}, {1000, 1}, {1001, 2}, {2500, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    Sql("DELETE FROM " + counter + ";");
    const uint64_t hash = dz_test::FreshHash();
    auto store = Make(table_, hash);
    const auto keys = Keys(c.rows, 3);
    const auto values = Values(c.rows, 9);
    store->BatchPushVariable(keys, values);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + counter), std::to_string(c.statements));
    EXPECT_EQ(RowsOf(table_, Tag(hash, bs::INDEX)), c.rows);
    EXPECT_EQ(store->BatchGetVariable(keys), values);
  }
}

TEST_F(PostgresStoreTest, FailingChunkRollsTheWholeBatchBack) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(table_, hash);
  const auto keys = Keys(2500, 11);
  store->PushItem(keys[0], Bytes{0xee});
  // One row of the batch is refused by the server, whichever chunk it falls in.
  const std::string bad = std::to_string(keys[1800]);
  Sql("CREATE FUNCTION " + table_ + "_f() RETURNS trigger AS $$ BEGIN IF NEW.key = '" + bad +
      "' THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;");
  Sql("CREATE TRIGGER " + table_ + "_t BEFORE INSERT ON " + table_ + " FOR EACH ROW EXECUTE FUNCTION " + table_ +
      "_f();");
  try {
    store->BatchPushVariable(keys, Values(keys.size(), 1));
    FAIL() << "the batch was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error executing Batch Push. Rolling back transaction.");
  }
  EXPECT_EQ(RowsOf(table_, Tag(hash, bs::INDEX)), 1u);
  EXPECT_EQ(store->GetItem(keys[0]), Bytes{0xee});
  // The connection is usable again afterwards.
  store->BatchPushVariable({keys[0], keys[1]}, {Bytes{1}, Bytes{2}});
  EXPECT_EQ(store->NumItems(), 2u);
}

TEST_F(PostgresStoreTest, RefusedCommitRollsBack) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(table_, hash);
  Sql("CREATE FUNCTION " + table_ +
      "_f() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused at commit'; END $$ "
      "LANGUAGE plpgsql;");
  Sql("CREATE CONSTRAINT TRIGGER " + table_ + "_t AFTER INSERT ON " + table_ +
      " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION " + table_ + "_f();");
  EXPECT_THROW(store->BatchPushVariable({1, 2}, {Bytes{1}, Bytes{2}}), std::runtime_error);
  EXPECT_EQ(RowsOf(table_, Tag(hash, bs::INDEX)), 0u);
}

TEST_F(PostgresStoreTest, RowLayout) {
  // An all-ones hash: the INDEX tag has bit 63 cleared, the DATA tag wraps round to 2.
  const uint64_t hash = ~uint64_t{0};
  auto index = Make(table_, hash, bs::INDEX);
  auto data = Make(table_, hash, bs::DATA);
  index->PushItem(~uint64_t{0}, Bytes{0, 1, 2});
  data->BatchPushVariable({42}, {Bytes{0xff, 0}});
  EXPECT_EQ(Sql("SELECT key || ' ' || index_name || ' ' || encode(value, 'hex') FROM " + table_ +
                " WHERE index_name = 9223372036854775807"),
            "18446744073709551615 9223372036854775807 000102");
  EXPECT_EQ(
      Sql("SELECT key || ' ' || index_name || ' ' || encode(value, 'hex') FROM " + table_ + " WHERE index_name = 2"),
      "42 2 ff00");
  EXPECT_EQ(index->GetItem(~uint64_t{0}), (Bytes{0, 1, 2}));
}

TEST_F(PostgresStoreTest, FixedWidthReadsCutAndPadEachRow) {
  auto store = Make(table_, dz_test::FreshHash());
  const Bytes twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  store->BatchPushVariable({1, 2, 3}, {twelve, Bytes{7, 7, 7}, Bytes{9, 9, 9, 9, 9, 9, 9, 9}});
  const ostrik::ByteMatrix m = store->BatchGetItems({1, 2, 4, 3});
  ASSERT_EQ(m.rows, 4u);
  EXPECT_EQ(m.data,
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 7, 7, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}));
}

TEST_F(PostgresStoreTest, OldTablesKeyedOnKeyAloneAreUpgraded) {
  Sql("CREATE TABLE " + table_ + " (key VARCHAR(255) PRIMARY KEY, value BYTEA NOT NULL, index_name BIGINT NOT NULL);");
  Sql("INSERT INTO " + table_ + " VALUES ('5', '\\x0102', " + std::to_string(Tag(1000, bs::INDEX)) + ");");
  auto old_index = Make(table_, 1000);
  auto other = Make(table_, dz_test::FreshHash());
  EXPECT_EQ(Sql("SELECT string_agg(a.attname, ',' ORDER BY a.attname) FROM pg_index i JOIN pg_attribute a ON "
                "a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey) WHERE i.indisprimary AND i.indrelid = '" +
                table_ + "'::regclass"),
            "index_name,key");
  other->PushItem(5, Bytes{9});
  EXPECT_EQ(old_index->GetItem(5), (Bytes{1, 2}));
  EXPECT_EQ(other->GetItem(5), Bytes{9});
}

Bytes Noise(size_t n, uint32_t seed) {
  Bytes v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return v;
}

// However many keys a read asks for, each is looked up in the primary key: a hashed filter over a
// sequential scan of the shared table is what a plain key list turned into.
TEST_F(PostgresStoreTest, BatchReadsLookEveryKeyUpInThePrimaryKey) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(table_, hash, bs::DATA);
  const std::vector<uint64_t> keys = Keys(4000, 11);
  std::vector<Bytes> values;
  for (size_t i = 0; i < keys.size(); ++i) values.push_back(Noise(i % 3 == 0 ? 3200 : 40, static_cast<uint32_t>(i)));
  store->BatchPushVariable(keys, values);
  Sql("ANALYZE " + table_);

  std::string list = "{";
  for (size_t i = 0; i < 3000; ++i) {
    if (i > 0) list += ',';
    list += std::to_string(keys[i]);
  }
  list += "}";
  const std::string tag = std::to_string(Tag(hash, bs::DATA));
  const char* params[2] = {list.c_str(), tag.c_str()};
  bs::PgResult plan(PQexecParams(raw_.get(), ("EXPLAIN " + bs::KeyReadStatement(table_)).c_str(), 2, nullptr, params,
                                 nullptr, nullptr, 0));
  ASSERT_EQ(bs::PgStatus(plan), PGRES_TUPLES_OK) << PQerrorMessage(raw_.get());
  std::string text;
  for (int i = 0; i < PQntuples(plan.get()); ++i) text += std::string(PQgetvalue(plan.get(), i, 0)) + "\n";
  EXPECT_NE(text.find("Index Scan using " + table_ + "_pkey"), std::string::npos) << text;
  EXPECT_EQ(text.find("Seq Scan"), std::string::npos) << text;

  // Request order, repeats and absent keys come back as asked.
  std::vector<uint64_t> asked = {keys[5], 424242, keys[0], keys[5], keys[3999]};
  EXPECT_EQ(store->BatchGetVariable(asked), (std::vector<Bytes>{values[5], {}, values[0], values[5], values[3999]}));
}

// A large read is shared between the store's session and reading sessions of its own, each server
// process looking up a range of the keys; when a reading session fails midway the main session
// reads alone, and the next large read opens them again. A forked child reads on sessions of its
// own and leaves the parent's alone.
TEST_F(PostgresStoreTest, LargeReadsShareTheirKeysBetweenSessions) {
  const std::string app = dz_test::UniqueTestName("dz_rd_");
  bs::StoreConnections connections;
  auto store = bs::CreateKeystore(dz_test::PostgresLocation(conn_string_ + " application_name=" + app, table_), "idx",
                                  dz_test::FreshHash(), bs::DATA, connections);
  const std::vector<uint64_t> keys = Keys(3000, 5);
  std::vector<Bytes> values;
  for (size_t i = 0; i < keys.size(); ++i) values.push_back(Noise(i % 7 == 0 ? 3000 : 30, static_cast<uint32_t>(i)));
  store->BatchPushVariable(keys, values);
  std::vector<uint64_t> asked(keys.rbegin(), keys.rend());
  asked.push_back(31337);     // absent
  asked.push_back(keys[17]);  // repeated
  std::vector<Bytes> want(values.rbegin(), values.rend());
  want.push_back({});
  want.push_back(values[17]);
  dz_test::PgAdmin admin(*dz_test::PostgresConnString());
  const auto backends = [&] { return admin.Backends(app); };
  EXPECT_EQ(backends(), 1);
  EXPECT_EQ(store->BatchGetVariable(asked), want);
  EXPECT_EQ(backends(), static_cast<int>(bs::PostgresStoreConnection::kReaderSessions));
  // A small read stays on the main session.
  EXPECT_EQ(store->BatchGetVariable({keys[1], keys[2]}), (std::vector<Bytes>{values[1], values[2]}));

  // The reading sessions end (their backends terminated): the read is done on the main one.
  const std::string main_pid =
      std::to_string(PQbackendPID(connections.Postgres(conn_string_ + " application_name=" + app)->get()));
  EXPECT_EQ(admin.Sql("SELECT COUNT(pg_terminate_backend(pid, 5000)) FROM pg_stat_activity WHERE application_name = $1 "
                      "AND pid <> $2",
                      {app, main_pid}),
            std::to_string(bs::PostgresStoreConnection::kReaderSessions - 1));
  EXPECT_EQ(store->BatchGetVariable(asked), want);
  EXPECT_EQ(store->BatchGetVariable(asked), want);
  EXPECT_EQ(admin.WaitForBackends(app, static_cast<int>(bs::PostgresStoreConnection::kReaderSessions)),
            static_cast<int>(bs::PostgresStoreConnection::kReaderSessions));

  const std::string failure = dz_test::RunInForkedChild(
      [&] { return store->BatchGetVariable(asked) == want ? std::string() : std::string("the child read wrong"); });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(store->BatchGetVariable(asked), want);
}

// Values of up to half a page stay in their rows, in new tables and in tables made before; a longer
// one still goes out of line; a threshold the table's owner chose is kept.
TEST_F(PostgresStoreTest, ItemTablesKeepValuesInTheirRows) {
  auto toasted = [&](const std::string& table) {
    return std::stoull(Sql("SELECT COUNT(*) FROM " +
                           Sql("SELECT reltoastrelid::regclass FROM pg_class WHERE oid = '" + table + "'::regclass")));
  };
  auto options = [&](const std::string& table) {
    return Sql("SELECT COALESCE(array_to_string(reloptions, ','), '') FROM pg_class WHERE oid = '" + table +
               "'::regclass");
  };
  auto fresh = Make(table_, dz_test::FreshHash(), bs::DATA);
  EXPECT_EQ(options(table_), "toast_tuple_target=4080");
  fresh->BatchPushVariable({1, 2}, {Noise(3200, 1), Noise(4000, 2)});
  EXPECT_EQ(toasted(table_), 0u);
  fresh->PushItem(3, Noise(20000, 3));
  EXPECT_GT(toasted(table_), 0u);
  EXPECT_EQ(fresh->BatchGetVariable({3, 1, 2}), (std::vector<Bytes>{Noise(20000, 3), Noise(3200, 1), Noise(4000, 2)}));

  // A table of before: its rows stay where they are and read as they did; new ones stay in the row.
  const std::string old = table_ + "_old";
  Sql("CREATE TABLE " + old +
      " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT NOT NULL, PRIMARY KEY (key, index_name));");
  const uint64_t hash = dz_test::FreshHash();
  Sql("INSERT INTO " + old + " SELECT '7', decode(string_agg(md5(i::text), ''), 'hex'), " +
      std::to_string(Tag(hash, bs::DATA)) + " FROM generate_series(1, 200) i;");
  const uint64_t before = toasted(old);
  ASSERT_GT(before, 0u);
  auto reopened = Make(old, hash, bs::DATA);
  EXPECT_EQ(options(old), "toast_tuple_target=4080");
  EXPECT_EQ(reopened->GetItem(7).size(), 3200u);
  reopened->PushItem(8, Noise(3200, 8));
  EXPECT_EQ(toasted(old), before);
  EXPECT_EQ(reopened->BatchGetVariable({8}), (std::vector<Bytes>{Noise(3200, 8)}));

  const std::string chosen = table_ + "_chosen";
  Sql("CREATE TABLE " + chosen +
      " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT NOT NULL, PRIMARY KEY (key, index_name)) "
      "WITH (toast_tuple_target = 4000);");
  Make(chosen, dz_test::FreshHash());
  EXPECT_EQ(options(chosen), "toast_tuple_target=4000");

  // A role that may use the table but not alter it goes on with the table as it is.
  const std::string shared = table_ + "_shared";
  Sql("CREATE TABLE " + shared +
      " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT NOT NULL, PRIMARY KEY (key, index_name));");
  auto guest = bs::CreateKeystore(dz_test::PostgresLocation(LimitedRoleOn(shared), shared), "idx", dz_test::FreshHash(),
                                  bs::DATA);
  EXPECT_EQ(options(shared), "");
  guest->PushItem(1, Noise(3200, 1));
  EXPECT_EQ(guest->GetItem(1), Noise(3200, 1));
}

TEST_F(PostgresStoreTest, FailedUpgradeFailsSetUp) {
  // A role that may write the table but not alter it.
  Sql("CREATE TABLE " + table_ + " (key VARCHAR(255) PRIMARY KEY, value BYTEA NOT NULL, index_name BIGINT NOT NULL);");
  const std::string limited = LimitedRoleOn(table_);
  try {
    bs::CreateKeystore(dz_test::PostgresLocation(limited, table_), "idx", 1, bs::INDEX);
    FAIL() << "set-up succeeded on a table it could not upgrade";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to upgrade the primary key of table " + table_, 0), 0u) << e.what();
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM pg_index WHERE indisprimary AND indrelid = '" + table_ + "'::regclass"), "1");
}

TEST_F(PostgresStoreTest, TableNamesArePlainIdentifiers) {
  const std::string refused[] = {"",     "has space", "t; DROP TABLE x",    "quote\"d", "it's",
                                 "1abc", "naïve",     std::string(64, 'a'), "a-b",      "a.b"};
  for (const auto& name : refused) {
    SCOPED_TRACE(name);
    try {
      Make(name, 1);
      FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
    EXPECT_THROW(bs::ListPostgresIndexes(dz_test::PostgresLocation(conn_string_, name)), std::invalid_argument);
  }
  // Upper case folds to the same table as the lower-case name, in set-up, the store and the listing.
  const std::string mixed = "Mixed_" + table_;
  auto upper = Make(mixed, 7);
  upper->PushItem(1, Bytes{1});
  auto lower = Make(bs::FoldedTableName(mixed), 7);
  EXPECT_EQ(lower->GetItem(1), Bytes{1});
  auto config = Make("Cfg_" + table_, 7, bs::CONFIG, "Ab");
  config->PushConfigItem("Ab.ovs", Bytes{1});
  EXPECT_EQ(bs::ListPostgresIndexes(dz_test::PostgresLocation(conn_string_, "cfg_" + table_)),
            std::vector<std::string>{"Ab"});
  Make(std::string(63, 'z'), 1);
}

TEST_F(PostgresStoreTest, SchemaCheck) {
  Sql("CREATE TABLE " + table_ + " (key VARCHAR(255), value TEXT, index_name BIGINT);");
  try {
    bs::VerifyTableSchema(raw_.get(), table_, false);
    FAIL() << "a text value column passed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Table " + table_ + " exists but does not match the expected schema.");
  }
  // Extra and missing columns pass.
  const std::string loose = table_ + "_loose";
  Sql("CREATE TABLE " + loose + " (key VARCHAR(10), value BYTEA, extra INT);");
  EXPECT_NO_THROW(bs::VerifyTableSchema(raw_.get(), loose, false));
  // The config layout wants a text index_name.
  EXPECT_THROW(bs::VerifyTableSchema(raw_.get(), table_, true), std::runtime_error);
}

TEST_F(PostgresStoreTest, FailedReadsAreErrorsNotAbsence) {
  auto store = Make(table_, dz_test::FreshHash());
  auto config = Make(table_ + "_cfg", dz_test::FreshHash(), bs::CONFIG);
  store->PushItem(1, Bytes{1});
  EXPECT_EQ(config->NumItems(), 0u);
  EXPECT_THROW(store->PushConfigItem("x.oei", Bytes{1}), std::invalid_argument);
  Sql("DROP TABLE " + table_ + ";");
  try {
    store->GetItem(1);
    FAIL() << "a failed select answered";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Postgres get_item error: ", 0), 0u) << e.what();
  }
  EXPECT_THROW(store->NumItems(), std::runtime_error);
  EXPECT_THROW(store->BatchGetVariable({1}), std::runtime_error);
  EXPECT_THROW(store->BatchGetItems({1}), std::runtime_error);
  EXPECT_THROW(store->BatchDeleteItems({1}), std::runtime_error);
}

TEST_F(PostgresStoreTest, ConnectionFailures) {
  const std::string unreachable = "host=127.0.0.1 port=1 dbname=postgres user=postgres connect_timeout=2";
  try {
    Make(table_, 1);  // warm: the table exists now
    bs::CreateKeystore(dz_test::PostgresLocation(unreachable, table_), "idx", 1, bs::INDEX);
    FAIL() << "connected to a closed port";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Postgres connection error: ", 0), 0u) << e.what();
  }
  ostrik::DBConfig no_table("postgres", std::nullopt, unreachable);
  try {
    bs::CreateKeystore(no_table, "idx", 1, bs::INDEX);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "bad optional access");
  }
}

TEST_F(PostgresStoreTest, ListingKeepsSerializedConfigNames) {
  const std::string table = table_ + "_cfg";
  auto config = Make(table, 1, bs::CONFIG);
  const auto location = dz_test::PostgresLocation(conn_string_, table);
  EXPECT_TRUE(bs::ListPostgresIndexes(location).empty());
  for (const char* name : {"alpha.oei", "alpha.ovs", "b.ovs", ".ovs", "c.ovsx"}) config->PushConfigItem(name, Bytes{1});
  const auto names = bs::ListPostgresIndexes(location);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"alpha", "b"}));
  EXPECT_EQ(names.size(), 2u);

  try {
    bs::ListPostgresIndexes(dz_test::PostgresLocation(conn_string_, table_ + "_missing"));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to execute query: ", 0), 0u) << e.what();
  }
  try {
    bs::ListPostgresIndexes(ostrik::DBConfig("postgres"));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "table_name is not set in DBConfig.");
  }
  try {
    bs::ListPostgresIndexes(ostrik::DBConfig("postgres", table));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Database connection string is missing in the configuration.");
  }
  try {
    bs::ListPostgresIndexes(ostrik::DBConfig("postgres", table, "host=127.0.0.1 port=1 connect_timeout=2"));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to connect to PostgreSQL: ", 0), 0u) << e.what();
  }
}

}  // namespace
