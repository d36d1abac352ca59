// The LRU token cache with its count-based validity test, its flat shared lists, and the merge of
// lists into one ItemRecords.
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

std::shared_ptr<ts::TokenList> List(const std::vector<ts::TokenItem>& items) {
  auto list = std::make_shared<ts::TokenList>();
  for (const auto& item : items) EXPECT_TRUE(list->Append(item));
  return list;
}

std::vector<std::string> Ids(const ts::TokenList& list) {
  std::vector<std::string> ids;
  for (uint64_t i = 0; i < list.size(); ++i) ids.emplace_back(list.id(i));
  return ids;
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
  EXPECT_EQ(r.cache_hit[0]->size(), 1u);
  EXPECT_TRUE(r.cache_hit[1]->empty());
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

// A hit hands out the cached list itself; appending afterwards must not change what was handed out.
TEST(TokenCache, HitsShareTheCachedListAndAppendsCopyAListStillHeld) {
  ts::TokenCache c(2);
  c.Insert(1, {Item("a", 1), Item("b", 2)});
  const std::vector<uint32_t> counts = {0, 2};
  const ts::CacheLookup first = ts::LookupTokenCache(c, {1}, counts);
  ASSERT_EQ(first.cache_hit.size(), 1u);
  EXPECT_EQ(first.cache_hit[0].get(), c.Find(1)->items.get());

  c.Append(1, {Item("c", 3)});
  EXPECT_EQ(Ids(*first.cache_hit[0]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Ids(*c.Find(1)->items), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(c.Find(1)->items->payload(2)[0], 3);

  // Nobody else holds it now: the next append goes to the cached list in place.
  const ts::TokenList* before = c.Find(1)->items.get();
  c.Append(1, {Item("d", 4)});
  EXPECT_EQ(c.Find(1)->items.get(), before);
  EXPECT_EQ(c.Find(1)->items->size(), 4u);

  // An item of another width cannot join the flat list: the entry goes instead.
  c.Append(1, {Item("wide", 5, 6)});
  EXPECT_FALSE(c.Contains(1));
  c.Insert(2, {Item("x", 1, 4), Item("y", 1, 2)});
  EXPECT_FALSE(c.Contains(2));
}

TEST(TokenList, RowsFilledOutOfOrderAndCompacted) {
  // Rows: "ab"+"{1}", a placeholder, "c"+"", "dd"+"{44}".
  const std::vector<uint64_t> text = {5, 0, 1, 6};
  ts::TokenList list;
  list.Shape(4, 2, [&](uint64_t i) { return text[i]; });
  const uint8_t p0[2] = {1, 1}, p2[2] = {3, 3}, p3[2] = {4, 4};
  list.SetRow(3, "dd", p3, "{44}", 40);
  list.SetPlaceholder(1, 20);
  list.SetRow(0, "ab", p0, "{1}", 10);
  list.CopyRow(2, *List({ts::TokenItem{"c", ostrik::Bytes(p2, p2 + 2), "", 30}}), 0);
  EXPECT_EQ(Ids(list), (std::vector<std::string>{"ab", "", "c", "dd"}));
  EXPECT_EQ(list.metadata(0), "{1}");
  EXPECT_EQ(list.metadata(3), "{44}");
  EXPECT_EQ(list.payload(1)[1], 0);
  EXPECT_EQ(list.data_label(2), 30u);

  const uint8_t keep[4] = {0, 1, 0, 1};
  list.KeepRows(keep);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(Ids(list), (std::vector<std::string>{"", "dd"}));
  EXPECT_EQ(list.metadata(1), "{44}");
  EXPECT_EQ(list.payload(1)[0], 4);
  EXPECT_EQ(list.data_label(0), 20u);
  const ts::TokenItem last = list.item(1);
  EXPECT_EQ(last.payload, (ostrik::Bytes{4, 4}));
  EXPECT_EQ(last.data_label, 40u);
}

TEST(MergeResults, LaysListsOutInOrderIntoReusedRecords) {
  const auto a = List({Item("a1", 1), Item("a2", 2)});
  const auto b = List({Item("b1", 'b'), Item("b2", 'b'), Item("b3", 'b')});
  // The output of an earlier, larger merge: everything in it must be replaced or dropped.
  ostrik::ItemRecords out;
  ts::MergeResults({b, b, a, b}, 4, out);
  ts::MergeResults({a, b, nullptr, ts::EmptyTokenList(), a}, 4, out);
  EXPECT_EQ(out.token_indices, (std::vector<uint64_t>{0, 2, 5, 5, 5, 7}));
  EXPECT_EQ(out.item_ids, (std::vector<std::string>{"a1", "a2", "b1", "b2", "b3", "a1", "a2"}));
  EXPECT_EQ(out.metadata[2], "{\"id\":\"b1\"}");
  EXPECT_EQ(out.payloads.rows, 7u);
  EXPECT_EQ(out.payloads.cols, 4u);
  EXPECT_EQ(out.payloads.data.size(), 28u);
  EXPECT_EQ(out.payloads.row(1)[0], 2);
  EXPECT_EQ(out.payloads.row(4)[3], 'b');
  EXPECT_EQ(out.payloads.row(6)[3], 2);

  ts::MergeResults({}, 4, out);
  EXPECT_EQ(out.token_indices, (std::vector<uint64_t>{0}));
  EXPECT_TRUE(out.item_ids.empty());
  EXPECT_TRUE(out.payloads.data.empty());
}

TEST(MergeResults, PayloadWidthsAreTrimmedOrRefused) {
  ostrik::ItemRecords out;
  ts::MergeResults({List({Item("long", 7, 9)})}, 4, out);
  EXPECT_EQ(out.payloads.cols, 4u);
  EXPECT_EQ(out.payloads.data, ostrik::Bytes(4, 7));

  // Refused at the row where the narrow list would start; nothing is left in the output.
  try {
    ts::MergeResults({List({Item("a", 1)}), List({}), List({Item("short", 1, 2), Item("s2", 1, 2)})}, 4, out);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error in MergeResults: Insufficient payload size for item_id: short current_result_index: 1");
  }
  EXPECT_TRUE(out.item_ids.empty());
  EXPECT_TRUE(out.payloads.data.empty());
  // An empty list of any width holds nothing to refuse.
  auto narrow_empty = std::make_shared<ts::TokenList>();
  narrow_empty->Shape(0, 1, [](uint64_t) { return uint64_t{0}; });
  ts::MergeResults({narrow_empty}, 4, out);
  EXPECT_EQ(out.token_indices, (std::vector<uint64_t>{0, 0}));
}

// Large enough to be copied by the whole team: every row lands once, in order.
TEST(MergeResults, LargeMergeCopiesEveryRow) {
  std::vector<ts::SharedTokenList> lists;
  std::vector<std::string> expected;
  for (int g = 0; g < 40; ++g) {
    std::vector<ts::TokenItem> items;
    for (int i = 0; i < (g % 7) * 60; ++i) {
      items.push_back(Item(std::to_string(g) + "-" + std::to_string(i), static_cast<uint8_t>(g), 8));
      expected.push_back(items.back().item_id);
    }
    lists.push_back(List(items));
  }
  ostrik::ItemRecords out;
  ts::MergeResults(lists, 8, out);
  ASSERT_EQ(out.item_ids, expected);
  for (uint64_t g = 0; g < lists.size(); ++g) {
    for (uint64_t r = out.token_indices[g]; r < out.token_indices[g + 1]; ++r) {
      ASSERT_EQ(out.payloads.row(r)[7], static_cast<uint8_t>(g)) << r;
      ASSERT_EQ(out.metadata[r], "{\"id\":\"" + expected[r] + "\"}");
    }
  }
}
