#include "filters/filter_language.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using nlohmann::json;
using namespace ostrik_encrypted_index::internal::filters;

std::string ErrorOf(const std::string& text) {
  try {
    ParseFilters(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ParseFilters, NoFilterTextsComeBackUnchanged) {
  EXPECT_EQ(ParseFilters(""), json::object());
  EXPECT_TRUE(ParseFilters("null").is_null());
  EXPECT_EQ(ParseFilters("{}"), json::object());
  EXPECT_EQ(ParseFilters("[]"), json::array());
}

TEST(ParseFilters, NormalisesShorthandAndKeepsOperandsAsWritten) {
  struct Case {
    const char* text;
    const char* normalised;
  } cases[] = {
      {R"({"color": "red"})", R"({"color": {"$eq": "red"}})"},
      {R"({"": 1})", R"({"": {"$eq": 1}})"},
      {R"({"x": {"a": 1}})", R"({"x": {"$eq": {"a": 1}}})"},
      {R"({"x": {"$eq": {"a": 1}}})", R"({"x": {"$eq": {"a": 1}}})"},
      {R"({"x": {"$in": [{"a": 1}, 2]}})", R"({"x": {"$in": [{"a": 1}, 2]}})"},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$eq": ["a", "b"]}})"},
      {R"({"$and": [{"a": 1}, {"$or": [{"b": null}]}, [{"c": 2}], 5]})",
       R"({"$and": [{"a": {"$eq": 1}}, {"$or": [{"b": {"$eq": null}}]}, [{"c": 2}], 5]})"},
      {R"({"$not": {"a": {}}})", R"({"$not": {"a": {"$eq": {}}}})"},
      {R"({"x": {"$exists": true, "y": 1}})", R"({"x": {"$exists": true, "y": {"$eq": 1}}})"},
  };
  for (const auto& c : cases) {
    json filter = json::parse(c.text);
    NormalizeFilter(filter);
    EXPECT_EQ(filter, json::parse(c.normalised)) << c.text;
  }
  EXPECT_EQ(ParseFilters(R"({"name": ""})"), json::parse(R"({"name": {"$eq": ""}})"));
}

TEST(ParseFilters, RefusesInvalidFiltersWithTheirMessages) {
  const std::string parse = "Invalid JSON format for filters: ";
  struct Case {
    std::string text;
    std::string message;  // exact, or a prefix when it ends in ": "
  } cases[] = {
      {"   ", parse},
      {"{'a': 1}", parse},
      {R"({"a": 1} {"b": 2})", parse},
      {R"({"a": 1e400})", parse},
      {"[1]", "The filters argument must be a JSON object."},
      {"5", "The filters argument must be a JSON object."},
      {R"("text")", "The filters argument must be a JSON object."},
      {R"({"a": 1, "b": 2})", "The filters argument must contain exactly one top-level filter."},
      {R"({"$xor": []})", "The top-level filter must be one of: $and, $or, $nor, $not."},
      {R"({"age": {"$gt": 1, "$lt": 5}})",
       "A single field can only have one condition. Found multiple conditions for field: age"},
      {R"({"age": {"$foo": 1}})", "Unsupported operator: $foo for field: age"},
      {R"({"age": null})", "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"age": {}})", "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"age": {"$in": {}}})", "Invalid query: Operator `$in` cannot have an empty object or null as a value."},
      {std::string(101, '[') + std::string(101, ']'), parse},
  };
  for (const auto& c : cases) {
    const std::string got = ErrorOf(c.text);
    if (c.message.size() >= 2 && c.message.substr(c.message.size() - 2) == ": ") {
      EXPECT_EQ(got.rfind(c.message, 0), 0u) << c.text << " -> " << got;
      EXPECT_GT(got.size(), c.message.size()) << c.text;
    } else {
      EXPECT_EQ(got, c.message) << c.text;
    }
  }
}

TEST(ParseFilters, AcceptsTopLevelLogicalOperatorsWithoutLookingBelow) {
  for (const char* text : {R"({"$and": 5})", R"({"$not": 3})", R"({"$or": []})",
                           R"({"$and": [{"age": {"$foo": 1}}]})", R"({"age": {"$in": []}})"}) {
    EXPECT_NO_THROW(ParseFilters(text)) << text;
  }
}

TEST(ParseFilters, NestingIsBounded) {
  auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels - 1; ++i) text += R"({"$not": )";
    text += R"({"a": 1})";
    for (int i = 0; i < levels - 1; ++i) text += "}";
    return text;
  };
  EXPECT_NO_THROW(ParseFilters(nested(50)));
  EXPECT_THROW(ParseFilters(nested(101)), std::invalid_argument);
  // Brackets inside strings do not count.
  EXPECT_NO_THROW(ParseFilters(R"({"a": ")" + std::string(500, '[') + R"("})"));
  // A million levels is refused before anything recurses.
  EXPECT_THROW(ParseFilters(std::string(1000000, '[') + std::string(1000000, ']')), std::invalid_argument);
}

TEST(ValidateFilters, ConditionWithoutOperatorIsRefused) {
  EXPECT_THROW(ValidateFilters(json::parse(R"({"age": {}})")), std::invalid_argument);
}

TEST(CollectFilterFields, CollectsTopLevelAndConjunctionPathsOnly) {
  struct Case {
    const char* filter;
    std::set<std::string> paths;
  } cases[] = {
      {R"({"$and": [{"a": {"$eq": 1}}, {"$or": [{"b.c": {"$gt": 2}}]}]})", {"a", "b.c"}},
      {R"({"$nor": [{"a": {"$eq": 1}}]})", {}},
      {R"({"$not": {"a": {"$eq": 1}}})", {}},
      {R"({"$and": [{"x": {"$exists": true, "y": {"$eq": 1}}}]})", {"x", "x.y"}},
      {R"({"$and": [{"$not": {"a": {"$eq": 1}}}, {"b": {"$eq": 1}}]})", {"b"}},
      {R"({"$or": {"k": {"z": {"$eq": 1}}}})", {"z"}},
      {R"({"": {"$exists": true, "x": {"$eq": 1}}})", {"", ".x"}},
  };
  for (const auto& c : cases) {
    std::set<std::string> paths;
    CollectFilterFields(json::parse(c.filter), paths, "");
    EXPECT_EQ(paths, c.paths) << c.filter;
  }
}

}  // namespace
