// Interrupted writes: whatever store call of an upsert, a delete or a deletion of the index fails
// (refused, reply lost, or the store gone from then on), the same object's next operation and a
// fresh load find every item whole in its old or its new version, and repeating the operation
// completes it.
#include <gtest/gtest.h>

#include <functional>

#include "durability.h"
#include "index_fixture.h"
#include "support/faulty_keystore.h"

namespace index_test {
namespace {

using dz_test::FaultyKeystore;
namespace ts = ostrik_encrypted_index::internal::token_store;

ostrik::TrainParams QuickTraining() {
  ostrik::TrainParams p;
  p.max_iters = 3;
  p.batch_size = 0;
  return p;
}

struct Operation {
  const char* name;
  bool trained;
  std::function<void(ostrik::EncryptedIndex&)> run;
  // What a complete run leaves, and the ids that may be absent midway.
  std::map<std::string, ItemVersion> after;
  std::set<std::string> absent_ok;
};

std::vector<Operation> Operations(const Versions& v) {
  const auto v1 = ByIdOf(v.v1);
  const auto v2 = ByIdOf(v.v2);
  std::set<std::string> only_new;
  for (const auto& [id, item] : v2) {
    if (v1.count(id) == 0) only_new.insert(id);
  }
  std::map<std::string, ItemVersion> upserted = v1;
  for (const auto& [id, item] : v2) upserted[id] = item;
  std::vector<std::string> doomed(v.v1.ids.begin(), v.v1.ids.begin() + v.v1.ids.size() / 2);
  std::map<std::string, ItemVersion> remaining = v1;
  for (const auto& id : doomed) remaining.erase(id);
  std::set<std::string> all;
  for (const auto& [id, item] : v1) all.insert(id);
  auto upsert = [&v](ostrik::EncryptedIndex& index) {
    index.Upsert(v.v2.vectors, v.v2.ids, v.v2.contents, v.v2.metadata);
  };
  return {
      {"re-upsert with contents", false, upsert, upserted, only_new},
      {"re-upsert moving items between lists", true, upsert, upserted, only_new},
      {"delete", true, [doomed](ostrik::EncryptedIndex& index) { index.Delete(doomed); }, remaining,
       std::set<std::string>(doomed.begin(), doomed.end())},
      {"delete_index", false, [](ostrik::EncryptedIndex& index) { index.DeleteIndex(); }, {}, all},
  };
}

class IndexDurability : public IndexTest {
 protected:
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
    struct Slot {
      const char* name;
      FaultyKeystore* (*wrap)(ts::TokenIndex&);
    };
    const std::vector<Slot> slots = {
        {"index", [](ts::TokenIndex& e) { return FaultyKeystore::Wrap(e.index_store_); }},
        {"data", [](ts::TokenIndex& e) { return FaultyKeystore::Wrap(e.data_store_); }},
        {"config", [](ts::TokenIndex& e) { return FaultyKeystore::Wrap(e.config_store_); }},
        {"items", [](ts::TokenIndex& e) { return FaultyKeystore::Wrap(e.items_store_); }},
    };
    for (const Operation& op : Operations(v)) {
      for (const Slot& slot : slots) {
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
            bool failed = false;
            try {
              op.run(index);
            } catch (const std::exception& e) {
              failed = true;
              EXPECT_NE(std::string(e.what()).find(dz_test::kInjectedFault), std::string::npos) << e.what();
            }
            store->Disarm();
            if (!store->fired()) {
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

INSTANTIATE_TEST_SUITE_P(Stores, IndexDurability, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PersistentDurability, testing::Values(Backend::Postgres, Backend::Redis),
                         BackendName);

}  // namespace
}  // namespace index_test
