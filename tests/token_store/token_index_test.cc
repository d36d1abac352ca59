// The engine on every store kind: adding and fetching by token, re-adding and deleting with the
// cache on and off, refused batches, the counts record, deletion, the load path and the engine
// state.
#include <gtest/gtest.h>

#include <omp.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include <libpq-fe.h>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "schemas/token_index_state_generated.h"
#include "stores/keystore_factory.h"
#include "token_store/encoded_item_record.h"
#include "token_store/engine_fixture.h"

namespace engine_test {
namespace {

class PersistentEngineTest : public EngineTest {};
// Needs a table that can be dropped under a live store.
class PostgresEngineTest : public EngineTest {};

TEST_P(EngineTest, AddedItemsComeBackGroupedInRequestOrder) {
  auto e = std::make_unique<ts::TokenIndex>(Setup(UniqueName()), nullptr);
  EXPECT_EQ(ToGroups(e->GetTokenItems({0}), 1), (Groups{{}}));  // empty untrained index
  const std::vector<ItemSpec> items = {{"a", 0, 1, "{\"k\":1}", ""}, {"b", 1, 2, "", ""}, {"c", 1, 3, "{}", ""},
                                   {"d", 2, 4, "{\"k\":4}", ""}, {"e", 0, 5, "", ""}};
  e->AddItems(Batch(items));
  Model m;
  m.Add(items);
  const std::vector<uint32_t> request = {1, 0, 3, 2, 1};
  EXPECT_EQ(ToGroups(e->GetTokenItems(request), request.size()), m.Fetch(request));
  EXPECT_EQ(e->token_counts_, (std::vector<uint32_t>{2, 2, 1, 0}));
  EXPECT_EQ(StoredCounts(*e), (std::vector<uint32_t>{2, 2, 1, 0}));
  const ostrik::ItemRecords none = e->GetTokenItems({});
  EXPECT_EQ(none.token_indices, (std::vector<uint64_t>{0}));
  EXPECT_TRUE(none.item_ids.empty());
  Drop(e);
}

// The same script on an engine with and one without a cache: every fetch (each made twice, so
// that the second may come from the cache) must equal the model.
TEST_P(EngineTest, ReAddAndDeleteGiveTheSameResultsWithAndWithoutCache) {
  auto cached = std::make_unique<ts::TokenIndex>(Setup(UniqueName("c"), 4, 8), nullptr);
  auto plain = std::make_unique<ts::TokenIndex>(Setup(UniqueName("p"), 4, 0), nullptr);
  Model m;
  Fetcher from_cached, from_plain;
  auto check = [&](const std::vector<uint32_t>& tokens, const std::string& step) {
    SCOPED_TRACE(step);
    const Groups expected = m.Fetch(tokens);
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(ToGroups(cached->GetTokenItems(tokens), tokens.size()), expected) << "cache on, round " << round;
      EXPECT_EQ(ToGroups(plain->GetTokenItems(tokens), tokens.size()), expected) << "cache off, round " << round;
    }
    from_cached.Check(*cached, tokens, expected, "cache on");
    from_plain.Check(*plain, tokens, expected, "cache off");
  };
  auto add = [&](const std::vector<ItemSpec>& items) {
    cached->AddItems(Batch(items));
    plain->AddItems(Batch(items));
    m.Add(items);
  };
  auto del = [&](const std::vector<std::string>& ids) {
    cached->DeleteItems(ids);
    plain->DeleteItems(ids);
    m.Delete(ids);
  };
  testing::internal::CaptureStdout();  // the cached engine reports "Token not found" lines
  add({{"a", 0, 1, "a1", ""}, {"b", 0, 2, "b1", ""}, {"c", 0, 3, "c1", ""}});
  check({0}, "three items");
  add({{"d", 0, 4, "d1", ""}});
  check({0}, "appended to a cached token");
  add({{"b", 1, 22, "b2", ""}});
  check({0, 1}, "b moved to token 1");
  del({"a"});
  check({0, 1}, "a deleted: placeholder");
  add({{"a", 0, 11, "a2", ""}});
  check({0}, "a added again after its deletion");
  add({{"e", 2, 5, "e1", ""}, {"e", 2, 55, "e2", ""}, {"f", 2, 6, "f1", ""}});
  check({0, 1, 2, 0}, "repeated id in a batch, repeated token in a request");
  add({{"c", 0, 33, "c2", ""}});
  check({0, 2}, "c re-added under the same token");
  add({{"b", 0, 222, "b3", ""}});
  check({0, 1}, "b back to token 0");
  del({"e", "zz"});
  check({2, 1, 0}, "e deleted, zz never stored");
  testing::internal::GetCapturedStdout();
  Drop(cached);
  Drop(plain);
}

// A refused batch, even one that re-adds a stored id, changes no store, count or cache entry.
TEST_P(EngineTest, RefusedBatchChangesNothing) {
  auto e = std::make_unique<ts::TokenIndex>(Setup(UniqueName(), 4, 4), nullptr);
  e->AddItems(Batch({{"a", 0, 1, "m", "ca"}, {"b", 1, 2, "m", "cb"}}, true, true));
  const Groups before = ToGroups(e->GetTokenItems({0, 1}), 2);
  const ostrik::Bytes counts_record = e->index_store_->GetItem(ts::kTokenCountsKey);
  const uint64_t index_items = e->index_store_->NumItems(), data_items = e->data_store_->NumItems(),
                 content_items = e->items_store_->NumItems();
  const std::vector<uint32_t> counts = e->token_counts_;

  struct Case {
    const char* name;
    ts::TokenItemBatch batch;
  };
  std::vector<Case> cases;
  cases.push_back({"token beyond the vocabulary", Batch({{"a", 0, 9, "", ""}, {"x", 4, 9, "", ""}})});
  {
    auto b = Batch({{"a", 0, 9, "", ""}, {"x", 1, 9, "", ""}});
    b.input_tokens.pop_back();
    cases.push_back({"fewer tokens than ids", b});
  }
  {
    auto b = Batch({{"a", 0, 9, "", ""}, {"x", 1, 9, "", ""}});
    b.payloads = ostrik::ByteMatrix(1, kWidth);
    cases.push_back({"fewer payload rows than items", b});
  }
  {
    auto b = Batch({{"a", 0, 9, "", ""}});
    b.payloads = ostrik::ByteMatrix(1, kWidth + 4);
    cases.push_back({"payload of another width", b});
  }
  {
    auto b = Batch({{"a", 0, 9, "", ""}, {"x", 1, 9, "", ""}});
    b.metadata.pop_back();
    cases.push_back({"metadata for some items only", b});
  }
  {
    auto b = Batch({{"a", 0, 9, "", "c"}, {"x", 1, 9, "", "c"}}, true, true);
    b.contents.pop_back();
    cases.push_back({"contents for some items only", b});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_ANY_THROW(e->AddItems(c.batch));
    EXPECT_EQ(e->token_counts_, counts);
    EXPECT_EQ(e->index_store_->GetItem(ts::kTokenCountsKey), counts_record);  // not even re-saved
    EXPECT_EQ(e->index_store_->NumItems(), index_items);
    EXPECT_EQ(e->data_store_->NumItems(), data_items);
    EXPECT_EQ(e->items_store_->NumItems(), content_items);
    EXPECT_EQ(e->token_cache_.size(), 2u);
    EXPECT_EQ(ToGroups(e->GetTokenItems({0, 1}), 2), before);
  }
  EXPECT_THROW(e->GetTokenItems({1, 4}), std::out_of_range);
  EXPECT_EQ(e->token_cache_.size(), 2u);
  Drop(e);
}

// A store write that fails before the counts are saved puts them back, so neither this engine nor
// its destructor saves positions that have no entry.
TEST_P(PostgresEngineTest, FailedWriteRestoresTheCounts) {
  const std::string name = UniqueName();
  const std::string doomed = "dz_tokens_doomed_" + name.substr(name.rfind('_') + 1);
  ostrik::IndexSetup setup = Setup(name, 2, 2);
  setup.items_location = ostrik::DBConfig("postgres", doomed, conn_);
  auto e = std::make_unique<ts::TokenIndex>(setup, nullptr);
  e->AddItems(Batch({{"a", 0, 1, "", "ca"}}, true, true));
  const Groups before = ToGroups(e->GetTokenItems({0, 1}), 2);
  const ostrik::Bytes counts_record = e->index_store_->GetItem(ts::kTokenCountsKey);

  PGconn* pg = PQconnectdb(conn_.c_str());
  ASSERT_EQ(PQstatus(pg), CONNECTION_OK);
  PQclear(PQexec(pg, ("DROP TABLE " + doomed + ";").c_str()));
  PQfinish(pg);

  EXPECT_THROW(e->AddItems(Batch({{"a", 1, 2, "", "ca2"}, {"b", 1, 3, "", "cb"}}, true, true)), std::runtime_error);
  EXPECT_EQ(e->token_counts_, (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(ToGroups(e->GetTokenItems({0, 1}), 2), before);
  e.reset();  // must not save counts
  ostrik::IndexSetup reopen = setup;
  reopen.items_location = items_;
  auto again = ts::TokenIndex::Load(reopen, nullptr);
  EXPECT_EQ(again->index_store_->GetItem(ts::kTokenCountsKey), counts_record);
  Drop(again);
}

TEST_P(EngineTest, ShortCountsRecordIsPaddedAndMalformedRecordsAreRefused) {
  auto e = std::make_unique<ts::TokenIndex>(Setup(UniqueName(), 4), nullptr);
  // A record of two tokens where the index has four: the missing tokens count zero.
  ostrik::Bytes two = {1, 0, 0, 0, 0, 0, 0, 0};
  e->index_store_->PushItem(ts::kTokenCountsKey,
                            ostrik::EncryptMatrix(ostrik::ByteMatrix(std::move(two), 8), e->index_key_.data()).data);
  e->LoadTokenCounts();
  EXPECT_EQ(e->token_counts_, (std::vector<uint32_t>{1, 0, 0, 0}));
  // Position 0 of token 0 has no entry: it reads as a placeholder.
  EXPECT_EQ(ToGroups(e->GetTokenItems({3, 0}), 2), (Groups{{}, {Got{"", ostrik::Bytes(kWidth, 0), ""}}}));

  e->AddItems(Batch({{"a", 1, 1, "m", ""}}));
  // The record of "a", re-encrypted with a metadata length running past its end.
  ostrik::Bytes record = ts::EncodeItemRecord("a", 1, ostrik::Bytes(kWidth, 1).data(), kWidth, "m");
  record[0] = 200;
  const auto label = ostrik::HashItemIds({"a"}, e->data_key_.data());
  e->data_store_->BatchPushVariable(label, ostrik::EncryptItems({record}, e->data_key_.data()));
  try {
    e->GetTokenItems({1});
    ADD_FAILURE() << "malformed record accepted";
  } catch (const std::runtime_error& err) {
    EXPECT_NE(std::string(err.what()).find("Malformed item record"), std::string::npos) << err.what();
  }

  e->index_store_->PushItem(ts::kTokenCountsKey, ostrik::Bytes(30, 7));  // not a whole number of counts
  EXPECT_THROW(e->LoadTokenCounts(), std::runtime_error);
  e->index_store_->DeleteItem(ts::kTokenCountsKey);
  Drop(e);
}

// A re-added item's contents are replaced when it brings new ones and removed when it brings
// none; the removal comes after the new version is written.
TEST_P(EngineTest, ReAddedItemReplacesOrDropsItsContents) {
  auto e = std::make_unique<ts::TokenIndex>(Setup(UniqueName(), 2), nullptr);
  e->AddItems(Batch({{"a", 0, 1, "", "old-a"}, {"b", 0, 2, "", "old-b"}, {"c", 1, 3, "", ""}}, true, true));
  EXPECT_EQ(e->items_store_->NumItems(), 2u);  // an empty content is not stored
  e->AddItems(Batch({{"a", 1, 4, "", "new-a"}, {"b", 1, 5, "", ""}}, true, true));
  const auto labels = ostrik::HashItemIds({"a", "b"}, e->content_key_.data());
  const auto contents = ostrik::DecryptItems(e->items_store_->BatchGetVariable(labels), e->content_key_.data());
  EXPECT_EQ(std::string(contents[0].begin(), contents[0].end()), "new-a");
  EXPECT_TRUE(contents[1].empty());
  e->AddItems(Batch({{"a", 1, 6, "", ""}}, true, false));  // no contents at all
  EXPECT_EQ(e->items_store_->NumItems(), 0u);
  Drop(e);
}

TEST_P(EngineTest, LargeBatchIsWrittenInChunksAndFetchedWhole) {
  auto e = std::make_unique<ts::TokenIndex>(Setup(UniqueName(), 2), nullptr);
  std::vector<ItemSpec> items;
  for (int i = 0; i < 20001; ++i) items.push_back({"id" + std::to_string(i), 0, static_cast<uint8_t>(i), "", ""});
  e->AddItems(Batch(items, false));
  const ostrik::ItemRecords r = e->GetTokenItems({0});
  ASSERT_EQ(r.item_ids.size(), 20001u);
  EXPECT_EQ(r.item_ids[0], "id0");
  EXPECT_EQ(r.item_ids[20000], "id20000");
  EXPECT_EQ(r.payloads.row(12345)[0], static_cast<uint8_t>(12345));
  EXPECT_EQ(e->index_store_->NumItems(), 20003u);  // entries, the counts record and the head
  Drop(e);
}

TEST_P(EngineTest, DeleteIndexEmptiesTheStores) {
  const std::string name = UniqueName();
  const ostrik::IndexSetup setup = Setup(name, 3, 4);
  auto e = std::make_unique<ts::TokenIndex>(setup, nullptr);
  e->AddItems(Batch({{"a", 0, 1, "", "ca"}, {"b", 2, 2, "", "cb"}}, true, true));
  e->StoreIndexConfig({1, 2, 3});
  e->GetTokenItems({0, 2});

  e->DeleteIndex(false);
  EXPECT_EQ(e->index_store_->NumItems(), 0u);
  EXPECT_EQ(e->data_store_->NumItems(), 0u);
  EXPECT_EQ(e->token_counts_, (std::vector<uint32_t>{0, 0, 0}));
  if (persistent()) {
    EXPECT_EQ(e->items_store_->NumItems(), 2u);
    EXPECT_EQ(e->LoadConfig(name + ".ovs"), (ostrik::Bytes{1, 2, 3}));
  }
  // Still usable: training adds the items again.
  e->AddItems(Batch({{"a", 1, 7, "", ""}}));
  EXPECT_EQ(ToGroups(e->GetTokenItems({0, 1}), 2), (Groups{{}, {Got{"a", ostrik::Bytes(kWidth, 7), ""}}}));

  e->DeleteIndex(true);
  for (auto* store : {e->index_store_.get(), e->data_store_.get(), e->items_store_.get(), e->config_store_.get()}) {
    EXPECT_EQ(store->NumItems(), 0u);
  }
  uint64_t hash = 0;
  for (int i = 0; i < 8; ++i) hash = (hash << 8) | e->name_mac_[i];
  e.reset();
  if (persistent()) {
    // Nothing is written back when the engine goes: a deleted index leaves no value behind, so the
    // name can be created again.
    auto store = ostrik_encrypted_index::internal::backing_store::CreateKeystore(
        setup.index_location, name, hash, ostrik_encrypted_index::internal::backing_store::INDEX);
    EXPECT_EQ(store->NumItems(), 0u);
    EXPECT_NO_THROW(ts::TokenIndex(setup, nullptr).DeleteIndex(true));
  }
}

TEST_P(PersistentEngineTest, ConfigItemsRoundTripUnderTheIndexKey) {
  const std::string name = UniqueName();
  auto e = std::make_unique<ts::TokenIndex>(Setup(name), nullptr);
  const ostrik::Bytes bytes = {9, 8, 7, 6, 5};
  e->StoreIndexConfig(bytes);
  EXPECT_EQ(e->LoadConfig(name + ".ovs"), bytes);
  EXPECT_EQ(e->config_store_->LoadConfigItem(name + ".ovs").size(), bytes.size() + 28);
  EXPECT_THROW(e->PushConfig(name + ".x", {}), std::invalid_argument);
  const ostrik::Bytes state = e->LoadConfig(name + ".oei");
  flatbuffers::Verifier verifier(state.data(), state.size());
  ASSERT_TRUE(ostrik::schema::VerifyTokenIndexStateBuffer(verifier));
  const auto* table = ostrik::schema::GetTokenIndexState(state.data());
  EXPECT_EQ(table->tree_depth(), 32u);
  EXPECT_EQ(table->vocab_size(), 4u);
  EXPECT_EQ(table->payload_size(), kWidth);
  EXPECT_EQ(table->value_size(), 8u);
  ts::Key32 other = e->index_key_;
  other[0] ^= 1;
  std::swap(other, e->index_key_);
  EXPECT_THROW(e->LoadConfig(name + ".ovs"), std::runtime_error);
  std::swap(other, e->index_key_);
  Drop(e);
}

// Creating a name whose engine state a persistent config store already keeps is refused,
// whatever the index location.
TEST_P(PersistentEngineTest, ExistingNameIsRefusedOnAPersistentConfigStore) {
  const std::string name = UniqueName();
  auto first = std::make_unique<ts::TokenIndex>(Setup(name), nullptr);
  first->StoreIndexConfig({1});
  const ostrik::Bytes state = first->config_store_->LoadConfigItem(name + ".oei");
  ostrik::IndexSetup again = Setup(name);
  try {
    ts::TokenIndex second(again, nullptr);
    ADD_FAILURE() << "second index created";
  } catch (const std::runtime_error& err) {
    EXPECT_EQ(std::string(err.what()), "Index name " + name + " already exists");
  }
  again.index_location = again.data_location = ostrik::DBConfig("memory");
  EXPECT_THROW(ts::TokenIndex third(again, nullptr), std::runtime_error);
  EXPECT_EQ(first->config_store_->LoadConfigItem(name + ".oei"), state);  // not overwritten
  Drop(first);
}

// Create, add, drop the engine, reopen it through the load path and fetch everything back.
TEST_P(PersistentEngineTest, ReopenedIndexReturnsEveryItem) {
  const std::string name = UniqueName();
  const ostrik::IndexSetup setup = Setup(name, 5);
  std::vector<ItemSpec> items;
  for (int i = 0; i < 40; ++i) {
    items.push_back({"item-" + std::to_string(i), static_cast<uint32_t>(i % 5), static_cast<uint8_t>(i),
                     "{\"i\":" + std::to_string(i) + "}", ""});
  }
  Model m;
  m.Add(items);
  const std::vector<uint32_t> all = {0, 1, 2, 3, 4};
  {
    ts::TokenIndex creator(setup, nullptr);
    creator.AddItems(Batch(items));
  }
  ostrik::IndexSetup load = setup;
  load.tree_depth = 0;  // the load path takes these from the stored state
  load.vocab_size = 0;
  load.payload_size = 0;
  load.max_cache_size = 3;
  auto e = ts::TokenIndex::Load(load, nullptr);
  EXPECT_EQ(e->tree_depth_, 32);
  EXPECT_EQ(e->vocab_size_, 5);
  EXPECT_EQ(e->payload_size_, kWidth);
  EXPECT_EQ(e->value_size_, 8u);
  EXPECT_EQ(e->cache_capacity(), 3u);
  EXPECT_EQ(e->token_counts_, (std::vector<uint32_t>{8, 8, 8, 8, 8}));
  EXPECT_EQ(ToGroups(e->GetTokenItems(all), 5), m.Fetch(all));
  const std::vector<ItemSpec> more = {{"item-3", 0, 99, "", ""}, {"new", 4, 1, "", ""}};
  e->AddItems(Batch(more));
  m.Add(more);
  EXPECT_EQ(ToGroups(e->GetTokenItems(all), 5), m.Fetch(all));

  ostrik::IndexSetup wrong = load;
  wrong.index_key[5] ^= 0x10;
  EXPECT_THROW(ts::TokenIndex::Load(wrong, nullptr), std::runtime_error);
  ostrik::IndexSetup missing = load;
  missing.index_name = name + "_never";
  EXPECT_THROW(ts::TokenIndex::Load(missing, nullptr), std::runtime_error);
  Drop(e);
}

// An engine whose counts are older than the stored ones must not write them back when closed.
TEST_P(PersistentEngineTest, ClosingAStaleEngineKeepsNewerCounts) {
  const std::string name = UniqueName();
  ostrik::IndexSetup setup = Setup(name, 2);
  auto a = std::make_unique<ts::TokenIndex>(setup, nullptr);
  a->AddItems(Batch({{"a1", 0, 1, "", ""}, {"a2", 0, 2, "", ""}, {"a3", 1, 3, "", ""}}));
  {
    auto b = ts::TokenIndex::Load(setup, nullptr);
    b->AddItems(Batch({{"b1", 0, 4, "", ""}, {"b2", 1, 5, "", ""}}));
  }
  a.reset();
  auto c = ts::TokenIndex::Load(setup, nullptr);
  EXPECT_EQ(c->token_counts_, (std::vector<uint32_t>{3, 2}));
  const ostrik::ItemRecords r = c->GetTokenItems({0, 1});
  EXPECT_EQ(r.item_ids, (std::vector<std::string>{"a1", "a2", "b1", "a3", "b2"}));
  Drop(c);
}

INSTANTIATE_TEST_SUITE_P(Stores, EngineTest, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
// Memory stores keep no config items and belong to one engine: these need a server.
INSTANTIATE_TEST_SUITE_P(Stores, PersistentEngineTest, testing::Values(Backend::Postgres, Backend::Redis), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PostgresEngineTest, testing::Values(Backend::Postgres), BackendName);

// Store-independent behaviour on memory stores.

ostrik::IndexSetup MemorySetup(int32_t vocab, uint64_t cache = 0) {
  ostrik::IndexSetup s;
  s.index_name = "mem";
  s.index_key.fill(3);
  s.index_location = s.config_location = s.items_location = s.data_location = ostrik::DBConfig("memory");
  s.max_cache_size = cache;
  s.vocab_size = vocab;
  s.payload_size = kWidth;
  return s;
}

// Many tokens, moved, re-added and deleted items, requests with repeated tokens, teams of odd sizes,
// lists that grow between fetches (the labels of their first positions cached, the rest derived):
// every way of fetching must equal the model, the parallel split of rows notwithstanding.
TEST(EngineFetch, LargeScriptsMatchTheModelWithAndWithoutCache) {
  for (const uint64_t cache : {uint64_t{0}, uint64_t{6}, uint64_t{64}}) {
    for (const int threads : {1, 3, 8}) {
      SCOPED_TRACE("cache " + std::to_string(cache) + ", threads " + std::to_string(threads));
      ostrik::IndexSetup setup = MemorySetup(40, cache);
      setup.cpu_threads = threads;
      ts::TokenIndex e(setup, nullptr);
      Model m;
      Fetcher fetch;
      std::mt19937 rng(static_cast<uint32_t>(cache * 10 + threads));
      std::vector<std::string> ids;
      for (int i = 0; i < 4000; ++i) ids.push_back("item-" + std::to_string(i));
      auto random_items = [&](int n) {
        std::vector<ItemSpec> items;
        for (int i = 0; i < n; ++i) {
          const std::string& id = ids[rng() % ids.size()];
          items.push_back({id, static_cast<uint32_t>(rng() % 40), static_cast<uint8_t>(rng()),
                           rng() % 3 == 0 ? "" : "{\"n\":" + std::to_string(rng() % 1000) + "}", ""});
        }
        return items;
      };
      auto request = [&]() {
        std::vector<uint32_t> tokens;
        const int n = 1 + static_cast<int>(rng() % 24);
        for (int i = 0; i < n; ++i) tokens.push_back(static_cast<uint32_t>(rng() % 40));
        return tokens;
      };
      testing::internal::CaptureStdout();
      for (int step = 0; step < 6; ++step) {
        const auto items = random_items(step == 0 ? 3000 : 400);
        e.AddItems(Batch(items));
        m.Add(items);
        std::vector<std::string> doomed;
        for (int i = 0; i < 40; ++i) doomed.push_back(ids[rng() % ids.size()]);
        e.DeleteItems(doomed);
        m.Delete(doomed);
        for (int r = 0; r < 3; ++r) {
          const auto tokens = request();
          fetch.Check(e, tokens, m.Fetch(tokens), "step " + std::to_string(step) + ", request " + std::to_string(r));
        }
        std::vector<uint32_t> all(40);
        for (uint32_t t = 0; t < 40; ++t) all[t] = t;
        fetch.Check(e, all, m.Fetch(all), "step " + std::to_string(step) + ", every token");
      }
      testing::internal::GetCapturedStdout();
    }
  }
}

// An answer of lists is immutable: later adds and deletes leave it as it was, whether its lists
// came from the cache or were cached from it, and refilling an answer never touches lists that are
// held elsewhere.
TEST(EngineFetch, HandedOutListsNeverChange) {
  testing::internal::CaptureStdout();
  ts::TokenIndex e(MemorySetup(3, 4), nullptr);
  e.AddItems(Batch({{"a", 0, 1, "ma", ""}, {"b", 1, 2, "mb", ""}}));
  std::vector<ts::SharedTokenList> first;
  e.GetTokenLists({0, 1, 0}, first);  // fetched, then cached as they are
  const Groups before = ListGroups(first);
  EXPECT_EQ(first[0].get(), first[2].get());
  std::vector<ts::SharedTokenList> second;
  e.GetTokenLists({0, 1}, second);  // hits: the same lists
  EXPECT_EQ(second[0].get(), first[0].get());

  e.AddItems(Batch({{"c", 0, 3, "mc", ""}}));  // appended to the cached list of token 0
  e.AddItems(Batch({{"b", 2, 4, "mb2", ""}}));  // b moves: token 1's cached list goes
  e.DeleteItems({"a"});
  EXPECT_EQ(ListGroups(first), before);
  EXPECT_EQ(ListGroups({second[0], second[1]}), (Groups{before[0], before[1]}));

  // `second` shares its lists with `first`: refilling it must leave them alone.
  e.GetTokenLists({0, 1, 2}, second);
  EXPECT_EQ(ListGroups(first), before);
  EXPECT_EQ(ListGroups(second), (Groups{{Got{"", ostrik::Bytes(kWidth, 0), ""}, Got{"c", ostrik::Bytes(kWidth, 3), "mc"}},
                                        {},
                                        {Got{"b", ostrik::Bytes(kWidth, 4), "mb2"}}}));
  testing::internal::GetCapturedStdout();
}

// The fetch runs on the engine's thread count and gives the caller's back.
TEST(EngineFetch, CallersThreadCountIsKept) {
  ostrik::IndexSetup setup = MemorySetup(2);
  ts::TokenIndex e(setup, nullptr);
  e.AddItems(Batch({{"a", 0, 1, "", ""}}));
  const int saved = omp_get_max_threads();
  omp_set_num_threads(5);
  e.cpu_threads_ = 2;
  ostrik::ItemRecords out;
  e.GetTokenItems({0, 1}, out);
  std::vector<ts::SharedTokenList> lists;
  e.GetTokenLists({0}, lists);
  EXPECT_EQ(omp_get_max_threads(), 5);
  EXPECT_THROW(e.GetTokenItems({7}, out), std::out_of_range);
  EXPECT_EQ(omp_get_max_threads(), 5);
  EXPECT_TRUE(out.item_ids.empty());  // a failed fetch leaves no items behind
  EXPECT_TRUE(out.payloads.data.empty());
  omp_set_num_threads(saved);
}

TEST(EngineState, SerializedStateOmitsZeroScalarsAndKeepsTheText) {
  ts::TokenIndex e(MemorySetup(100), nullptr);
  e.payload_size_ = 512;
  const ostrik::Bytes full = e.SerializeState();
  flatbuffers::Verifier v1(full.data(), full.size());
  ASSERT_TRUE(ostrik::schema::VerifyTokenIndexStateBuffer(v1));
  const auto* t1 = ostrik::schema::GetTokenIndexState(full.data());
  EXPECT_EQ(t1->tree_depth(), 32u);
  EXPECT_EQ(t1->vocab_size(), 100u);
  EXPECT_EQ(t1->payload_size(), 512u);
  EXPECT_EQ(t1->value_size(), 8u);
  ASSERT_NE(t1->state_text(), nullptr);
  EXPECT_EQ(t1->state_text()->str(), "");

  e.tree_depth_ = e.vocab_size_ = 0;
  e.payload_size_ = e.value_size_ = 0;
  e.state_text_ = "note";
  const ostrik::Bytes bare = e.SerializeState();
  flatbuffers::Verifier v2(bare.data(), bare.size());
  ASSERT_TRUE(ostrik::schema::VerifyTokenIndexStateBuffer(v2));
  const auto* t2 = ostrik::schema::GetTokenIndexState(bare.data());
  for (auto field : {ostrik::schema::TokenIndexState::VT_TREE_DEPTH, ostrik::schema::TokenIndexState::VT_VOCAB_SIZE,
                     ostrik::schema::TokenIndexState::VT_PAYLOAD_SIZE, ostrik::schema::TokenIndexState::VT_VALUE_SIZE}) {
    EXPECT_FALSE(reinterpret_cast<const flatbuffers::Table*>(t2)->CheckField(field));
  }
  EXPECT_EQ(t2->state_text()->str(), "note");
  EXPECT_LT(bare.size(), full.size());
}

TEST(EngineRefusals, GpuFlagAndZeroDepthAreRefusedBeforeAnyChange) {
  ostrik::IndexSetup gpu = MemorySetup(2, 2);
  gpu.gpu_accelerate = true;
  ts::TokenIndex e(gpu, nullptr);
  EXPECT_THROW(e.AddItems(Batch({{"a", 0, 1, "", ""}})), std::runtime_error);
  EXPECT_EQ(e.index_store_->NumItems(), 1u);  // the head alone
  EXPECT_NO_THROW(e.GetTokenItems({0, 1}));  // empty tokens are answered by the cache

  ostrik::IndexSetup flat = MemorySetup(2);
  flat.tree_depth = 0;
  ts::TokenIndex z(flat, nullptr);
  EXPECT_THROW(z.AddItems(Batch({{"a", 0, 1, "", ""}})), std::invalid_argument);
  z.token_counts_ = {1, 0};
  z.index_store_->PushItem(ts::kTokenCountsKey, ostrik::EncryptMatrix(ostrik::ByteMatrix(ostrik::Bytes{1, 0, 0, 0, 0, 0, 0, 0}, 8), z.index_key_.data()).data);
  try {
    z.GetTokenItems({0});
    ADD_FAILURE();
  } catch (const std::invalid_argument& err) {
    EXPECT_EQ(std::string(err.what()), "The number of round should be at lest 1.");
  }
}

TEST(EngineLogging, CreationLineMasksThePassword) {
  DZ_REQUIRE_SERVER(conn, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
  char path[] = "/tmp/dz_tokens_logXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ostrik::Logger::instance().configure(ostrik::INFO, true, path);
  {
    ostrik::IndexSetup s = MemorySetup(1);
    s.index_location = s.data_location = ostrik::DBConfig("postgres", "dz_tokens_items", conn + " password=topsecret");
    ts::TokenIndex e(s, nullptr);
    e.DeleteIndex(true);
  }
  ostrik::Logger::instance().configure(ostrik::ERROR, false, "");
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path);
  EXPECT_NE(text.str().find("Creating new index with db: " + conn + " password=****"), std::string::npos) << text.str();
  EXPECT_EQ(text.str().find("topsecret"), std::string::npos);
}

}  // namespace
}  // namespace engine_test
