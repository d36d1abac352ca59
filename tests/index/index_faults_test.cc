// The index layer under failing stores, hostile stored data and awkward input: nothing stored is
// lost, nothing refused is half-written, and nothing an untrusted store hands back is used blindly.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <thread>

#include "core/sha3.h"
#include "index_fixture.h"
#include "support/faulty_keystore.h"

namespace index_test {
namespace {

using dz_test::FaultyKeystore;
namespace ts = ostrik_encrypted_index::internal::token_store;

constexpr size_t kDim = 4;
constexpr int kLists = 3;

ostrik::QueryParams AllOf(uint64_t top_k = 1000, uint64_t n_probes = 1000) {
  ostrik::QueryParams p;
  p.top_k = top_k;
  p.n_probes = n_probes;
  return p;
}

std::set<std::string> Ids(const ostrik::QueryResults& r, size_t q = 0) {
  std::set<std::string> out;
  for (const Hit& h : Row(r, q)) out.insert(h.id);
  return out;
}

// Every item of the data set can be read back whole and is found by an exhaustive query.
void ExpectAllItems(ostrik::EncryptedIndex& index, const Dataset& ds) {
  const auto got = index.Get(ds.ids, {});
  ASSERT_EQ(got.size(), ds.ids.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, ds.ids[i]);
    EXPECT_EQ(got[i].vector, std::vector<float>(ds.vectors.row(i), ds.vectors.row(i) + ds.vectors.cols));
    EXPECT_EQ(got[i].metadata, ds.metadata[i]);
    EXPECT_EQ(got[i].contents, ds.contents[i]) << ds.ids[i];
  }
  EXPECT_EQ(Ids(index.Query(ds.Rows({0}), AllOf())), std::set<std::string>(ds.ids.begin(), ds.ids.end()));
}

using IndexFaults = IndexTest;
// Cases about one kind of store, run only on it.
using MemoryFaults = IndexTest;
using PersistentFaults = IndexTest;
using PostgresFaults = IndexTest;

TEST_P(IndexFaults, EngineRefusalOfAnUntrainedUpsertIsAnError) {
  const Dataset ds = Clustered(12, kDim, kLists);
  // An engine built with the GPU flag refuses every batch.
  ostrik::EncryptedIndex& index =
      Keep(MakeClient(0, true).CreateIndex(UniqueName(), Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, nullptr));
  try {
    index.Upsert(ds.vectors, ds.ids, {}, {});
    FAIL() << "the upsert reported success";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error ingesting: CUDA support is required", 0), 0u) << e.what();
  }
}

TEST_P(IndexFaults, UntrainedUpsertFailureThrowsAndStoresNothing) {
  const Dataset ds = Clustered(12, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  FaultyKeystore* data = FaultyKeystore::Wrap(EncryptedIndexTestAccess::Engine(index).data_store_);
  data->Arm(FaultyKeystore::Mode::kFailCall, 1, FaultyKeystore::Op::BatchPushVariable);
  try {
    index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
    FAIL() << "the upsert reported success";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error ingesting: " + std::string(dz_test::kInjectedFault), 0), 0u)
        << e.what();
  }
  EXPECT_TRUE(index.Get(ds.ids, {}).empty());
  // Repeating the batch makes it whole.
  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
  ExpectAllItems(index, ds);
}

TEST_P(IndexFaults, DeletedItemsNeverComeBack) {
  const Dataset ds = Clustered(30, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists, "cosine"));
  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
  index.Delete({"item-1", "item-2"});
  std::set<std::string> live(ds.ids.begin(), ds.ids.end());
  live.erase("item-1");
  live.erase("item-2");
  // Placeholders would surface with an empty id, at the distance of a zero vector (1 for cosine).
  EXPECT_EQ(Ids(index.Query(ds.Rows({0, 5}), AllOf()), 0), live);
  EXPECT_EQ(Ids(index.Query(ds.Rows({0, 5}), AllOf()), 1), live);
  const std::string filter = R"({"tag": {"$ne": "never"}})";
  ostrik::QueryParams filtered = AllOf();
  filtered.filters = filter;
  EXPECT_EQ(Ids(index.Query(ds.Rows({0}), filtered)), live);

  // Training sees only live items; afterwards the deleted positions are gone for good.
  index.TrainIndex(QuickTraining());
  EXPECT_EQ(Ids(index.Query(ds.Rows({0}), AllOf())), live);
  EXPECT_EQ(Ids(index.Query(ds.Rows({0}), filtered)), live);
}

// Fifty thousand items are enough on one store.
TEST_P(MemoryFaults, UntrainedQueryWarningCountsStoredPositions) {
  const size_t n = 50000;
  FloatMatrix vectors{n, 2, std::vector<float>(2 * n)};
  std::vector<std::string> ids(n);
  for (size_t i = 0; i < n; ++i) {
    vectors.data[2 * i] = static_cast<float>(i);
    ids[i] = std::to_string(i);
  }
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(2, 4));
  index.Upsert(vectors, ids, {}, {});
  const std::string warning = "Warning: querying untrained index with more than 50000 indexed vectors.\n"
                              "Queries may be slow; consider calling `TrainIndex()` to speed up queries.\n";
  const FloatMatrix query{1, 2, {1.0f, 0.0f}};
  auto warned = [&] {
    testing::internal::CaptureStderr();
    index.Query(query, AllOf(1));
    return testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ(warned(), "");  // exactly the threshold
  // A deleted item keeps its position, so one more item makes 50,001 positions for 50,000 items.
  index.Delete({"7"});
  EXPECT_EQ(warned(), "");
  index.Upsert(FloatMatrix{1, 2, {0.5f, 0.5f}}, {"one more"}, {}, {});
  EXPECT_EQ(warned(), warning);
  EXPECT_EQ(warned(), warning);  // on every such query
}

TEST_P(IndexFaults, DeletedItemsDoNotCountTowardTheListCount) {
  const Dataset ds = Clustered(5, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, 4));
  index.Upsert(ds.vectors, ds.ids, {}, {});
  index.Delete({"item-0", "item-1"});
  EXPECT_THROW(index.TrainIndex(QuickTraining()), std::invalid_argument);
  EXPECT_FALSE(index.is_trained());
}

TEST_P(IndexFaults, RefusedUpsertsStoreNothing) {
  const Dataset ds = Clustered(3, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  FloatMatrix nan_rows = ds.vectors;
  nan_rows.data[5] = std::nanf("");
  FloatMatrix inf_rows = ds.vectors;
  inf_rows.data[11] = -std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    FloatMatrix vectors;
    std::vector<std::string> ids;
    std::vector<std::string> metadata;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty id", ds.vectors, {"a", "", "c"}, {}, "Item IDs cannot be empty."},
      {"NaN", nan_rows, ds.ids, {}, "The vector of item 'item-1' holds NaN or infinity."},
      {"infinity", inf_rows, ds.ids, {}, "The vector of item 'item-2' holds NaN or infinity."},
      {"array metadata", ds.vectors, ds.ids, {"{}", "[1]", ""}, "Metadata of item 'item-1' is not a JSON object."},
      {"broken metadata", ds.vectors, ds.ids, {"", "", "{\"a\":"}, "Metadata of item 'item-2' is not valid JSON."},
      {"scalar metadata", ds.vectors, ds.ids, {"3", "", ""}, "Metadata of item 'item-0' is not a JSON object."},
      {"metadata count", ds.vectors, ds.ids, {"{}"}, "Mismatch between the number of vectors and metadata."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      index.Upsert(c.vectors, c.ids, {}, c.metadata);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_TRUE(index.Get({"a", "c", "item-0", "item-1", "item-2"}, {}).empty());
}

TEST_P(IndexFaults, QueryVectorsMustBeFinite) {
  const Dataset ds = Clustered(6, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  index.Upsert(ds.vectors, ds.ids, {}, {});
  FloatMatrix q = ds.Rows({0});
  q.data[2] = std::numeric_limits<float>::infinity();
  EXPECT_THROW(index.Query(q, AllOf()), std::invalid_argument);
}

// Whatever store call of a training fails, the index is untrained or, once its trained
// configuration was stored, trained, every item whole either way (the next operation finishes or
// takes back what the training left); training an untrained one again succeeds.
TEST_P(IndexFaults, TrainingLosesNothing) {
  const Dataset ds = Clustered(24, kDim, kLists);
  for (const StoreSlot& slot : StoreSlots()) {
    for (FaultyKeystore::Mode mode : {FaultyKeystore::Mode::kFailCall, FaultyKeystore::Mode::kLostReply}) {
      uint64_t calls = 0;
      {
        ostrik::EncryptedIndex& probe = Create(UniqueName("p"), ostrik::IndexIVFFlat(kDim, kLists), 0, 1);
        probe.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
        FaultyKeystore* store = slot.wrap(EncryptedIndexTestAccess::Engine(probe));
        probe.TrainIndex(QuickTraining());
        calls = store->calls();
      }
      for (uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(std::string(slot.name) + " store, call " + std::to_string(n) +
                     (mode == FaultyKeystore::Mode::kFailCall ? ", refused" : ", reply lost"));
        const std::string name = UniqueName("s");
        // One thread: the sweep runs hundreds of tiny operations, each a parallel region otherwise.
        ostrik::EncryptedIndex& index = Create(name, ostrik::IndexIVFFlat(kDim, kLists), 0, 1);
        index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
        FaultyKeystore* store = slot.wrap(EncryptedIndexTestAccess::Engine(index));
        store->Arm(mode, n);
        bool failed = false;
        try {
          index.TrainIndex(QuickTraining());
        } catch (const std::exception& e) {
          failed = true;
          EXPECT_NE(std::string(e.what()).find(dz_test::kInjectedFault), std::string::npos) << e.what();
        }
        store->Disarm();
        if (failed) {
          if (persistent()) {
            // A reload finds every item whole, untrained or trained.
            auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
            ExpectAllItems(*reloaded, ds);
          }
          ExpectAllItems(index, ds);
          if (persistent()) {
            auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
            EXPECT_EQ(reloaded->is_trained(), index.is_trained());
          }
          if (!index.is_trained()) index.TrainIndex(QuickTraining());
        }
        EXPECT_TRUE(index.is_trained());
        ExpectAllItems(index, ds);
        if (persistent()) {
          auto reloaded = MakeClient().LoadIndex(name, Key(), 0, nullptr);
          EXPECT_TRUE(reloaded->is_trained());
        }
      }
    }
  }
}

TEST_P(IndexFaults, TrainAndSerializeLeavesNoOrphans) {
  const Dataset ds = Clustered(20, kDim, kLists);
  const std::string name = UniqueName();
  ostrik::EncryptedIndex& index = Create(name, ostrik::IndexIVFFlat(kDim, kLists));
  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);

  // Kept: the live index is exactly as it was, only the bytes are new.
  const ostrik::Bytes kept = index.TrainAndSerialize(ds.vectors, QuickTraining(), false);
  EXPECT_FALSE(index.is_trained());
  ExpectAllItems(index, ds);
  if (persistent()) {
    EXPECT_FALSE(MakeClient().LoadIndex(name, Key(), 0, nullptr)->is_trained());
  }

  // Deleted: the stored data goes and the index is disconnected with it.
  const ostrik::Bytes bytes = index.TrainAndSerialize(ds.vectors, QuickTraining(), true);
  EXPECT_FALSE(EncryptedIndexTestAccess::Connected(index));
  EXPECT_EQ(index.index_name(), "");
  EXPECT_THROW(index.Upsert(ds.vectors, ds.ids, {}, {}), std::logic_error);
  if (persistent()) {
    EXPECT_THROW(MakeClient().LoadIndex(name, Key(), 0, nullptr), std::runtime_error);
  }

  // Either byte string opens as a trained in-memory index that takes items.
  for (const ostrik::Bytes* b : {&kept, &bytes}) {
    ostrik::Client memory(ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), ostrik::DBConfig("memory"));
    auto loaded = memory.LoadSerializedIndex(*b, Key(), nullptr);
    EXPECT_TRUE(loaded->is_trained());
    EXPECT_EQ(loaded->index_name(), name);
    loaded->Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
    ExpectAllItems(*loaded, ds);
  }
}

TEST_P(IndexFaults, TrainAndSerializeChecksItsVectors) {
  const Dataset ds = Clustered(20, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  FloatMatrix wide{2, kDim + 1, std::vector<float>(2 * (kDim + 1), 1.0f)};
  EXPECT_THROW(index.TrainAndSerialize(wide, QuickTraining(), false), std::invalid_argument);
  EXPECT_THROW(index.TrainAndSerialize(ds.Rows({0, 1}), QuickTraining(), false), std::invalid_argument);
  FloatMatrix nan_rows = ds.vectors;
  nan_rows.data[0] = std::nanf("");
  EXPECT_THROW(index.TrainAndSerialize(nan_rows, QuickTraining(), false), std::invalid_argument);
  EXPECT_TRUE(EncryptedIndexTestAccess::Connected(index));
}

TEST_P(IndexFaults, WidthsAreRefusedNotTruncated) {
  ostrik::Client client = MakeClient();
  const std::string name = UniqueName();
  EXPECT_THROW(client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDim, uint64_t{1} << 31), 0, nullptr),
               std::invalid_argument);
  EXPECT_THROW(client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(uint64_t{1} << 32, kLists), 0, nullptr),
               std::invalid_argument);

  // top_k beyond 32 bits is clamped, not wrapped (2^32 + 5 would wrap to 5).
  const Dataset ds = Clustered(9, kDim, kLists);
  ostrik::EncryptedIndex& index = Keep(client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, nullptr));
  index.Upsert(ds.vectors, ds.ids, {}, {});
  EXPECT_EQ(Row(index.Query(ds.Rows({0}), AllOf((uint64_t{1} << 32) + 5)), 0).size(), 9u);
}

TEST_P(IndexFaults, GetDropsRecordsOfOtherItems) {
  const Dataset ds = Clustered(2, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  index.Upsert(ds.vectors, ds.ids, {}, ds.metadata);
  // The store swaps the two envelopes: each still decrypts, under the other item's label.
  ts::TokenIndex& engine = EncryptedIndexTestAccess::Engine(index);
  const std::vector<uint64_t> labels = ostrik::HashItemIds(ds.ids, engine.data_key_.data());
  std::vector<Bytes> values = engine.data_store_->BatchGetVariable(labels);
  std::swap(values[0], values[1]);
  engine.data_store_->BatchPushVariable(labels, values);
  testing::internal::CaptureStderr();
  const auto got = index.Get(ds.ids, {});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(got.empty());
  EXPECT_NE(err.find("[ERROR] Dropped the record found for item 'item-0': it belongs to another item"),
            std::string::npos)
      << err;
}

TEST_P(IndexFaults, ConcurrentCallsOnOneIndex) {
  const Dataset ds = Clustered(60, kDim, kLists);
  ostrik::EncryptedIndex& index = Create(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
  std::atomic<bool> unexpected{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        try {
          switch ((t + round) % 4) {
            case 0: index.Upsert(ds.Rows({size_t(round)}), {ds.ids[round]}, {}, {ds.metadata[round]}); break;
            case 1: index.Query(ds.Rows({size_t(t)}), AllOf(5)); break;
            case 2: index.Get({ds.ids[round]}, {}); break;
            case 3: index.Delete({"nothing-" + std::to_string(round)}); break;
          }
        } catch (const std::exception& e) {
          // Only a disconnected index may refuse.
          if (std::string(e.what()) != ostrik::kNotConnectedMessage) unexpected = true;
        }
      }
    });
  }
  threads.emplace_back([&] { index.DeleteIndex(); });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(unexpected.load());
  EXPECT_FALSE(EncryptedIndexTestAccess::Connected(index));
}

TEST_P(IndexFaults, FailedCreateLeavesTheNameFree) {
  const std::string name = UniqueName();
  ostrik::IndexIVFFlat bad(kDim, kLists);
  bad.index_type = 7;  // serialization refuses it after the engine has written its state
  EXPECT_THROW(MakeClient().CreateIndex(name, Key(), bad, 0, nullptr), std::runtime_error);
  ostrik::EncryptedIndex& index = Create(name, ostrik::IndexIVFFlat(kDim, kLists));
  EXPECT_EQ(index.index_name(), name);
}

TEST_P(IndexFaults, ListIndexesReadsTheConfigLocation) {
  const std::string a = UniqueName("a"), b = UniqueName("b");
  Create(a, ostrik::IndexIVFFlat(kDim, kLists));
  Create(b, ostrik::IndexIVFFlat(kDim, kLists));
  switch (GetParam()) {
    case Backend::Memory:
      EXPECT_TRUE(MakeClient().ListIndexes().empty());
      break;
    case Backend::Postgres: {
      const auto names = MakeClient().ListIndexes();
      EXPECT_EQ(std::count(names.begin(), names.end(), a), 1);
      EXPECT_EQ(std::count(names.begin(), names.end(), b), 1);
      break;
    }
    case Backend::Redis:
      EXPECT_THROW(MakeClient().ListIndexes(), std::invalid_argument);
      break;
  }
}

// A memory config location keeps nothing to load.
TEST_P(PersistentFaults, LoadRefusesAStoredIndexOfAnotherShape) {
  const std::string name = UniqueName();
  ostrik::Bytes wide_ovs;
  {
    ostrik::EncryptedIndex& first = Create(name, ostrik::IndexIVFFlat(kDim, kLists));
    wide_ovs = EncryptedIndexTestAccess::Engine(first).config_store_->LoadConfigItem(name + ".ovs");
    first.DeleteIndex();
  }
  // Same name and key, another shape: the old configuration item no longer fits the engine state.
  ostrik::EncryptedIndex& second = Create(name, ostrik::IndexIVFFlat(kDim * 2, kLists + 1));
  EncryptedIndexTestAccess::Engine(second).config_store_->PushConfigItem(name + ".ovs", wide_ovs);
  try {
    MakeClient().LoadIndex(name, Key(), 0, nullptr);
    FAIL() << "loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("is inconsistent"), std::string::npos) << e.what();
  }
}

// Of the test stores' connection strings, only PostgreSQL's carries a password.
TEST_P(PostgresFaults, PasswordsStayOutOfTheLog) {
  const std::string path = testing::TempDir() + "index_password_log.txt";
  std::remove(path.c_str());
  ostrik::Logger& logger = ostrik::Logger::instance();
  logger.configure(ostrik::INFO, true, path);
  const std::string conn = *index_.connection_string + " password=topsecret";
  ostrik::DBConfig index_location("postgres", *index_.table_name, conn);
  ostrik::DBConfig config_location("postgres", *config_.table_name, conn);
  ostrik::Client client(index_location, config_location, index_location);
  const std::string name = UniqueName();
  Keep(client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, &logger));
  Keep(client.LoadIndex(name, Key(), 0, &logger));
  logger.configure(ostrik::ERROR, false, "");
  std::ifstream in(path);
  std::stringstream log;
  log << in.rdbuf();
  EXPECT_EQ(log.str().find("topsecret"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("Creating new index with db: "), std::string::npos);
  EXPECT_NE(log.str().find("Loading existing index with db: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexFaults, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, MemoryFaults, testing::Values(Backend::Memory), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PersistentFaults, testing::Values(Backend::Postgres, Backend::Redis), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PostgresFaults, testing::Values(Backend::Postgres), BackendName);

}  // namespace
}  // namespace index_test
