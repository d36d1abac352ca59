#include "filters/pre_filtering.h"

#include <gtest/gtest.h>

#include <random>

#include "filters/filter_language.h"
#include "filters/filter_match.h"
#include "filters/update_metadata.h"
#include "summary_engine.h"

namespace {

using namespace filters_test;
using nlohmann::json;
using Ids = std::vector<uint32_t>;

constexpr int32_t kLists = 6;
constexpr uint64_t kDim = 3;

ostrik::QuantizerMatrix Centroids(int32_t n) {
  std::vector<float> data;
  for (int32_t r = 0; r < n; ++r) {
    for (uint64_t c = 0; c < kDim; ++c) data.push_back(static_cast<float>(r * 10 + c));
  }
  return ostrik::QuantizerMatrix(n, std::move(data), kDim);
}

class PreFilteringTest : public testing::Test {
 protected:
  void SetUp() override {
    // List 4 holds no item with metadata.
    fl::UpdateMetadata(*engine_,
                       {R"({"color": "red", "age": 20})", R"({"color": "blue", "age": 40, "tags": ["red", "x"]})",
                        R"({"age": "old"})", R"({"name": "bob", "m": [["a"], "b"]})", R"({"age": 30, "color": "green"})"},
                       {0, 1, 2, 3, 5}, ostrik::Logger::instance());
  }
  fl::PreFilterResult Run(const std::string& filter) {
    return fl::PreFiltering(*engine_, coarse_, secondary_, filter, ostrik::Logger::instance());
  }
  std::string ErrorOf(const std::string& filter, bool* was_invalid_argument) {
    try {
      Run(filter);
    } catch (const std::invalid_argument& e) {
      *was_invalid_argument = true;
      return e.what();
    } catch (const std::runtime_error& e) {
      *was_invalid_argument = false;
      return e.what();
    }
    return "<no error>";
  }

  std::unique_ptr<ts::TokenIndex> engine_ = MemoryEngine(kLists);
  std::vector<ostrik::QuantizerMatrix> coarse_ = {Centroids(kLists)};
  std::vector<ostrik::QuantizerMatrix> secondary_ = {Centroids(2)};
};

TEST_F(PreFilteringTest, NoFilterOrNothingCollectedIsTheIdentity) {
  // A summary that would fail if it were read: none of these filters may fetch it.
  PushSummaryPlaintext(*engine_, "color", ostrik::Bytes{1, 2, 3});
  for (const char* filter : {"", "{}", "[]", "null", R"({"$not": {"color": "red"}})", R"({"$nor": [{"color": "red"}]})"}) {
    const auto r = Run(filter);
    EXPECT_EQ(r.centroid_ids, (Ids{0, 1, 2, 3, 4, 5})) << filter;
    ASSERT_EQ(r.coarse.size(), 1u);
    EXPECT_EQ(r.coarse[0].data, coarse_[0].data);
    EXPECT_EQ(r.secondary.at(0).data, secondary_[0].data);
  }
}

TEST_F(PreFilteringTest, KeepsExactlyTheListsThatMayMatch) {
  struct Case {
    const char* filter;
    Ids kept;
  } cases[] = {
      {R"({"color": "red"})", {0}},
      {R"({"tags": "red"})", {1}},
      {R"({"age": {"$gt": 30}})", {1}},
      {R"({"age": {"$gte": 30}})", {1, 5}},
      {R"({"age": {"$lt": 20}})", {}},
      {R"({"age": {"$lte": 20}})", {0}},
      {R"({"age": 30})", {5}},
      {R"({"age": {"$in": [20, "old", true]}})", {0, 2}},
      {R"({"age": {"$in": 20}})", {0}},
      {R"({"age": {"$in": [null]}})", {0, 1, 2, 5}},
      {R"({"age": {"$in": []}})", {}},
      {R"({"color": {"$ne": "red"}})", {0, 1, 5}},
      {R"({"color": {"$regex": "^r"}})", {0, 1, 5}},
      {R"({"color": {"$type": "number"}})", {0, 1, 5}},
      {R"({"color": {"$exists": true}})", {0, 1, 5}},
      {R"({"color": {"$exists": false}})", {0, 1, 2, 3, 4, 5}},
      {R"({"color": {"$nin": ["red"]}})", {0, 1, 2, 3, 4, 5}},
      {R"({"$or": [{"color": "red"}, {"name": "bob"}]})", {0, 3}},
      {R"({"$or": []})", {0, 1, 2, 3, 4, 5}},  // names no path: nothing to judge by
      {R"({"$and": [{"color": {"$exists": true}}, {"age": {"$lt": 25}}]})", {0}},
      {R"({"$and": [{"age": {"$gt": 1}}, {"$not": {"age": 20}}]})", {0, 1, 5}},
      {R"({"$and": [{"age": {"$gt": 1}}, {"$nor": [{"name": "bob"}]}]})", {0, 1, 5}},
      {R"({"tags": ["red", "x"]})", {1}},
      {R"({"tags": ["x", "red"]})", {}},
      {R"({"m": ["a"]})", {3}},  // equals an element of the stored array
      {R"({"tags": [1.0, "red"]})", {1}},  // numbers: equal values may be written differently
      {R"({"tags": {"$eq": {"k": 1}}})", {1}},
      {R"({"nowhere": 1})", {}},
      {R"({"nowhere": {"$exists": false}})", {0, 1, 2, 3, 4, 5}},
      {R"({"$and": [{"$x": 5}]})", {0, 1, 2, 3, 4, 5}},
  };
  for (const auto& c : cases) {
    const auto r = Run(c.filter);
    EXPECT_EQ(r.centroid_ids, c.kept) << c.filter;
    ASSERT_EQ(r.coarse.size(), 1u);
    EXPECT_EQ(r.coarse[0].count, static_cast<int32_t>(c.kept.size()));
    ASSERT_EQ(r.coarse[0].rows, c.kept.size());
    for (size_t p = 0; p < c.kept.size(); ++p) {
      EXPECT_EQ(r.coarse[0].data[p * kDim], static_cast<float>(c.kept[p] * 10)) << c.filter;
    }
  }
}

TEST_F(PreFilteringTest, ErrorsCarryThePrefixAndKeepTheirKind) {
  bool invalid = false;
  std::string message = ErrorOf(R"({"$and": [{"color": "red"}, 5]})", &invalid);
  EXPECT_TRUE(invalid);
  EXPECT_EQ(message, "Error while pre-filtering: [json.exception.invalid_iterator.207] cannot use key() for non-object iterators");

  EXPECT_THROW(Run(R"({"a": 1, "b": 2})"), std::invalid_argument);  // the parser's error, unwrapped

  PushSummaryPlaintext(*engine_, "color", ostrik::Bytes(40, 0xAB));
  message = ErrorOf(R"({"color": "red"})", &invalid);
  EXPECT_FALSE(invalid);
  EXPECT_EQ(message.rfind("Error while pre-filtering: Error while converting buffer to map of centroid map: ", 0), 0u)
      << message;

  engine_->index_store_->BatchPushVariable({SummaryKey(*engine_, "age")}, {ostrik::Bytes(40, 0xCD)});
  message = ErrorOf(R"({"age": 1})", &invalid);
  EXPECT_FALSE(invalid);
  EXPECT_EQ(message.rfind("Error while pre-filtering: ", 0), 0u);
}

TEST_F(PreFilteringTest, SummaryIdsBeyondTheListsAreNeverKept) {
  fl::UpdateMetadata(*engine_, {R"({"color": "red"})"}, {100}, ostrik::Logger::instance());
  const auto r = Run(R"({"color": "red"})");
  EXPECT_EQ(r.centroid_ids, (Ids{0}));
  EXPECT_EQ(r.coarse[0].rows, 1u);
}

// Real numbers equal to the range sentinels must not make a list read as holding no numbers.
TEST(PreFilteringSentinels, ListsHoldingSentinelValuesAreKept) {
  struct Case {
    std::vector<std::string> items;  // all in list 0
    const char* filter;
  } cases[] = {
      {{R"({"x": -9876543211})", R"({"x": 9876543211})"}, R"({"x": {"$gt": 1}})"},
      {{R"({"x": -9876543211})", R"({"x": 9876543211})"}, R"({"x": {"$lt": 1}})"},
      {{R"({"x": -9876543211})", R"({"x": 9876543211})", R"({"x": 5})"}, R"({"x": 5})"},
      {{R"({"x": -9876543211})", R"({"x": 9876543211})", R"({"x": 5})"}, R"({"x": {"$in": [5]}})"},
      {{R"({"x": [-9876543211, 9876543211]})"}, R"({"x": {"$eq": -9876543211}})"},
      {{R"({"x": [-9876543211, 9876543211]})"}, R"({"x": {"$gte": 9876543211}})"},
      {{R"({"x": ["s", 9876543211, -9876543211.0]})"}, R"({"x": {"$lte": -9876543211}})"},
      {{R"({"x": -9876543211})"}, R"({"x": {"$eq": -9876543211}})"},
      {{R"({"x": 9876543211})"}, R"({"x": {"$ne": 3}})"},
      {{R"({"x": 9876543211})"}, R"({"x": {"$nin": [3]}})"},
  };
  const std::vector<ostrik::QuantizerMatrix> coarse = {Centroids(2)};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    // The items may arrive in one batch or one by one: both must keep the list.
    for (bool one_batch : {true, false}) {
      SCOPED_TRACE(one_batch ? "one batch" : "one batch per item");
      auto engine = MemoryEngine(2, "sentinels");
      if (one_batch) {
        fl::UpdateMetadata(*engine, c.items, std::vector<uint32_t>(c.items.size(), 0), ostrik::Logger::instance());
      } else {
        for (const std::string& item : c.items) fl::UpdateMetadata(*engine, {item}, {0}, ostrik::Logger::instance());
      }
      bool matches = false;
      for (const std::string& item : c.items) matches |= fl::MatchesFilter(fl::ParseFilters(c.filter), json::parse(item));
      ASSERT_TRUE(matches);
      const auto r = fl::PreFiltering(*engine, coarse, {}, c.filter, ostrik::Logger::instance());
      ASSERT_FALSE(r.centroid_ids.empty());
      EXPECT_EQ(r.centroid_ids[0], 0u);
    }
  }
}

// ---- The promise: on random metadata and filters, no list holding a match is dropped. ----

class RandomJson {
 public:
  explicit RandomJson(uint32_t seed) : rng_(seed) {}
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  json Scalar() {
    switch (Pick(9)) {
      case 0: return static_cast<int64_t>(Pick(7)) - 3;
      case 1: return static_cast<double>(static_cast<int64_t>(Pick(7)) - 3);  // 2 and 2.0
      case 2: return static_cast<double>(Pick(50)) / 4.0 - 5.0;
      case 3: return Pick(2) == 0;
      case 4: return nullptr;
      case 5: return Pick(4) == 0 ? json(18446744073709551615ull) : json(-1);
      case 6: return Pick(2) == 0 ? json(-9876543211) : json(9876543211.0);  // the range sentinels
      default: return std::string(1, static_cast<char>('x' + Pick(3)));
    }
  }
  json Value(int depth) {
    const size_t kind = depth > 2 ? 0 : Pick(6);
    if (kind == 4) {
      json array = json::array();
      for (size_t i = Pick(4); i > 0; --i) array.push_back(Value(depth + 1));
      return array;
    }
    if (kind == 5) return Object(depth + 1);
    return Scalar();
  }
  json Object(int depth) {
    json object = json::object();
    for (size_t i = Pick(4); i > 0; --i) object[Key()] = Value(depth);
    return object;
  }
  std::string Key() {
    static const char* keys[] = {"a", "b", "c", "a.b", ""};
    return keys[Pick(5)];
  }
  std::string Path() {
    static const char* paths[] = {"a", "b", "c", "a.b", "b.a", "a.c", "c.a.b", "", ".a", "a."};
    return paths[Pick(10)];
  }
  json Condition() {
    static const char* ops[] = {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$exists", "$in", "$nin", "$regex", "$type"};
    const std::string op = ops[Pick(11)];
    json operand;
    if (op == "$exists") {
      operand = Pick(2) == 0;
    } else if (op == "$in" || op == "$nin") {
      operand = Pick(5) == 0 ? Value(1) : json::array();
      if (operand.is_array()) {
        for (size_t i = Pick(4); i > 0; --i) operand.push_back(Value(1));
      }
    } else if (op == "$regex") {
      static const char* patterns[] = {"x", "^y$", "z|x", "."};
      operand = patterns[Pick(4)];
    } else if (op == "$type") {
      static const char* names[] = {"string", "number", "boolean", "array", "object"};
      operand = names[Pick(5)];
    } else {
      operand = Value(1);
    }
    json condition = json::object();
    condition[op] = operand;
    // Several operators, only legal when nested; those that hold on a missing field among them.
    if (Pick(6) == 0) condition["$exists"] = Pick(2) == 0;
    if (Pick(6) == 0) condition["$nin"] = json::array({Value(1)});
    return condition;
  }
  json Filter(int depth) {
    const size_t kind = depth > 2 ? 0 : Pick(7);
    if (kind <= 2) {
      json f = json::object();
      f[Path()] = Pick(4) == 0 ? Value(2) : Condition();  // some equality shorthands
      return f;
    }
    if (kind == 6) return json{{"$not", Filter(depth + 1)}};
    static const char* ops[] = {"$and", "$or", "$nor", "$and"};
    json list = json::array();
    for (size_t i = Pick(4); i > 0; --i) list.push_back(Filter(depth + 1));
    return json{{ops[kind - 3], list}};
  }

 private:
  std::mt19937 rng_;
};

TEST(PreFilteringProperty, NeverDropsAListHoldingAMatch) {
  constexpr int32_t kRandomLists = 12;
  auto engine = MemoryEngine(kRandomLists, "property");
  const std::vector<ostrik::QuantizerMatrix> coarse = {Centroids(kRandomLists)};
  RandomJson gen(20261210);

  std::vector<json> items;
  std::vector<uint32_t> lists;
  for (int batch = 0; batch < 4; ++batch) {
    std::vector<std::string> texts;
    std::vector<uint32_t> tokens;
    for (int i = 0; i < 60; ++i) {
      json m = gen.Object(0);
      tokens.push_back(static_cast<uint32_t>(gen.Pick(kRandomLists - 2)));  // the last two lists stay empty
      texts.push_back(gen.Pick(10) == 0 ? "" : m.dump());
      items.push_back(texts.back().empty() ? json::object() : m);
      lists.push_back(tokens.back());
    }
    fl::UpdateMetadata(*engine, texts, tokens, ostrik::Logger::instance());
  }

  ostrik::Logger::instance().configure(ostrik::CRITICAL + 1, false, "");  // the run writes many warnings
  int checked = 0;
  int pruned = 0;
  for (int f = 0; f < 3000; ++f) {
    const std::string text = gen.Filter(0).dump();
    json filter;
    try {
      filter = fl::ParseFilters(text);
    } catch (const std::invalid_argument&) {
      continue;  // top-level rules refuse it
    }
    std::set<uint32_t> must_keep;
    bool evaluable = true;
    for (size_t i = 0; i < items.size() && evaluable; ++i) {
      try {
        if (fl::MatchesFilter(filter, items[i])) must_keep.insert(lists[i]);
      } catch (const std::invalid_argument&) {
        evaluable = false;
      }
    }
    if (!evaluable) continue;
    const auto result = fl::PreFiltering(*engine, coarse, {}, text, ostrik::Logger::instance());
    const std::set<uint32_t> kept(result.centroid_ids.begin(), result.centroid_ids.end());
    for (uint32_t list : must_keep) {
      ASSERT_TRUE(kept.count(list)) << "list " << list << " dropped for " << text;
    }
    ++checked;
    if (kept.size() < static_cast<size_t>(kRandomLists)) ++pruned;
  }
  ostrik::Logger::instance().configure(ostrik::ERROR, false, "");
  EXPECT_GT(checked, 1000);
  EXPECT_GT(pruned, checked / 10);  // the test is not vacuous: the pre-filter does prune
}

}  // namespace
