#include "filters/post_filtering.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filters/filter_language.h"
#include "filters/filter_match.h"

namespace {

using nlohmann::json;
using namespace ostrik_encrypted_index::internal::filters;

// One candidate per metadata text; payload row i is four bytes of value i; ids "id<i>".
ostrik::ItemRecords Candidates(const std::vector<std::string>& metadata, std::vector<uint64_t> groups) {
  ostrik::ItemRecords r;
  ostrik::Bytes bytes;
  for (size_t i = 0; i < metadata.size(); ++i) {
    r.item_ids.push_back("id" + std::to_string(i));
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(i));
  }
  r.metadata = metadata;
  r.token_indices = std::move(groups);
  r.payloads = ostrik::ByteMatrix(std::move(bytes), 4);
  return r;
}

std::string ErrorOf(const ostrik::ItemRecords& candidates, const std::string& filter) {
  try {
    PostFiltering(candidates, filter, ostrik::Logger::instance());
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no error>";
}

void ExpectEmpty(const ostrik::ItemRecords& r) {
  EXPECT_TRUE(r.item_ids.empty());
  EXPECT_TRUE(r.token_indices.empty());
  EXPECT_TRUE(r.metadata.empty());
  EXPECT_EQ(r.payloads.rows, 0u);
  EXPECT_EQ(r.payloads.cols, 0u);
}

TEST(PostFiltering, NoFilterReturnsTheCandidatesUntouched) {
  const auto in = Candidates({"not json", R"({"a": 1})"}, {0, 1, 2});
  for (const char* text : {"", "{}", "null", "[]"}) {
    const auto out = PostFiltering(in, text, ostrik::Logger::instance());
    EXPECT_EQ(out.item_ids, in.item_ids);
    EXPECT_EQ(out.metadata, in.metadata);
    EXPECT_EQ(out.token_indices, in.token_indices);
    EXPECT_EQ(out.payloads.data, in.payloads.data);
  }
}

TEST(PostFiltering, KeepsGroupsOfTheKeptCandidates) {
  struct Case {
    std::vector<uint64_t> groups;
    std::vector<int> kept;
    std::vector<uint64_t> expected;
  } cases[] = {
      {{0, 2, 5}, {1, 3}, {0, 1, 2}},
      {{0, 2, 5}, {3, 4}, {0, 0, 2}},
      {{0, 2, 5}, {0, 1}, {0, 2, 2}},
      {{0, 0, 3}, {0, 2}, {0, 0, 2}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> metadata(c.groups.back(), R"({"keep": false})");
    for (int k : c.kept) metadata[k] = R"({ "keep" : true, "z": "as written" })";
    const auto in = Candidates(metadata, c.groups);
    const auto out = PostFiltering(in, R"({"keep": true})", ostrik::Logger::instance());
    EXPECT_EQ(out.token_indices, c.expected);
    ASSERT_EQ(out.item_ids.size(), c.kept.size());
    for (size_t j = 0; j < c.kept.size(); ++j) {
      EXPECT_EQ(out.item_ids[j], "id" + std::to_string(c.kept[j]));
      EXPECT_EQ(out.metadata[j], metadata[c.kept[j]]);  // byte for byte, spacing included
      EXPECT_EQ(out.payloads.row(j)[0], static_cast<uint8_t>(c.kept[j]));
    }
    EXPECT_EQ(out.payloads.rows, c.kept.size());
    EXPECT_EQ(out.payloads.cols, 4u);
  }
}

TEST(PostFiltering, NothingKeptOrNoCandidatesGivesAnEmptyRecord) {
  ExpectEmpty(PostFiltering(Candidates({R"({"a": 1})", R"({"a": 2})"}, {0, 2}), R"({"a": 3})",
                            ostrik::Logger::instance()));
  ExpectEmpty(PostFiltering(Candidates({}, {0, 0}), R"({"a": 3})", ostrik::Logger::instance()));
  // With no candidates an unsupported nested operator is never reached.
  ExpectEmpty(PostFiltering(Candidates({}, {0}), R"({"$and": [{"a": {"$foo": 1}}]})", ostrik::Logger::instance()));
}

TEST(PostFiltering, EmptyMetadataIsTheEmptyObject) {
  const auto in = Candidates({"", R"({"x": 1})"}, {0, 2});
  EXPECT_EQ(PostFiltering(in, R"({"x": {"$exists": false}})", ostrik::Logger::instance()).item_ids,
            std::vector<std::string>{"id0"});
  EXPECT_EQ(PostFiltering(in, R"({"x": {"$nin": [1]}})", ostrik::Logger::instance()).item_ids,
            std::vector<std::string>{"id0"});
  ExpectEmpty(PostFiltering(in, R"({"x": {"$ne": 1}})", ostrik::Logger::instance()));
}

TEST(PostFiltering, ReportsTheFirstFailingCandidateInOrder) {
  std::vector<std::string> metadata(2000, R"({"c": 1})");
  metadata[1500] = "nope";
  metadata[700] = R"({"a": tru})";
  std::string first_message;
  try {
    const json ignored = json::parse(metadata[700]);
    (void)ignored;
  } catch (const json::exception& e) {
    first_message = e.what();
  }
  EXPECT_EQ(ErrorOf(Candidates(metadata, {0, 2000}), R"({"c": 1})"), "Invalid JSON string provided: " + first_message);

  std::string deep;
  for (int i = 0; i < 150; ++i) deep += R"({"a": )";
  deep += "1" + std::string(150, '}');
  metadata[300] = deep;
  EXPECT_EQ(ErrorOf(Candidates(metadata, {0, 2000}), R"({"c": 1})").rfind("Invalid JSON string provided: ", 0), 0u);

  // Evaluation errors: the earliest candidate's error wins whatever thread meets it.
  std::vector<std::string> items(5000, R"({"c": 1})");
  items[4000] = R"({"a": 1})";
  items[2500] = R"({"b": 1})";
  const std::string filter = R"({"$or": [{"a": {"$type": "bogus"}}, {"b": {"$foo": 1}}]})";
  EXPECT_EQ(ErrorOf(Candidates(items, {0, 5000}), filter), "Unsupported operator: $foo");
  items[1000] = R"({"a": 2})";
  EXPECT_EQ(ErrorOf(Candidates(items, {0, 5000}), filter), "Unsupported type in $type operator: bogus");
  // Metadata is all read before anything is evaluated: a malformed text anywhere comes first.
  items[4999] = "{";
  EXPECT_EQ(ErrorOf(Candidates(items, {0, 5000}), filter).rfind("Invalid JSON string provided: ", 0), 0u);
}

TEST(PostFiltering, ParallelResultEqualsItemByItemEvaluation) {
  std::mt19937 rng(7);
  std::vector<std::string> metadata;
  const char* colors[] = {"red", "green", "blue"};
  for (int i = 0; i < 20000; ++i) {
    json m = {{"price", static_cast<int>(rng() % 100)}, {"color", colors[rng() % 3]}};
    if (rng() % 4 == 0) m["tags"] = json::array({colors[rng() % 3], "x"});
    metadata.push_back(i % 97 == 0 ? "" : m.dump());
  }
  std::vector<uint64_t> groups = {0};
  for (uint64_t g = 1; g <= 20; ++g) groups.push_back(g * 1000);
  const std::string filter =
      R"({"$and": [{"price": {"$lt": 50}}, {"color": {"$in": ["red", "blue"]}}, {"tags": {"$nin": ["green"]}}]})";
  const auto out = PostFiltering(Candidates(metadata, groups), filter, ostrik::Logger::instance());

  const json parsed_filter = ParseFilters(filter);
  std::vector<std::string> expected;
  std::vector<uint64_t> expected_groups = {0};
  for (size_t i = 0; i < metadata.size(); ++i) {
    const json m = metadata[i].empty() ? json::object() : json::parse(metadata[i]);
    if (MatchesFilter(parsed_filter, m)) expected.push_back("id" + std::to_string(i));
    if ((i + 1) % 1000 == 0) expected_groups.push_back(expected.size());
  }
  EXPECT_EQ(out.item_ids, expected);
  EXPECT_EQ(out.token_indices, expected_groups);
}

TEST(PostFiltering, InconsistentRecordIsRefused) {
  auto in = Candidates({R"({"a": 1})", R"({"a": 1})"}, {0, 2});
  in.item_ids.pop_back();
  EXPECT_THROW(PostFiltering(in, R"({"a": 1})", ostrik::Logger::instance()), std::out_of_range);
  in = Candidates({R"({"a": 1})", R"({"a": 1})"}, {0, 2});
  in.payloads = ostrik::ByteMatrix(ostrik::Bytes(4, 0), 4);
  EXPECT_THROW(PostFiltering(in, R"({"a": 1})", ostrik::Logger::instance()), std::out_of_range);
}

}  // namespace
