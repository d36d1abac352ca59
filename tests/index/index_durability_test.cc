// Interrupted writes: whatever store call of an upsert, a delete or a deletion of the index fails
// (refused, reply lost, or the store gone from then on), the same object's next operation and a
// fresh load find every item whole in its old or its new version, and repeating the operation
// completes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "durability.h"
#include "index_fixture.h"
#include "stores/redis_store_connection.h"
#include "support/faulty_keystore.h"

namespace index_test {
namespace {

using dz_test::FaultyKeystore;
namespace ts = ostrik_encrypted_index::internal::token_store;

class IndexDurability : public IndexTest {
 public:
  // A fresh index holding version 1, trained when the operation wants it; one thread, since the
  // sweeps run hundreds of tiny operations.
  std::unique_ptr<ostrik::EncryptedIndex> Fresh(const std::string& name, const Versions& v, bool trained) {
    auto index = MakeClient(1).CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists), 0,
                                           nullptr);
    index->Upsert(v.v1.vectors, v.v1.ids, v.v1.contents, v.v1.metadata);
    if (trained) index->TrainIndex(QuickTraining());
    return index;
  }

  // Each case removes its index at once: hundreds of open indexes would exhaust the servers.
  static void Remove(std::unique_ptr<ostrik::EncryptedIndex>& index) {
    if (EncryptedIndexTestAccess::Connected(*index)) {
      try {
        index->DeleteIndex();
      } catch (const std::exception& e) {
        ADD_FAILURE() << "cleanup: " << e.what();
      }
    }
    index.reset();
  }

  // The object that saw the failure and a freshly loaded one both find each item whole; a
  // deletion of the index may have finished (then nothing loads and the object reads as gone).
  void ExpectWhole(ostrik::EncryptedIndex& index, const std::string& name, const Operation& op,
                   const std::map<std::string, ItemVersion>& before) {
    bool gone = false;
    try {
      ExpectEachItemWhole(index, before, op.after, op.absent_ok);
    } catch (const ostrik::IndexGoneError&) {
      gone = true;
    }
    if (!persistent()) return;
    try {
      auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
      EXPECT_FALSE(gone) << "the object reads as gone while the index loads";
      ExpectEachItemWhole(*reloaded, before, op.after, op.absent_ok);
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(std::string(op.name) == "delete_index") << "the index no longer loads: " << e.what();
    }
  }

  void Sweep(const std::vector<FaultyKeystore::Mode>& modes) {
    const Versions v = MakeVersions(16);
    const auto before = ByIdOf(v.v1);
    for (const Operation& op : Operations(v)) {
      // Training has a sweep of its own (index_faults_test.cc).
      if (std::string(op.name) == "train") continue;
      for (const StoreSlot& slot : StoreSlots()) {
        for (FaultyKeystore::Mode mode : modes) {
          for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + ", " + slot.name + " store, call " + std::to_string(n) +
                         (mode == FaultyKeystore::Mode::kFailCall   ? ", refused"
                          : mode == FaultyKeystore::Mode::kLostReply ? ", reply lost"
                                                                     : ", store gone"));
            const std::string name = UniqueName("d");
            std::unique_ptr<ostrik::EncryptedIndex> owned = Fresh(name, v, op.trained);
            ostrik::EncryptedIndex& index = *owned;
            FaultyKeystore* store = slot.wrap(EncryptedIndexTestAccess::Engine(index));
            store->Arm(mode, n);
            const std::shared_ptr<const bool> fired = store->FiredFlag();
            bool failed = false;
            try {
              op.run(index);
            } catch (const std::exception& e) {
              failed = true;
              EXPECT_NE(std::string(e.what()).find(dz_test::kInjectedFault), std::string::npos) << e.what();
            }
            // An operation that disconnects the index (delete_index) has destroyed the wrapper.
            if (EncryptedIndexTestAccess::Connected(index)) store->Disarm();
            if (!*fired) {
              EXPECT_FALSE(failed);
              Remove(owned);
              break;
            }
            ASSERT_TRUE(failed) << "a failed write was reported as success";
            ExpectWhole(index, name, op, before);
            if (HasFailure()) return;
            // Repeating the operation completes it.
            if (EncryptedIndexTestAccess::Connected(index)) op.run(index);
            if (EncryptedIndexTestAccess::Connected(index)) {
              EXPECT_EQ(ExpectEachItemWhole(index, op.after, op.after, {}), 0u);
            }
            Remove(owned);
          }
        }
      }
    }
  }
};

TEST_P(IndexDurability, EveryInterruptedWriteLeavesEachItemWhole) {
  if (persistent()) {
    Sweep({FaultyKeystore::Mode::kFailCall, FaultyKeystore::Mode::kLostReply});
  } else {
    Sweep({FaultyKeystore::Mode::kFailCall, FaultyKeystore::Mode::kLostReply, FaultyKeystore::Mode::kDeadFrom});
  }
}

// A deletion cut short leaves an index that loads and can be deleted again; the name then starts
// afresh, and an item of an old id without contents comes back without the old contents.
using PersistentDurability = IndexDurability;  // a memory index cannot be loaded again

TEST_P(PersistentDurability, InterruptedDeletionLeavesALoadableIndex) {
  const Versions v = MakeVersions(8);
  const std::string name = UniqueName();
  {
    auto index = Fresh(name, v, false);
    FaultyKeystore* config = FaultyKeystore::Wrap(EncryptedIndexTestAccess::Engine(*index).config_store_);
    config->Arm(FaultyKeystore::Mode::kFailCall, 1, FaultyKeystore::Op::DeleteIndex);
    EXPECT_THROW(index->DeleteIndex(), std::runtime_error);
    config->Disarm();
  }
  auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
  EXPECT_TRUE(reloaded->Get(v.v1.ids, {}).empty());
  reloaded->DeleteIndex();
  EXPECT_THROW(MakeClient().LoadIndex(name, Key(), 0, nullptr), std::runtime_error);
  ostrik::EncryptedIndex& again = Create(name, ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists));
  again.Upsert(v.v1.Rows({0}), {v.v1.ids[0]}, {}, {});
  const auto got = again.Get({v.v1.ids[0]}, {});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].contents.empty());
}

// How a worker process ended, and what it printed.
struct WorkerRun {
  bool killed = false;
  int exit_code = -1;
  std::string out;
};

WorkerRun RunWorker(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  const std::string path = DZ_DURABILITY_WORKER;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  WorkerRun run;
  if (spawned != 0) {
    close(pipe_fds[0]);
    throw std::runtime_error("could not start " + path);
  }
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, static_cast<size_t>(got));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

// A writing process killed at a call of any of its stores: a reload finds every item whole in its
// old or new version, and repeating the operation completes it.
TEST_P(PersistentDurability, KilledWriterLeavesEachItemWhole) {
  // A killed worker's Redis lock expires within the worker's short expiry; this process takes
  // locks of the same length.
  namespace bs = ostrik_encrypted_index::internal::backing_store;
  bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(500), std::chrono::milliseconds(100));
  struct Restore {
    ~Restore() { bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(0), std::chrono::milliseconds(0)); }
  } restore;
  const Versions v = MakeVersions(16);
  const auto before = ByIdOf(v.v1);
  const std::string kind = GetParam() == Backend::Postgres ? "postgres" : "redis";
  const char* slots[] = {"index", "data", "config", "items"};
  for (const Operation& op : Operations(v)) {
    // The calls each store sees in a whole run.
    std::vector<uint64_t> calls(4);
    {
      const std::string name = UniqueName("k");
      auto index = Fresh(name, v, op.trained);
      index.reset();
      const WorkerRun run = RunWorker({kind, name, op.name, "none", "0"});
      ASSERT_EQ(run.exit_code, 0) << op.name << ": " << run.out;
      std::istringstream in(run.out);
      std::string word;
      in >> word >> calls[0] >> calls[1] >> calls[2] >> calls[3];
      ASSERT_EQ(word, "calls") << run.out;
      if (std::string(op.name) != "delete_index") {
        auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
        Remove(reloaded);
      }
    }
    for (size_t s = 0; s < 4; ++s) {
      // The first calls, one in the middle and the last: the steps where a write starts, runs
      // and ends.
      std::set<uint64_t> points;
      for (uint64_t n : {uint64_t{1}, uint64_t{2}, calls[s] / 2, calls[s]}) {
        if (n >= 1 && n <= calls[s]) points.insert(n);
      }
      for (uint64_t n : points) {
        SCOPED_TRACE(std::string(op.name) + ", killed at call " + std::to_string(n) + " of the " + slots[s] + " store");
        const std::string name = UniqueName("k");
        Fresh(name, v, op.trained).reset();
        const WorkerRun run = RunWorker({kind, name, op.name, slots[s], std::to_string(n)});
        ASSERT_TRUE(run.killed) << "exit " << run.exit_code << ": " << run.out;
        std::unique_ptr<ostrik::EncryptedIndex> reloaded;
        try {
          reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
        } catch (const std::runtime_error& e) {
          // Only a deletion that removed the config items is allowed to leave nothing to load.
          EXPECT_EQ(std::string(op.name), "delete_index") << e.what();
          continue;
        }
        ExpectEachItemWhole(*reloaded, before, op.after, op.absent_ok);
        op.run(*reloaded);
        if (EncryptedIndexTestAccess::Connected(*reloaded)) {
          EXPECT_EQ(ExpectEachItemWhole(*reloaded, op.after, op.after, {}), 0u);
        }
        Remove(reloaded);
        if (HasFailure()) return;
      }
    }
  }
}

// A head left pending with no intent to finish (as an earlier version's failed writer could leave
// it) is repaired by the first one to take the lock, here a reader; later readers take no lock.
TEST_P(PersistentDurability, AHeadPendingWithoutAnIntentIsRepairedOnce) {
  const Versions v = MakeVersions(16);
  const std::string name = UniqueName("p");
  Fresh(name, v, false).reset();
  auto index = MakeClient().LoadIndex(name, Key(), 0, nullptr);
  auto& engine = EncryptedIndexTestAccess::Engine(*index);
  ts::IndexHead head = ts::IndexHead::Decode(engine.index_store_->GetItem(ts::kIndexHeadKey));
  ASSERT_TRUE(head.present);
  head.pending = true;
  engine.index_store_->PushItem(ts::kIndexHeadKey, head.Encode());
  ASSERT_TRUE(engine.index_store_->GetItem(ts::kIntentKey).empty());

  FaultyKeystore* store = FaultyKeystore::Wrap(engine.index_store_);
  const FloatMatrix q{1, kDurabilityDim, std::vector<float>(kDurabilityDim, 0.5f)};
  EXPECT_EQ(Row(index->Query(q, Everything()), 0).size(), v.v1.ids.size());
  EXPECT_EQ(store->calls(FaultyKeystore::Op::LockIndex), 1u);
  EXPECT_FALSE(ts::IndexHead::Decode(store->inner().GetItem(ts::kIndexHeadKey)).pending);
  for (int i = 0; i < 3; ++i) index->Query(q, Everything());
  EXPECT_EQ(store->calls(FaultyKeystore::Op::LockIndex), 1u) << "every query takes the writer lock";
  ExpectEachItemWhole(*index, ByIdOf(v.v1), ByIdOf(v.v1), {});
  Remove(index);
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexDurability, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PersistentDurability, testing::Values(Backend::Postgres, Backend::Redis),
                         BackendName);

}  // namespace
}  // namespace index_test

namespace index_test {
namespace {

class RedisNames : public IndexTest {};

// Redis item hashes are named by the name and key alone: a second index of that name and key in
// another config table would share the first one's items, so it is refused.
TEST_P(RedisNames, SameNameInAnotherConfigTableIsRefused) {
  const Versions v = MakeVersions(6);
  const std::string name = UniqueName();
  ostrik::EncryptedIndex& first = Create(name, ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists));
  first.Upsert(v.v1.vectors, v.v1.ids, v.v1.contents, v.v1.metadata);
  ostrik::DBConfig other("redis", "dz_index_other", *index_.connection_string);
  ostrik::Client second(other, other, other);
  try {
    second.CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists), 0, nullptr);
    ADD_FAILURE() << "created";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to create index: Index name " + name + " already exists");
  }
  EXPECT_EQ(ExpectEachItemWhole(first, ByIdOf(v.v1), ByIdOf(v.v1), {}), 0u);
  EXPECT_EQ(first.Get(v.v1.ids, {}).size(), v.v1.ids.size());
}

class PostgresLeftovers : public IndexTest {};

// What a deletion that stopped after removing only the config items left behind (as older
// versions ordered it) is removed by the next create of the name: old contents never come back.
TEST_P(PostgresLeftovers, CreateRemovesDataNoIndexNames) {
  const Versions v = MakeVersions(6);
  const std::string name = UniqueName();
  {
    auto index = MakeClient().CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists), 0,
                                          nullptr);
    index->Upsert(v.v1.vectors, v.v1.ids, v.v1.contents, v.v1.metadata);
    EncryptedIndexTestAccess::Engine(*index).config_store_->DeleteIndex();
  }
  ostrik::EncryptedIndex& again = Create(name, ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists));
  EXPECT_TRUE(again.Get(v.v1.ids, {}).empty());
  again.Upsert(v.v1.Rows({0}), {v.v1.ids[0]}, {}, {});
  const auto got = again.Get({v.v1.ids[0]}, {});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].contents.empty()) << "old contents came back";
  EXPECT_EQ(ExpectEachItemWhole(again, {}, {{v.v1.ids[0], ItemVersion{got[0].vector, "", {}}}}, {}), 1u);
}

INSTANTIATE_TEST_SUITE_P(Stores, RedisNames, testing::Values(Backend::Redis), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PostgresLeftovers, testing::Values(Backend::Postgres), BackendName);

}  // namespace
}  // namespace index_test

// Real faults in the middle of an operation: its connection dropped by the server, or the server
// restarted. The store reconnects, takes the writer lock back and repeats the call, so the
// operation completes and every item is in its new version.
#include "stores/server_faults.h"

namespace index_test {
namespace {

class IndexReconnect : public IndexDurability {
 protected:
  void SetUp() override {
    IndexDurability::SetUp();
    if (GetParam() == Backend::Postgres) {
      // Named so that exactly this test's connections can be dropped.
      const std::string conn = *index_.connection_string + " application_name=dz_index_drop";
      index_.connection_string = config_.connection_string = items_.connection_string = conn;
    }
  }

  void Drop() {
    if (GetParam() == Backend::Postgres) {
      dz_test::PgAdmin admin(*dz_test::PostgresConnString());
      EXPECT_GE(admin.Terminate("dz_index_drop"), 1);
    } else {
      dz_test::RedisAdmin admin(*dz_test::RedisConnString());
      EXPECT_GE(admin.KillOthers(), 1);
    }
  }
  void Restart() {
    EXPECT_TRUE(dz_test::ServerCtl(GetParam() == Backend::Postgres ? dz_test::Server::Postgres : dz_test::Server::Redis,
                                   "restart"));
  }
};

TEST_P(IndexReconnect, OperationsCompleteAcrossADroppedConnectionAndARestart) {
  const Versions v = MakeVersions(16);
  for (const Operation& op : Operations(v)) {
    // The calls of the index store in a whole run; the data store shares its connection (and so
    // its writer lock).
    uint64_t calls = 0;
    {
      auto probe = Fresh(UniqueName("p"), v, op.trained);
      FaultyKeystore* store = FaultyKeystore::Wrap(EncryptedIndexTestAccess::Engine(*probe).index_store_);
      // Held here too: delete_index disconnects the index, which drops its stores.
      const auto held = EncryptedIndexTestAccess::Engine(*probe).index_store_;
      op.run(*probe);
      calls = store->calls();
      Remove(probe);
    }
    struct Fault {
      bool restart;
      uint64_t nth;
    };
    const std::vector<Fault> faults = {
        {false, 1}, {false, calls / 3 + 1}, {false, 2 * calls / 3 + 1}, {false, calls}, {true, calls / 2 + 1}};
    for (const Fault& fault : faults) {
      SCOPED_TRACE(std::string(op.name) + ", " + (fault.restart ? "server restarted" : "connection dropped") +
                   " before index-store call " + std::to_string(fault.nth) + " of " + std::to_string(calls));
      const std::string name = UniqueName("r");
      auto index = Fresh(name, v, op.trained);
      FaultyKeystore* store = FaultyKeystore::Wrap(EncryptedIndexTestAccess::Engine(*index).index_store_);
      const auto held = EncryptedIndexTestAccess::Engine(*index).index_store_;
      store->ArmHook(fault.nth, [&] { fault.restart ? Restart() : Drop(); });
      try {
        op.run(*index);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the operation failed: " << e.what();
        return;
      }
      EXPECT_TRUE(store->fired());
      store->Disarm();
      if (!EncryptedIndexTestAccess::Connected(*index)) {
        EXPECT_THROW(MakeClient().LoadIndex(name, Key(), 0, nullptr), std::runtime_error);
        continue;
      }
      EXPECT_EQ(ExpectEachItemWhole(*index, op.after, op.after, {}), 0u);
      auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
      EXPECT_EQ(ExpectEachItemWhole(*reloaded, op.after, op.after, {}), 0u);
      reloaded.reset();
      Remove(index);
      if (HasFailure()) return;
    }
  }
}

// The four stores of an index on one server share one connection: 26 open indexes no longer
// exhaust PostgreSQL's default 100 connections.
TEST_P(IndexReconnect, AnOpenIndexHoldsOneConnection) {
  std::vector<std::unique_ptr<ostrik::EncryptedIndex>> open;
  if (GetParam() == Backend::Postgres) {
    dz_test::PgAdmin admin(*dz_test::PostgresConnString());
    const int before = admin.Backends("dz_index_drop");
    for (int i = 0; i < 3; ++i) open.push_back(Fresh(UniqueName("c"), MakeVersions(4), false));
    EXPECT_EQ(admin.WaitForBackends("dz_index_drop", before + 3), before + 3);
  } else {
    dz_test::RedisAdmin admin(*dz_test::RedisConnString());
    const long long before = admin.WaitForOtherClients(0);
    for (int i = 0; i < 3; ++i) open.push_back(Fresh(UniqueName("c"), MakeVersions(4), false));
    EXPECT_EQ(admin.WaitForOtherClients(before + 3), before + 3);
  }
  for (auto& index : open) Remove(index);
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexReconnect, testing::Values(Backend::Postgres, Backend::Redis), BackendName);

}  // namespace
}  // namespace index_test
