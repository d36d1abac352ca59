// What is particular to the Redis store: the connection-string grammar, connecting (plain, TLS,
// database selection), the raw hash layout and error replies.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "stores/keystore_factory.h"
#include "stores/redis_connection.h"
#include "stores/redis_handles.h"
#include "stores/redis_hash_reader.h"
#include "stores/redis_store_connection.h"
#include "store_fixtures.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;
using Pairs = std::map<std::string, std::string>;

TEST(RedisConnectionString, Grammar) {
  const struct {
    std::string text;
    Pairs pairs;
  } cases[] = {
      {"", {}},
      {"host:localhost,port:6379,db:0", {{"host", "localhost"}, {"port", "6379"}, {"db", "0"}}},
      {"host:a:b", {{"host", "a:b"}}},
      {",host:x", {{",host", "x"}}},
      {"db:1,db:2", {{"db", "2"}}},
      {"host:h, port:1", {{"host", "h"}, {" port", "1"}}},
      {"host:h,db:", {{"host", "h"}}},
      {"db:,host:h", {{"db", ""}, {"host", "h"}}},
      {"host:h,", {{"host", "h"}}},
      {"host:h,dangling", {{"host", "h"}}},
      {"Host:h", {{"Host", "h"}}},
      {":v", {{"", "v"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bs::ParseRedisConnectionString(c.text), c.pairs) << c.text;
  }
}

TEST(RedisConnectionString, RequiredKeysAndDatabase) {
  const struct {
    std::string text;
    std::string error;
  } refused[] = {
      {"", "Missing Redis key: 'host'"},
      {"host:h,db:0", "Missing Redis key: 'port'"},
      {"host:h, port:1,db:0", "Missing Redis key: 'port'"},
      {"host:h,port:1,db:", "Missing Redis key: 'db'"},
      {"host:h,port:1,db:,", "Invalid Redis DB value (not a number): "},
      {"host:h,port:1,db:x", "Invalid Redis DB value (not a number): x"},
      {"host:h,port:1,db:1x", "Invalid Redis DB value: 1x"},
      {"host:h,port:1,db:3 ", "Invalid Redis DB value: 3 "},
      {"host:h,port:1,db:99999999999", "Invalid Redis DB value (out of range): 99999999999"},
  };
  for (const auto& c : refused) {
    try {
      bs::ReadRedisConnectionSettings(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.error) << c.text;
    }
  }
  EXPECT_THROW(bs::ReadRedisConnectionSettings("host:h,port:abc,db:0"), std::invalid_argument);

  const auto s = bs::ReadRedisConnectionSettings("host:h,port:12ab,db: 3,ssl:1,ca_cert:/c.pem");
  EXPECT_EQ(s.port, 12);
  EXPECT_EQ(s.db, 3);
  EXPECT_TRUE(s.tls);
  EXPECT_EQ(s.ca_cert, "/c.pem");
  EXPECT_EQ(bs::ReadRedisConnectionSettings("host:h,port:1,db:-1").db, -1);
  for (const char* ssl : {"TRUE", "yes", "0", ""}) {
    EXPECT_FALSE(bs::ReadRedisConnectionSettings(std::string("host:h,port:1,db:0,ssl:") + ssl + ",").tls) << ssl;
  }
  EXPECT_TRUE(bs::ReadRedisConnectionSettings("host:h,port:1,db:0,ssl:true").tls);
}

class RedisStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DZ_REQUIRE_SERVER(port, dz_test::RedisPort, "DZ_REDIS_PORT");
    port_ = port;
    raw_.reset(redisConnect("127.0.0.1", std::stoi(port_)));
    ASSERT_TRUE(raw_ && !raw_->err);
    table_ = dz_test::FreshTableName("redis_config");
  }

  std::string Conn(const std::string& extra = "") const { return "host:127.0.0.1,port:" + port_ + ",db:0" + extra; }

  std::unique_ptr<bs::Keystore> Make(const std::string& conn, uint64_t hash, int32_t kind = bs::INDEX) {
    return bs::CreateKeystore(dz_test::RedisLocation(conn, table_), "idx", hash, kind);
  }

  bs::RedisReply Raw(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const auto& a : args) {
      argv.push_back(a.data());
      lens.push_back(a.size());
    }
    return bs::TakeReply(redisCommandArgv(raw_.get(), static_cast<int>(argv.size()), argv.data(), lens.data()));
  }

  static std::string Le(uint64_t v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
  }

  std::string port_;
  std::string table_;
  bs::RedisContext raw_;
};

TEST_F(RedisStoreTest, HashLayoutIsLittleEndian) {
  const uint64_t hash = 0x0102030405060708ULL;
  auto store = Make(Conn(), hash, bs::INDEX);
  Raw({"DEL", Le(hash)});
  store->PushItem(1, Bytes{0xaa, 0});
  auto reply = Raw({"HGET", std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8), std::string("\x01\0\0\0\0\0\0\0", 8)});
  ASSERT_EQ(reply->type, REDIS_REPLY_STRING);
  EXPECT_EQ(std::string(reply->str, reply->len), std::string("\xaa\0", 2));

  // An all-ones hash gives its config store the tag 0.
  auto config = Make(Conn(), ~uint64_t{0}, bs::CONFIG);
  Raw({"DEL", Le(0)});
  config->PushItem(7, Bytes{1});
  EXPECT_EQ(Raw({"HLEN", Le(0)})->integer, 1);
  // Config items go to the hash named by the table, not to the item hash.
  config->PushConfigItem("n.oei", Bytes{2});
  EXPECT_EQ(Raw({"HLEN", Le(0)})->integer, 1);
  EXPECT_EQ(std::string(Raw({"HGET", table_, "n.oei"})->str), "\x02");
}

TEST_F(RedisStoreTest, FixedWidthReadsKeepOneRowPerKey) {
  auto store = Make(Conn(), dz_test::FreshHash());
  const Bytes twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  store->BatchPushVariable({1, 2, 3}, {twelve, Bytes{7, 7, 7}, Bytes{9, 9, 9, 9, 9, 9, 9, 9}});
  store->PushItem(5, Bytes{});
  const ostrik::ByteMatrix m = store->BatchGetItems({1, 2, 4, 5, 3});
  ASSERT_EQ(m.rows, 5u);
  Bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 7, 7, 7, 0, 0, 0, 0, 0};
  expected.insert(expected.end(), 16, 0);
  expected.insert(expected.end(), 8, 9);
  EXPECT_EQ(m.data, expected);
}

// A hash key holding another type makes the server answer every hash command with an error.
TEST_F(RedisStoreTest, ErrorRepliesAreFailures) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(Conn(), hash);
  Raw({"SET", Le(hash), "not a hash"});
  EXPECT_THROW(store->GetItem(1), std::runtime_error);
  EXPECT_THROW(store->PushItem(1, Bytes{1}), std::runtime_error);
  EXPECT_THROW(store->BatchGetVariable({1, 2}), std::runtime_error);
  EXPECT_THROW(store->BatchGetItems({1, 2}), std::runtime_error);
  // A read of several commands: each answers the error, every one is read.
  std::vector<uint64_t> many(5 * bs::kHashReadChunk + 3);
  for (size_t i = 0; i < many.size(); ++i) many[i] = i;
  try {
    store->BatchGetVariable(many);
    FAIL() << "a refused read succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("HMGET command failed: WRONGTYPE", 0), 0u) << e.what();
  }
  bs::ValueViews views;
  EXPECT_THROW(store->BatchGetViews(many, views), std::runtime_error);
  EXPECT_TRUE(views.values.empty());
  EXPECT_THROW(store->NumItems(), std::runtime_error);
  EXPECT_THROW(store->DeleteItem(1), std::runtime_error);
  EXPECT_THROW(store->BatchDeleteItems({1}), std::runtime_error);
  try {
    store->BatchPushVariable({1, 2, 3}, {Bytes{1}, Bytes{2}, Bytes{3}});
    FAIL() << "a refused pipeline succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("HSET command failed in batch execution", 0), 0u) << e.what();
  }
  EXPECT_THROW(store->BatchPushItems({1, 2}, ostrik::ByteMatrix(Bytes(16, 1), 8)), std::runtime_error);

  // Every reply of the failed pipelines was read: the next commands get their own answers.
  Raw({"DEL", Le(hash)});
  store->PushItem(4, Bytes{4});
  EXPECT_EQ(store->GetItem(4), Bytes{4});
  EXPECT_EQ(store->NumItems(), 1u);

  Raw({"SET", table_, "not a hash"});
  auto config = Make(Conn(), hash, bs::CONFIG);
  EXPECT_THROW(config->ConfigItemExists("a.oei"), std::runtime_error);
  EXPECT_THROW(config->PushConfigItem("a.oei", Bytes{1}), std::runtime_error);
  EXPECT_THROW(config->LoadConfigItem("a.oei"), std::runtime_error);
  EXPECT_THROW(config->DeleteIndex(), std::runtime_error);
}

// A read of many rounds renews the writer lock between its rounds, as the writes of a long batch
// do: a training reads a whole index in one call while it holds the lock.
TEST_F(RedisStoreTest, LongReadsKeepTheWriterLockAlive) {
  bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(30000), std::chrono::milliseconds(1));
  struct Restore {
    ~Restore() { bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(0), std::chrono::milliseconds(0)); }
  } restore;
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make(Conn(), hash);
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t k = 0; k < 300; ++k) {
    keys.push_back(k);
    values.push_back(Bytes(64 * 1024, static_cast<uint8_t>(k)));  // rounds of 16 values
  }
  store->BatchPushVariable(keys, values);
  store->LockIndex(std::chrono::milliseconds(1000));

  bs::RedisContext monitor(redisConnect("127.0.0.1", std::stoi(port_)));
  ASSERT_TRUE(monitor && !monitor->err);
  ASSERT_EQ(bs::TakeReply(redisCommand(monitor.get(), "MONITOR"))->type, REDIS_REPLY_STATUS);
  bs::ValueViews views;
  store->BatchGetViews(keys, views);
  Raw({"ECHO", "read-done"});
  // The commands the server saw, in order: reads (H) and lock renewals (L).
  const std::string lock_key = bs::RedisStoreConnection::LockKeyOf(hash);
  std::string seen;
  while (true) {
    void* raw = nullptr;
    ASSERT_EQ(redisGetReply(monitor.get(), &raw), REDIS_OK);
    const bs::RedisReply line = bs::TakeReply(raw);
    const std::string text(line->str, line->len);
    if (text.find("read-done") != std::string::npos) break;
    if (text.find("\"HMGET\"") != std::string::npos) seen += 'H';
    if (text.find(lock_key) != std::string::npos) seen += 'L';
  }
  // A renewal (its script's commands name the key too) between two reads.
  const size_t renewal = seen.find('L', seen.find('H'));
  EXPECT_TRUE(renewal != std::string::npos && seen.find('H', renewal) != std::string::npos) << seen;
  ASSERT_EQ(views.values.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(Bytes(views.values[i].begin(), views.values[i].end()), values[i]);
  EXPECT_TRUE(store->HoldsIndexLock());
  store->UnlockIndex();
}

TEST_F(RedisStoreTest, DatabaseSelection) {
  const uint64_t hash = dz_test::FreshHash();
  auto store = Make("host:127.0.0.1,port:" + port_ + ",db:1,db:2", hash);
  store->PushItem(1, Bytes{1});
  ASSERT_EQ(Raw({"SELECT", "2"})->type, REDIS_REPLY_STATUS);
  EXPECT_EQ(Raw({"HLEN", Le(hash)})->integer, 1);
  Raw({"SELECT", "0"});
  EXPECT_EQ(Raw({"HLEN", Le(hash)})->integer, 0);

  // A leading space and trailing letters on the port are accepted by the conversion.
  EXPECT_NO_THROW(Make("host:127.0.0.1,port:" + port_ + "xyz,db: 3", hash));
  try {
    Make("host:127.0.0.1,port:" + port_ + ",db:-1", hash);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to select Redis database: unexpected reply: ", 0), 0u) << e.what();
  }
}

TEST_F(RedisStoreTest, ConstructionFailures) {
  const struct {
    ostrik::DBConfig config;
    std::string prefix;
  } cases[] = {
      {ostrik::DBConfig("redis"), "bad optional access"},
      {ostrik::DBConfig("redis", "t"), "Redis connection string not provided"},
      {ostrik::DBConfig("redis", "t", ""), "Missing Redis key: 'host'"},
      {ostrik::DBConfig("redis", "t", "host:127.0.0.1,port:1,db:0"), "Failed to connect to Redis: "},
  };
  for (const auto& c : cases) {
    try {
      bs::CreateKeystore(c.config, "idx", 1, bs::INDEX);
      ADD_FAILURE() << "built " << c.prefix;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.prefix, 0), 0u) << e.what();
    }
  }
}

class RedisTlsTest : public RedisStoreTest {
 protected:
  void SetUp() override {
    RedisStoreTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    DZ_REQUIRE_SERVER(tls_port, dz_test::RedisTlsPort, "DZ_REDIS_TLS_PORT");
    DZ_REQUIRE_SERVER(ca, dz_test::RedisTlsCa, "DZ_REDIS_TLS_CA");
    DZ_REQUIRE_SERVER(other_ca, dz_test::RedisTlsOtherCa, "DZ_REDIS_TLS_OTHER_CA");
    tls_port_ = tls_port;
    ca_ = ca;
    other_ca_ = other_ca;
  }

  std::string Tls(const std::string& host, const std::string& port, const std::string& extra) const {
    return "host:" + host + ",port:" + port + ",db:0,ssl:true" + extra;
  }

  void ExpectRefused(const std::string& conn, const std::string& prefix) {
    try {
      Make(conn, 1);
      ADD_FAILURE() << "connected with " << conn;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << conn << ": " << e.what();
    }
  }

  std::string tls_port_;
  std::string ca_;
  std::string other_ca_;
};

TEST_F(RedisTlsTest, VerifiedConnections) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto store = Make(Tls(host, tls_port_, ",ca_cert:" + ca_), dz_test::FreshHash());
    store->PushItem(1, Bytes{5});
    EXPECT_EQ(store->GetItem(1), Bytes{5}) << host;
  }
  // Unverified, but encrypted: the TLS-only server answers.
  auto unverified = Make(Tls("127.0.0.1", tls_port_, ""), dz_test::FreshHash());
  EXPECT_EQ(unverified->NumItems(), 0u);
}

TEST_F(RedisTlsTest, RefusedConnections) {
  ExpectRefused(Tls("127.0.0.1", tls_port_, ",ca_cert:" + other_ca_), "SSL configuration failed: ");
  ExpectRefused(Tls("127.0.0.1", tls_port_, ",ca_cert:/nonexistent/ca.pem"),
                "SSL configuration failed: Failed to create Redis SSL context: ");
  // The certificate names 127.0.0.1, not the same address written as an IPv4-mapped IPv6 one.
  const std::string mapped = "::ffff:127.0.0.1";
  bool mapped_reachable = true;
  try {
    Make("host:" + mapped + ",port:" + port_ + ",db:0", 1);
  } catch (const std::exception&) {
    mapped_reachable = false;  // no IPv6 sockets here
  }
  if (mapped_reachable) {
    ExpectRefused(Tls(mapped, tls_port_, ",ca_cert:" + ca_), "SSL configuration failed: ");
  }
  // TLS to the plain server, and plain to the TLS server.
  ExpectRefused(Tls("127.0.0.1", port_, ",ca_cert:" + ca_), "SSL configuration failed: ");
  ExpectRefused("host:127.0.0.1,port:" + tls_port_ + ",db:0", "Failed to select Redis database (db=0): ");
}

}  // namespace
