// The writer lock of an index, held on its index store's server: a second writer (a connection of
// its own, as another process has) waits and times out; a holder killed frees it (PostgreSQL at
// once, Redis at the expiry); renewal keeps a Redis lock past its expiry; a reconnect while it is
// held repeats the interrupted call only when the lock is taken back with its guard unchanged; the
// server refuses a write whose writer no longer holds the lock there, however the writer sees it;
// the servers of an index's other stores hold companion locks that fence their writes; a forked
// child's copy of a holder works on a session of its own and leaves the parent's alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_faults.h"
#include "stores/keystore_factory.h"
#include "stores/postgres_store_connection.h"
#include "stores/redis_store_connection.h"
#include "support/faulty_keystore.h"
#include "support/forked_child.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using dz_test::Server;
using std::chrono::milliseconds;
using testing::HasSubstr;

constexpr uint64_t kGuardKey = 0xfffffffffffffffeULL;
// How a writer learns that it lost the lock.
const std::string kChangedMeanwhile = "Lost the writer lock of index 'idx': another writer changed the index meanwhile";
const std::string kHeldByAnother = "Lost the writer lock of index 'idx': another writer holds it";
constexpr milliseconds kShortExpiry{300};

// Redis locks that expire within a test's patience, for the scope's time.
class ShortRedisLocks {
 public:
  ShortRedisLocks() { bs::SetRedisLockTimingForTesting(kShortExpiry, milliseconds(100)); }
  ~ShortRedisLocks() { bs::SetRedisLockTimingForTesting(milliseconds(0), milliseconds(0)); }
};

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The error text of a call, or "" when it succeeded.
template <typename F>
std::string ErrorOf(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class WriterLockTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    app_ = dz_test::UniqueTestName("dz_lk_");
    auto conn = dz_test::StoreConnString(GetParam(), app_);
    auto other = dz_test::StoreConnString(GetParam(), app_ + "_b");
    if (!conn || !other) {
      if (dz_test::RunningInCi()) FAIL() << "test server missing";
      GTEST_SKIP() << "start the servers with scripts/test";
    }
    conn_ = *conn;
    other_conn_ = *other;
    table_ = dz_test::FreshTableName("lk_items");
    hash_ = dz_test::FreshHash();
  }

  // A store of the test index; `conn` picks the connection string (the other writer's has an
  // application name of its own, so that dropping the first writer's connection spares it).
  std::unique_ptr<bs::Keystore> Make(bs::StoreConnections& connections, int32_t kind = bs::INDEX,
                                     const std::string* conn = nullptr, uint64_t hash = 0) {
    return bs::CreateKeystore(dz_test::Location(GetParam(), conn ? *conn : conn_, table_), "idx",
                              hash ? hash : hash_, kind, connections);
  }
  std::unique_ptr<bs::Keystore> MakeOther() {
    bs::StoreConnections own;
    return Make(own, bs::INDEX, &other_conn_);
  }

  bool Drop() {
    if (GetParam() == Server::Postgres) return dz_test::PgAdmin(*dz_test::PostgresConnString()).Terminate(app_) == 1;
    return dz_test::RedisAdmin(conn_).KillOthers() >= 1;
  }

  std::string app_, conn_, other_conn_, table_;
  uint64_t hash_ = 0;
};

TEST_P(WriterLockTest, ASecondWriterWaitsAndTimesOut) {
  bs::StoreConnections first;
  auto a = Make(first);
  auto a_data = Make(first, bs::DATA);
  auto b = MakeOther();
  a->LockIndex(milliseconds(1000));
  EXPECT_TRUE(a->HoldsIndexLock());
  EXPECT_FALSE(a_data->HoldsIndexLock());

  const auto start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { b->LockIndex(milliseconds(200)); }),
            "Timed out after 0.2 s waiting for the writer lock of index 'idx'");
  EXPECT_GE(Since(start), milliseconds(200));
  EXPECT_FALSE(b->HoldsIndexLock());

  // One lock per connection; another index is not held up by this one's.
  EXPECT_THROW(a_data->LockIndex(milliseconds(10)), std::logic_error);
  bs::StoreConnections elsewhere;
  auto other_index = Make(elsewhere, bs::INDEX, &other_conn_, hash_ + 0x100);
  other_index->LockIndex(milliseconds(100));
  EXPECT_TRUE(other_index->HoldsIndexLock());

  a->UnlockIndex();
  EXPECT_FALSE(a->HoldsIndexLock());
  b->LockIndex(milliseconds(1000));
  EXPECT_TRUE(b->HoldsIndexLock());
  // Destroying the holder releases it.
  b.reset();
  const auto again = Clock::now();
  a->LockIndex(milliseconds(1000));
  EXPECT_LT(Since(again), milliseconds(200));
  a->CheckIndexLock();
  a->UnlockIndex();
  EXPECT_THAT(ErrorOf([&] { a->CheckIndexLock(); }), "Lost the writer lock of index 'idx': it is not held");
}

TEST_P(WriterLockTest, AKilledHolderFreesTheLock) {
  ShortRedisLocks short_locks;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    // The holder lives until the kill.
    bs::StoreConnections own;
    std::unique_ptr<bs::Keystore> holder;
    try {
      holder = Make(own);
      holder->LockIndex(milliseconds(5000));
    } catch (...) {
      _exit(3);
    }
    if (write(ready[1], "L", 1) != 1) _exit(2);
    while (true) pause();
  }
  close(ready[1]);
  pollfd wait_for{ready[0], POLLIN, 0};
  char mark = 0;
  const bool locked = poll(&wait_for, 1, 10000) == 1 && read(ready[0], &mark, 1) == 1 && mark == 'L';
  close(ready[0]);
  auto b = MakeOther();
  if (locked) {
    EXPECT_THAT(ErrorOf([&] { b->LockIndex(milliseconds(50)); }), HasSubstr("Timed out after"));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(locked) << "the child did not take the lock";

  const auto start = Clock::now();
  b->LockIndex(milliseconds(5000));
  EXPECT_TRUE(b->HoldsIndexLock());
  // PostgreSQL frees it with the session; Redis once its expiry has passed.
  EXPECT_LT(Since(start), GetParam() == Server::Postgres ? milliseconds(1500) : kShortExpiry + milliseconds(500));
}

TEST_P(WriterLockTest, AReconnectWhileLockedRepeatsOnlyUnderTheSameGuard) {
  ShortRedisLocks short_locks;
  const std::vector<uint64_t> keys = {101, 102, 103};
  const std::vector<Bytes> values = {{1}, {2}, {3}};
  enum class Meanwhile { kNothing, kRestart, kAnotherWriterWrote, kAnotherWriterHolds };
  const struct {
    const char* name;
    Meanwhile meanwhile;
    std::string error;  // "" when the call is repeated
  } cases[] = {
      {"dropped, guard unchanged", Meanwhile::kNothing, ""},
      {"restarted, guard unchanged", Meanwhile::kRestart, ""},
      {"another writer wrote the guard", Meanwhile::kAnotherWriterWrote, kChangedMeanwhile},
      {"another writer holds the lock", Meanwhile::kAnotherWriterHolds, kHeldByAnother},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hash_ = dz_test::FreshHash();
    bs::StoreConnections first;
    auto a = Make(first);
    auto a_data = Make(first, bs::DATA);
    // Its wait to take the lock back is shorter than the other writer's Redis lock lives unrenewed.
    a->LockIndex(milliseconds(100));
    a->PushItem(kGuardKey, Bytes{7, 7});
    a->SetLockGuard(kGuardKey, Bytes{7, 7});

    if (c.meanwhile == Meanwhile::kRestart) {
      ASSERT_TRUE(dz_test::ServerCtl(GetParam(), "restart"));
    } else {
      ASSERT_TRUE(Drop());
    }
    std::unique_ptr<bs::Keystore> b;
    if (c.meanwhile == Meanwhile::kAnotherWriterWrote || c.meanwhile == Meanwhile::kAnotherWriterHolds) {
      // PostgreSQL freed it with the session; a Redis key waits for its expiry.
      b = MakeOther();
      b->LockIndex(milliseconds(3000));
      if (c.meanwhile == Meanwhile::kAnotherWriterWrote) {
        b->PushItem(kGuardKey, Bytes{8, 8});
        b->UnlockIndex();
      }
    }

    // The data store shares the lock's connection: its call meets the broken connection.
    const std::string error = ErrorOf([&] { a_data->BatchPushVariable(keys, values); });
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(a->HoldsIndexLock(), c.error.empty());
    if (c.error.empty()) {
      EXPECT_EQ(a_data->BatchGetVariable(keys), values);
      // Taken back for real: nobody else gets it.
      EXPECT_THAT(ErrorOf([&] { MakeOther()->LockIndex(milliseconds(30)); }), HasSubstr("Timed out after"));
    } else {
      // Without the lock, nothing was written, and the write that lost it sends nothing more
      // until its holder lets go; then the next call goes ahead.
      EXPECT_EQ(a_data->BatchGetVariable(keys), std::vector<Bytes>(3));
      EXPECT_EQ(ErrorOf([&] { a_data->PushItem(keys[0], values[0]); }), c.error);
      EXPECT_EQ(ErrorOf([&] { a->CheckIndexLock(); }), c.error);
      a->UnlockIndex();
      a_data->BatchPushVariable(keys, values);
      EXPECT_EQ(a_data->BatchGetVariable(keys), values);
    }
    if (b) b->UnlockIndex();
  }
}

// The server itself refuses a write of a writer that believes it holds the lock but no longer does
// there (a Redis lock that lapsed or changed hands behind its back, a PostgreSQL session that lost
// its lock as behind a pooler): nothing of it lands. Taken back at once with the guard unchanged,
// the write goes on; otherwise the lock is lost and the write fails.
TEST_P(WriterLockTest, TheServerRefusesAWriteOfAWriterThatLostTheLock) {
  const std::vector<uint64_t> keys = {201, 202, 203};
  // Small writes and large ones, which Redis fences another way.
  for (const size_t width : {size_t{1}, size_t{40000}}) {
    SCOPED_TRACE("values of " + std::to_string(width) + " bytes");
    const std::vector<Bytes> values = {Bytes(width, 1), Bytes(width, 2), Bytes(width, 3)};
    enum class Meanwhile { kTaken, kLapsed, kLapsedAndWritten };
    const struct {
      const char* name;
      Meanwhile meanwhile;
      std::string error;  // "" when the write goes on
    } cases[] = {
        {"another writer took it", Meanwhile::kTaken, kHeldByAnother},
        {"it lapsed, nobody wrote", Meanwhile::kLapsed, ""},
        {"it lapsed, another writer wrote", Meanwhile::kLapsedAndWritten, kChangedMeanwhile},
    };
    const bool pg = GetParam() == Server::Postgres;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      hash_ = dz_test::FreshHash();
      bs::StoreConnections first;
      auto a = Make(first);
      auto a_data = Make(first, bs::DATA);
      a->LockIndex(milliseconds(1000));
      a->PushItem(kGuardKey, Bytes{7, 7});
      a->SetLockGuard(kGuardKey, Bytes{7, 7});

      // Behind the writer's back: its own view says it holds the lock and nothing is due.
      std::unique_ptr<bs::Keystore> b;
      const std::string lock_key = bs::RedisStoreConnection::LockKeyOf(hash_);
      if (pg) {
        bs::PgResult r(PQexec(first.Postgres(conn_)->get(), "SELECT pg_advisory_unlock_all()"));
        ASSERT_EQ(bs::PgStatus(r), PGRES_TUPLES_OK);
      } else {
        dz_test::RedisAdmin admin(conn_);
        if (c.meanwhile == Meanwhile::kTaken) {
          admin.Command("SET %s %s PX %d", lock_key.c_str(), "another-writer", 10000);
        } else {
          admin.Command("DEL %s", lock_key.c_str());
        }
      }
      if (c.meanwhile == Meanwhile::kTaken && pg) {
        b = MakeOther();
        b->LockIndex(milliseconds(1000));
      }
      if (c.meanwhile == Meanwhile::kLapsedAndWritten) MakeOther()->PushItem(kGuardKey, Bytes{8, 8});

      EXPECT_EQ(ErrorOf([&] { a_data->BatchPushVariable(keys, values); }), c.error);
      EXPECT_EQ(a->HoldsIndexLock(), c.error.empty());
      EXPECT_EQ(a_data->BatchGetVariable(keys), c.error.empty() ? values : std::vector<Bytes>(3));
      if (c.error.empty()) {
        EXPECT_THAT(ErrorOf([&] { MakeOther()->LockIndex(milliseconds(30)); }), HasSubstr("Timed out after"));
      }
      a->UnlockIndex();
      if (b) b->UnlockIndex();
      if (!pg) dz_test::RedisAdmin(conn_).Command("DEL %s", lock_key.c_str());
    }
  }
}

// A child forked from a writer inherits the socket of the parent's session. Sharing it, the child
// would hold the parent's lock (a PostgreSQL advisory lock is the session's; a Redis key holds the
// connection's token) and its copy's end would close the parent's session.
TEST_P(WriterLockTest, AForkedChildWorksOnASessionOfItsOwn) {
  bs::StoreConnections first;
  auto a = Make(first);
  a->PushItem(5, Bytes{5});
  a->LockIndex(milliseconds(1000));
  const std::string failure = dz_test::RunInForkedChild([&] {
    std::string f;
    if (a->HoldsIndexLock()) f += "holds the parent's lock; ";
    const std::string error = ErrorOf([&] { a->LockIndex(milliseconds(100)); });
    if (error.find("Timed out after") == std::string::npos) f += "took the parent's lock (" + error + "); ";
    if (a->GetItem(5) != Bytes{5}) f += "read wrong; ";
    a->PushItem(6, Bytes{6});
    a.reset();  // the last store of the connection: it closes here
    return f;
  });
  EXPECT_EQ(failure, "");
  // The parent's session is the one it had, its lock still its own, and it sees the child's write.
  if (GetParam() == Server::Postgres) {
    EXPECT_EQ(dz_test::PgAdmin(*dz_test::PostgresConnString()).WaitForBackends(app_, 1), 1);
  }
  EXPECT_TRUE(a->HoldsIndexLock());
  a->CheckIndexLock();
  EXPECT_EQ(a->GetItem(6), Bytes{6});
  EXPECT_THAT(ErrorOf([&] { MakeOther()->LockIndex(milliseconds(30)); }), HasSubstr("Timed out after"));
  a->UnlockIndex();
}

class RedisLockRenewalTest : public WriterLockTest {};

TEST_P(RedisLockRenewalTest, RenewalKeepsTheLockPastItsExpiry) {
  ShortRedisLocks short_locks;
  bs::StoreConnections first;
  auto a = Make(first);
  a->LockIndex(milliseconds(1000));
  // Three expiries long, renewed by the lock check and by ordinary commands.
  const auto start = Clock::now();
  for (int i = 0; Since(start) < 3 * kShortExpiry; ++i) {
    if (i % 2 == 0) {
      a->CheckIndexLock();
    } else {
      a->GetItem(1);
    }
    std::this_thread::sleep_for(milliseconds(40));
  }
  EXPECT_TRUE(a->HoldsIndexLock());
  auto b = MakeOther();
  EXPECT_THAT(ErrorOf([&] { b->LockIndex(milliseconds(20)); }), HasSubstr("Timed out after"));

  // Left alone past its expiry, it goes to the next writer; the first learns it at once.
  std::this_thread::sleep_for(kShortExpiry + milliseconds(100));
  b->LockIndex(milliseconds(1000));
  const auto check = Clock::now();
  EXPECT_EQ(ErrorOf([&] { a->CheckIndexLock(); }), kHeldByAnother);
  EXPECT_LT(Since(check), milliseconds(100));
  EXPECT_FALSE(a->HoldsIndexLock());
  EXPECT_TRUE(b->HoldsIndexLock());
}

// An index whose items live on another server: the lock of its index store's server comes with a
// companion lock on the items' server, which fences the writes there as the first fences its own.
// A companion lost behind the writer's back fails the write, and every later write of it, on
// either server; one that lapsed while the index's lock held is taken back and the write goes on.
TEST(CompanionLock, TheItemsServerFencesItsWritesByALockOfItsOwn) {
  const auto plain = dz_test::RedisConnString();
  const auto tls = dz_test::RedisTlsConnString();
  const auto pg = dz_test::PostgresConnString();
  if (!plain || !tls || !pg) {
    if (dz_test::RunningInCi()) FAIL() << "test servers missing";
    GTEST_SKIP() << "start the servers with scripts/test";
  }
  const std::string pg_conn = *pg + " application_name=" + dz_test::UniqueTestName("dz_cmp_");
  for (const bool items_on_postgres : {false, true}) {
    SCOPED_TRACE(items_on_postgres ? "items on PostgreSQL" : "items on the TLS Redis server");
    const std::string table = dz_test::FreshTableName("cmp_items");
    const uint64_t hash = dz_test::FreshHash();
    const ostrik::DBConfig items_location = items_on_postgres ? dz_test::Location(Server::Postgres, pg_conn, table)
                                                              : dz_test::Location(Server::RedisTls, *tls, table);
    bs::StoreConnections connections;
    auto index = bs::CreateKeystore(dz_test::Location(Server::Redis, *plain, table), "idx", hash, bs::INDEX,
                                    connections);
    auto items = bs::CreateKeystore(items_location, "idx", hash, bs::ITEMS, connections);
    const std::string companion = bs::RedisStoreConnection::LockKeyOf(hash);
    auto companion_held = [&] {
      if (items_on_postgres) {
        return dz_test::PgAdmin(*pg).Sql("SELECT COUNT(*) FROM pg_locks l JOIN pg_stat_activity a USING (pid) "
                                         "WHERE l.locktype = 'advisory' AND a.application_name = $1",
                                         {pg_conn.substr(pg_conn.rfind('=') + 1)}) == "1";
      }
      auto reply = dz_test::RedisAdmin(*tls).Command("EXISTS %s", companion.c_str());
      return reply && reply->integer == 1;
    };

    index->LockIndex(milliseconds(1000));
    index->PushItem(kGuardKey, Bytes{7});
    index->SetLockGuard(kGuardKey, Bytes{7});
    EXPECT_TRUE(companion_held());
    EXPECT_FALSE(items->HoldsIndexLock());
    items->PushItem(1, Bytes{1});

    // Lapsed (or gone with a session) while the index's lock held: taken back, the write goes on.
    if (items_on_postgres) {
      bs::PgResult r(PQexec(connections.Postgres(pg_conn)->get(), "SELECT pg_advisory_unlock_all()"));
      ASSERT_EQ(bs::PgStatus(r), PGRES_TUPLES_OK);
    } else {
      dz_test::RedisAdmin(*tls).Command("DEL %s", companion.c_str());
    }
    items->PushItem(2, Bytes{2});
    EXPECT_EQ(items->GetItem(2), Bytes{2});
    EXPECT_TRUE(companion_held());

    if (!items_on_postgres) {
      // Taken by another writer behind this one's back: refused there, and from then on everywhere.
      dz_test::RedisAdmin(*tls).Command("SET %s %s PX %d", companion.c_str(), "another-writer", 10000);
      EXPECT_EQ(ErrorOf([&] { items->PushItem(3, Bytes{3}); }), kHeldByAnother);
      EXPECT_EQ(ErrorOf([&] { index->PushItem(4, Bytes{4}); }), kHeldByAnother);
      EXPECT_TRUE(items->GetItem(3).empty());
      EXPECT_TRUE(index->GetItem(4).empty());
      dz_test::RedisAdmin(*tls).Command("DEL %s", companion.c_str());
    }
    index->UnlockIndex();
    EXPECT_FALSE(companion_held());
    // Without a write under way, writes go as they are.
    items->PushItem(5, Bytes{5});
    EXPECT_EQ(items->GetItem(5), Bytes{5});
    items->DeleteIndex();
    index->DeleteIndex();
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, WriterLockTest, ::testing::Values(Server::Postgres, Server::Redis, Server::RedisTls),
                         dz_test::ServerName);
INSTANTIATE_TEST_SUITE_P(Servers, RedisLockRenewalTest, ::testing::Values(Server::Redis, Server::RedisTls),
                         dz_test::ServerName);

// A memory store is one process's: the lock members do nothing. The fault wrapper forwards them
// and fails them on request.
TEST(WriterLockMembers, MemoryStoresDoNothingAndTheWrapperForwards) {
  auto memory = bs::CreateKeystore(ostrik::DBConfig("memory"), "idx", 1, bs::INDEX);
  memory->LockIndex(milliseconds(0));
  memory->LockIndex(milliseconds(0));
  EXPECT_FALSE(memory->HoldsIndexLock());
  memory->CheckIndexLock();
  memory->UnlockIndex();

  DZ_REQUIRE_SERVER(conn, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
  std::unique_ptr<bs::Keystore> slot = bs::CreateKeystore(
      dz_test::PostgresLocation(conn, dz_test::FreshTableName("lk_wrap")), "idx", dz_test::FreshHash(), bs::INDEX);
  dz_test::FaultyKeystore* faulty = dz_test::FaultyKeystore::Wrap(slot);
  using Op = dz_test::FaultyKeystore::Op;
  faulty->Arm(dz_test::FaultyKeystore::Mode::kFailCall, 1, Op::LockIndex);
  EXPECT_THAT(ErrorOf([&] { slot->LockIndex(milliseconds(100)); }), HasSubstr(dz_test::kInjectedFault));
  EXPECT_FALSE(slot->HoldsIndexLock());
  slot->LockIndex(milliseconds(100));
  EXPECT_TRUE(slot->HoldsIndexLock());
  slot->SetLockGuard(kGuardKey, Bytes{1});
  slot->CheckIndexLock();
  // The release always reaches the store.
  faulty->Arm(dz_test::FaultyKeystore::Mode::kFailCall, 1);
  slot->UnlockIndex();
  EXPECT_FALSE(slot->HoldsIndexLock());
  EXPECT_FALSE(faulty->fired());
  EXPECT_EQ(faulty->calls(Op::LockIndex), 2u);
}

}  // namespace
