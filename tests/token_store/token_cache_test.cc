// The LRU token cache with its count-based validity test, and the merge of cached and fetched
// lists.
#include <gtest/gtest.h>

#include <stdexcept>

#include "token_store/merge_results.h"
#include "token_store/token_cache.h"

namespace ts = ostrik_encrypted_index::internal::token_store;

namespace {

ts::TokenItem Item(const std::string& id, uint8_t fill, size_t width = 4) {
  return ts::TokenItem{id, ostrik::Bytes(width, fill), "{\"id\":\"" + id + "\"}", 0};
}

std::vector<uint32_t> Recency(const ts::TokenCache& c) { return {c.recency().begin(), c.recency().end()}; }

// Fetched lists for the missed tokens, in the layout the fetch path builds.
ostrik::ItemRecords Fetched(const std::vector<std::vector<std::string>>& groups, size_t width = 4) {
  ostrik::ItemRecords r;
  r.token_indices = {0};
  ostrik::Bytes rows;
  for (const auto& g : groups) {
    for (const auto& id : g) {
      r.item_ids.push_back(id);
      r.metadata.push_back("m" + id);
      rows.insert(rows.end(), width, static_cast<uint8_t>(id[0]));
    }
    r.token_indices.push_back(r.item_ids.size());
  }
  if (!rows.empty()) r.payloads = ostrik::ByteMatrix(std::move(rows), width);
  return r;
}

}  // namespace

TEST(TokenCache, EvictsTheLeastRecentlyUsedToken) {
  ts::TokenCache c(2);
  c.Insert(1, {});
  c.Insert(2, {});
  c.Insert(3, {});
  EXPECT_EQ(Recency(c), (std::vector<uint32_t>{3, 2}));

  ts::TokenCache d(2);
  d.Insert(1, {Item("a", 1)});
  d.Insert(2, {});
  const std::vector<uint32_t> counts = {0, 1, 0, 0};
  ts::LookupTokenCache(d, {1}, counts);  // a hit makes 1 the most recent
  d.Insert(3, {});
  EXPECT_TRUE(d.Contains(1));
  EXPECT_FALSE(d.Contains(2));
  EXPECT_EQ(Recency(d), (std::vector<uint32_t>{3, 1}));
}

TEST(TokenCache, LookupHitsOnlyListsWhoseLengthMatchesTheCount) {
  ts::TokenCache c(4);
  c.Insert(5, {Item("a", 1), Item("b", 2), Item("c", 3)});
  c.Insert(6, {Item("x", 9)});
  // 5 has 3 cached items but now counts 5: stale. 6 is valid. 2 is uncached with count 0: an
  // empty hit. 17 is uncached with items: a miss. 6 twice: two hits.
  std::vector<uint32_t> counts(20, 0);
  counts[5] = 5;
  counts[6] = 1;
  counts[17] = 2;
  testing::internal::CaptureStdout();
  const ts::CacheLookup r = ts::LookupTokenCache(c, {5, 6, 2, 17, 6}, counts);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.hit_and_miss, (std::vector<bool>{false, true, true, false, true}));
  EXPECT_EQ(r.cache_misses, (std::vector<uint32_t>{5, 17}));
  ASSERT_EQ(r.cache_hit.size(), 3u);
  EXPECT_EQ(r.cache_hit[0].size(), 1u);
  EXPECT_TRUE(r.cache_hit[1].empty());
  EXPECT_EQ(r.hit_item_count, 2u);
  EXPECT_FALSE(c.Contains(5));  // the stale entry is gone
  EXPECT_EQ(out, "Token not found: 17\n");

  ts::TokenCache off(0);
  const ts::CacheLookup o = ts::LookupTokenCache(off, {3, 5}, counts);
  EXPECT_EQ(o.hit_and_miss, (std::vector<bool>{false, false}));
  EXPECT_EQ(o.cache_misses, (std::vector<uint32_t>{3, 5}));
  EXPECT_EQ(off.size(), 0u);
}

TEST(TokenCache, EraseEntriesWithLabelsDropsEveryListHoldingOne) {
  ts::TokenCache c(4);
  auto a = Item("a", 1);
  a.data_label = 11;
  auto b = Item("", 0);  // a placeholder keeps the deleted item's label
  b.data_label = 22;
  c.Insert(1, {a});
  c.Insert(2, {b});
  c.Insert(3, {Item("z", 3)});
  c.EraseEntriesWithLabels({22, 99});
  EXPECT_TRUE(c.Contains(1));
  EXPECT_FALSE(c.Contains(2));
  EXPECT_TRUE(c.Contains(3));
  EXPECT_EQ(Recency(c), (std::vector<uint32_t>{3, 1}));
}

TEST(MergeResults, InterleavesHitsAndMissesInRequestOrderAndCachesMisses) {
  // [A hit with 2, B miss with 3, C hit with none].
  ts::TokenCache cache(4);
  const std::vector<std::vector<ts::TokenItem>> hits = {{Item("a1", 1), Item("a2", 2)}, {}};
  ostrik::ItemRecords fetched = Fetched({{"b1", "b2", "b3"}});
  ostrik::ItemRecords out;
  ts::MergeResults({10, 20, 30}, {true, false, true}, hits, {20}, fetched, {101, 102, 103}, 5, 4, out, cache);
  EXPECT_EQ(out.token_indices, (std::vector<uint64_t>{0, 2, 5, 5}));
  EXPECT_EQ(out.item_ids, (std::vector<std::string>{"a1", "a2", "b1", "b2", "b3"}));
  EXPECT_EQ(out.metadata[2], "mb1");
  EXPECT_EQ(out.payloads.rows, 5u);
  EXPECT_EQ(out.payloads.row(1)[0], 2);
  EXPECT_EQ(out.payloads.row(4)[3], 'b');
  ASSERT_TRUE(cache.Contains(20));
  EXPECT_EQ(cache.Find(20)->items.size(), 3u);
  EXPECT_EQ(cache.Find(20)->items[2].data_label, 103u);
  EXPECT_EQ(cache.recency().front(), 20u);

  // [B miss with 3, A hit with 2], cache off: copied, never cached.
  ts::TokenCache off(0);
  ostrik::ItemRecords fetched2 = Fetched({{"b1", "b2", "b3"}});
  ostrik::ItemRecords out2;
  ts::MergeResults({20, 10}, {false, true}, {{Item("a1", 1), Item("a2", 2)}}, {20}, fetched2, {}, 5, 4, out2, off);
  EXPECT_EQ(out2.token_indices, (std::vector<uint64_t>{0, 3, 5}));
  EXPECT_EQ(out2.item_ids[3], "a1");
  EXPECT_EQ(off.size(), 0u);

  // No requested tokens.
  ostrik::ItemRecords empty_fetch, out3;
  ts::MergeResults({}, {}, {}, {}, empty_fetch, {}, 0, 4, out3, cache);
  EXPECT_EQ(out3.token_indices, (std::vector<uint64_t>{0}));
  EXPECT_TRUE(out3.item_ids.empty());
}

TEST(MergeResults, TokenMissedTwiceIsCachedOnce) {
  ts::TokenCache cache(4);
  ostrik::ItemRecords fetched = Fetched({{"x", "y"}, {"x", "y"}});
  ostrik::ItemRecords out;
  ts::MergeResults({7, 7}, {false, false}, {}, {7, 7}, fetched, {}, 4, 4, out, cache);
  EXPECT_EQ(out.token_indices, (std::vector<uint64_t>{0, 2, 4}));
  ASSERT_TRUE(cache.Contains(7));
  EXPECT_EQ(cache.Find(7)->items.size(), 2u);
}

TEST(MergeResults, PayloadWidthsAreTrimmedOrRefused) {
  ts::TokenCache cache(0);
  ostrik::ItemRecords none, out;
  ts::MergeResults({1}, {true}, {{Item("long", 7, 9)}}, {}, none, {}, 1, 4, out, cache);
  EXPECT_EQ(out.payloads.cols, 4u);
  EXPECT_EQ(out.payloads.data, ostrik::Bytes(4, 7));
}

TEST(MergeResults, InconsistentInputsFailWithThePositionReached) {
  struct Case {
    const char* name;
    std::vector<uint32_t> tokens;
    std::vector<bool> hit_and_miss;
    std::vector<std::vector<ts::TokenItem>> hits;
    uint64_t num_results;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"hit_and_miss shorter", {1, 2}, {true}, {{}}, 0,
       "Error in MergeResults: Size mismatch: query_tokens and hit_and_miss must have the same size. "
       "current_result_index: 0"},
      {"payload shorter than the width", {1}, {true}, {{Item("short", 1, 2)}}, 1,
       "Error in MergeResults: Insufficient payload size for item_id: short current_result_index: 0"},
      {"output one slot short", {1}, {true}, {{Item("a", 1), Item("b", 1)}}, 1,
       "Error in MergeResults: Exceeded allocated size for merged_results. current_result_index: 1"},
      {"more hits than cached lists", {1, 2}, {true, true}, {{}}, 0,
       "Error in MergeResults: Size mismatch: cache_hit must match the number of hits. current_result_index: 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TokenCache cache(2);
    ostrik::ItemRecords none, out;
    try {
      ts::MergeResults(c.tokens, c.hit_and_miss, c.hits, {}, none, {}, c.num_results, 4, out, cache);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.expected);
    }
  }
  // A fetched range that points past the fetched items.
  ts::TokenCache cache(2);
  ostrik::ItemRecords bad = Fetched({{"a"}});
  bad.token_indices = {0, 3};
  ostrik::ItemRecords out;
  EXPECT_THROW(ts::MergeResults({4}, {false}, {}, {4}, bad, {}, 3, 4, out, cache), std::runtime_error);
}
