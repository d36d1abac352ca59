#include "filters/filter_match.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "filters/filter_language.h"

namespace {

using nlohmann::json;
using namespace ostrik_encrypted_index::internal::filters;

json Normalized(const std::string& text) {
  json filter = json::parse(text);
  NormalizeFilter(filter);
  return filter;
}

bool Matches(const std::string& metadata, const std::string& filter) {
  return MatchesFilter(Normalized(filter), json::parse(metadata));
}

struct Case {
  const char* metadata;
  const char* filter;
  bool matches;
};

void RunTable(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(Matches(c.metadata, c.filter), c.matches) << c.metadata << " against " << c.filter;
  }
}

TEST(MatchesFilter, ScalarFields) {
  RunTable({
      {R"({"age": 30})", R"({"age": {"$gt": 18}})", true},
      {R"({"age": 30})", R"({"age": {"$gt": "18"}})", false},
      {R"({"age": 30})", R"({"age": {"$eq": 30.0}})", true},
      {R"({"age": 30})", R"({"age": 30})", true},
      {R"({"age": 30})", R"({"age": {"$ne": 30}})", false},
      {R"({"age": 30})", R"({"age": {"$gte": 30}})", true},
      {R"({"age": 30})", R"({"age": {"$lt": 30}})", false},
      {R"({"age": 30})", R"({"age": {"$lte": 30.5}})", true},
      {R"({"age": 30})", R"({"age": {"$in": [30, 40]}})", true},
      {R"({"age": 30})", R"({"age": {"$in": 30}})", true},
      {R"({"age": 30})", R"({"age": {"$in": []}})", false},
      {R"({"age": 30})", R"({"age": {"$nin": null}})", true},
      {R"({"age": 30})", R"({"age": {"$nin": [30]}})", false},
      {R"({"age": 30})", R"({"age": {"$type": "number"}})", true},
      {R"({"age": 30})", R"({"age": {"$exists": true}})", true},
      {R"({"age": 30})", R"({"age": {"$exists": false}})", false},
      {R"({"age": 30})", R"({"age": "30"})", false},
      {R"({"flag": true})", R"({"flag": {"$eq": 1}})", false},
      {R"({"flag": true})", R"({"flag": {"$gt": 0}})", false},
      {R"({"flag": true})", R"({"flag": {"$type": "boolean"}})", true},
      {R"({"flag": false})", R"({"flag": {"$eq": 0}})", false},
      {R"({"name": "abc"})", R"({"name": {"$regex": "b"}})", true},
      {R"({"name": "abc"})", R"({"name": {"$regex": "B"}})", false},
      {R"({"name": "abc"})", R"({"name": {"$regex": "^abc$"}})", true},
      {R"({"name": "xaby"})", R"({"name": {"$regex": "^ab"}})", false},
      {R"({"name": 5})", R"({"name": {"$regex": "("}})", false},
      {R"({"name": "abc"})", R"({"name": {"$gt": "a"}})", false},
      {R"({"name": "abc"})", R"({"name": {"$type": "string"}})", true},
      {R"({"obj": {"a": 1}})", R"({"obj": {"$type": "object"}})", true},
      {R"({"obj": {"a": 1}})", R"({"obj": {"$type": "array"}})", false},
  });
}

TEST(MatchesFilter, NumbersCompareByValueAndSign) {
  RunTable({
      {R"({"n": 18446744073709551615})", R"({"n": -1})", false},
      {R"({"n": -1})", R"({"n": 18446744073709551615})", false},
      {R"({"n": 18446744073709551615})", R"({"n": {"$ne": -1}})", true},
      {R"({"n": 18446744073709551615})", R"({"n": {"$in": [-1]}})", false},
      {R"({"n": [18446744073709551615]})", R"({"n": {"$nin": [-1]}})", true},
      {R"({"n": 9007199254740993})", R"({"n": 9007199254740992.0})", false},
      {R"({"n": 9007199254740992})", R"({"n": 9007199254740992.0})", true},
      {R"({"n": -0.0})", R"({"n": 0})", true},
      {R"({"n": 2.5})", R"({"n": 2})", false},
      {R"({"n": 5})", R"({"n": {"$gt": -1}})", true},
      {R"({"n": 18446744073709551615})", R"({"n": {"$gt": -1}})", true},
  });
}

TEST(MatchesFilter, ArraysAndObjects) {
  RunTable({
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$eq": "a"}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": ["a", "b"]})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$eq": ["a", "b"]}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": ["b", "a"]})", false},
      {R"({"tags": [["a", "b"], "c"]})", R"({"tags": ["a", "b"]})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$ne": ["a", "b"]}})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$ne": ["a"]}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$ne": "c"}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$ne": "a"}})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$in": ["b", "z"]}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$in": [["a", "b"]]}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$nin": [["a", "b"]]}})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$nin": ["a"]}})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$nin": ["z"]}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$type": "array"}})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$type": "string"}})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$regex": "a"}})", false},
      {R"({"nums": [1, 7, "x"]})", R"({"nums": {"$gt": 5}})", true},
      {R"({"nums": [1, 2, "9"]})", R"({"nums": {"$gt": 5}})", false},
      {R"({"nums": [1, 2]})", R"({"nums": [1.0, 2.0]})", true},
      {R"({"x": {"a": 1}})", R"({"x": {"$eq": {"a": 1}}})", true},
      {R"({"x": {"a": 1}})", R"({"x": {"a": 1}})", true},
      {R"({"x": {"a": 1, "b": 2}})", R"({"x": {"a": 1}})", false},
      {R"({"x": {"a": 1}})", R"({"x": {"$in": [{"a": 1}]}})", true},
      {R"({"x": {"a": 1}})", R"({"x": {"$nin": [{"a": 1}]}})", false},
      {R"({"x": [{"a": 1}]})", R"({"x": {"$eq": {"a": 1}}})", true},
      {R"({"x": [null]})", R"({"$and": [{"x": {"$eq": null}}]})", true},
  });
}

TEST(MatchesFilter, PathsAndMissingFields) {
  RunTable({
      {R"({"address": {"city": "Paris"}})", R"({"address.city": "Paris"})", true},
      {R"({"address.city": "Paris"})", R"({"address.city": "Paris"})", false},
      {R"({"items": [{"price": 1}]})", R"({"items.price": 1})", false},
      {R"({"tags": ["a"]})", R"({"tags.0": "a"})", false},
      {R"({"a": {"": {"b": 1}}})", R"({"a..b": 1})", true},
      {R"({"": 7})", R"({"": 7})", true},
      {R"({"address": "Paris"})", R"({"address.city": {"$exists": false}})", true},
  });
  for (const char* metadata : {"{}", R"({"x": null})"}) {
    RunTable({
        {metadata, R"({"x": {"$exists": false}})", true},
        {metadata, R"({"x": {"$exists": true}})", false},
        {metadata, R"({"x": {"$exists": 0}})", false},
        {metadata, R"({"x": {"$ne": 1}})", false},
        {metadata, R"({"x": {"$nin": [1]}})", true},
        {metadata, R"({"x": {"$nin": 1}})", true},
        {metadata, R"({"x": {"$eq": null}})", false},
        {metadata, R"({"x": {"$in": [null]}})", false},
        {metadata, R"({"x": {"$type": "null"}})", false},
        {metadata, R"({"x": {"$foo": 1}})", false},
        {metadata, R"({"x": {"$regex": "("}})", false},
        // Every operator of a condition must hold, whatever their key order; none is checked.
        {metadata, R"({"$and": [{"x": {"$nin": [1], "$regex": "("}}]})", false},
        {metadata, R"({"x": {"$nin": [1], "$type": "string"}})", false},
        {metadata, R"({"x": {"$lt": 5, "$nin": [1]}})", false},
        {metadata, R"({"x": {"$exists": false, "$nin": [1]}})", true},
        {metadata, R"({"$and": [{"x": {"$exists": false, "$ne": 1}}]})", false},
    });
  }
}

TEST(MatchesFilter, LogicalOperators) {
  RunTable({
      {R"({"a": 1})", R"({"$and": []})", true},
      {R"({"a": 1})", R"({"$nor": []})", true},
      {R"({"a": 1})", R"({"$or": []})", false},
      {R"({"a": 1})", R"({"$not": {}})", false},
      {R"({"a": 1})", R"({"$and": [null]})", true},
      {R"({"a": 1, "b": 2})", R"({"$and": [{"a": 1, "b": 2}]})", true},
      {R"({"a": 1, "b": 3})", R"({"$and": [{"a": 1, "b": 2}]})", false},
      {R"({"age": 3})", R"({"$or": [{"age": {"$gt": 1, "$lt": 5}}]})", true},
      {R"({"age": 7})", R"({"$or": [{"age": {"$gt": 1, "$lt": 5}}]})", false},
      {R"({"a": 1})", R"({"$or": [{"a": 2}, {"a": 1}]})", true},
      {R"({"a": 1})", R"({"$nor": [{"a": 2}, {"a": 1}]})", false},
      {R"({"a": 1})", R"({"$nor": [{"a": 2}]})", true},
      {R"({"a": 1})", R"({"$not": {"a": 1}})", false},
      {R"({"$x": 5})", R"({"$and": [{"$x": 5}]})", true},
      {R"({"$x": 6})", R"({"$and": [{"$x": 5}]})", false},
  });
}

std::string EvaluationError(const std::string& metadata, const std::string& filter) {
  try {
    Matches(metadata, filter);
  } catch (const std::invalid_argument& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<wrong type> ") + e.what();
  }
  return "<no error>";
}

TEST(MatchesFilter, EvaluationErrorsAreInvalidArgument) {
  EXPECT_EQ(EvaluationError(R"({"x": 1})", R"({"x": {"$foo": 1}})"), "Unsupported operator: $foo");
  EXPECT_EQ(EvaluationError(R"({"x": 1})", R"({"x": {"$type": "null"}})"),
            "Unsupported type in $type operator: null");
  EXPECT_EQ(EvaluationError(R"({"name": "abc"})", R"({"name": {"$regex": "("}})").rfind("Invalid regex pattern: (\nError: ", 0),
            0u);
  // The library's own texts, carried by the one exception type.
  EXPECT_NE(EvaluationError(R"({"x": 1})", R"({"x": {"$exists": 1}})").find("type must be boolean"), std::string::npos);
  EXPECT_NE(EvaluationError(R"({"x": "a"})", R"({"x": {"$regex": 5}})").find("type must be string"), std::string::npos);
  EXPECT_NE(EvaluationError(R"({"x": 1})", R"({"x": {"$type": 5}})").find("type must be string"), std::string::npos);
  EXPECT_NE(EvaluationError(R"({"x": 1})", R"({"$not": 3})").find("cannot use key() for non-object iterators"),
            std::string::npos);
  EXPECT_NE(EvaluationError(R"({"x": 1})", R"({"$and": [5]})").find("cannot use key() for non-object iterators"),
            std::string::npos);
  // Members after the first failing one are not evaluated.
  EXPECT_EQ(EvaluationError(R"({"x": 1})", R"({"$and": [{"x": {"$eq": 2}}, {"x": {"$foo": 1}}]})"), "<no error>");
  EXPECT_EQ(EvaluationError(R"({"x": 2})", R"({"$and": [{"x": {"$eq": 2}}, {"x": {"$foo": 1}}]})"),
            "Unsupported operator: $foo");
}

TEST(MatchesFilter, DeepValuesAreRefusedNotRecursed) {
  json deep = json::object();
  json* at = &deep;
  for (int i = 0; i < 200; ++i) at = &((*at)["$not"] = json::object());
  EXPECT_THROW(MatchesFilter(deep, json::object()), std::invalid_argument);
}

TEST(MatchesFilter, RegexIsLinearTime) {
  const json big = {{"v", std::string(1 << 20, 'a') + "b"}};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(MatchesFilter(Normalized(R"({"v": {"$regex": "a+b$"}})"), big));
  EXPECT_FALSE(MatchesFilter(Normalized(R"({"v": {"$regex": "(a|aa)+c"}})"), big));
  const json subject = {{"v", std::string(100000, 'a') + "!"}};
  EXPECT_FALSE(MatchesFilter(Normalized(R"({"v": {"$regex": "(a+)+$"}})"), subject));
  // Generous bound: a backtracking engine takes hours here, or overflows its stack.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
