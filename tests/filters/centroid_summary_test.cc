#include "filters/centroid_summary.h"

#include <gtest/gtest.h>

#include <cmath>

#include <flatbuffers/flatbuffers.h>

#include "schemas/centroid_map_generated.h"

namespace {

using nlohmann::json;
using namespace ostrik_encrypted_index::internal::filters;
constexpr double S = kMetaRangeSentinel;

TEST(StringCrc32, MatchesPublishedCrc32Values) {
  EXPECT_EQ(StringCrc32("123456789"), 0xCBF43926u);  // the CRC-32 check value
  EXPECT_EQ(StringCrc32(""), 0u);
  EXPECT_EQ(StringCrc32("true"), 0xFDFC4C8Du);
  EXPECT_EQ(StringCrc32("false"), 0x2BCD6830u);
}

FlatEntries Flatten(const std::string& metadata, std::set<std::string>* paths_out = nullptr, int32_t id = 3) {
  std::set<std::string> paths;
  FlatEntries entries;
  FlattenMetadata(json::parse(metadata), paths, id, entries, "");
  if (paths_out) *paths_out = paths;
  return entries;
}

void ExpectEntry(const CentroidMetaEntry& e, double min, double max, const std::vector<uint32_t>& hashes) {
  EXPECT_EQ(e.centroid_id, 3);
  EXPECT_EQ(e.min, min);
  EXPECT_EQ(e.max, max);
  EXPECT_EQ(e.hashes, hashes);
}

TEST(FlattenMetadata, EntriesPerPathAndValueType) {
  EXPECT_TRUE(Flatten("{}").empty());
  EXPECT_TRUE(Flatten("5").empty());

  auto e = Flatten(R"({"a": {"b": 1}, "n": null, "s": "red", "t": true, "v": 1e12, "w": [1e12]})");
  ASSERT_EQ(e.size(), 7u);
  ExpectEntry(e["a"].at(0), S, -S, {});
  ExpectEntry(e["a.b"].at(0), 1, 1, {});
  ExpectEntry(e["n"].at(0), S, -S, {});
  ExpectEntry(e["s"].at(0), -S, S, {StringCrc32("red")});
  ExpectEntry(e["t"].at(0), -S, S, {StringCrc32("true")});
  ExpectEntry(e["v"].at(0), 1e12, 1e12, {});
  ExpectEntry(e["w"].at(0), S, 1e12, {StringCrc32("[1000000000000.0]")});

  e = Flatten(R"({"tags": ["x", 2, true, null, {"k": 1}]})");
  ExpectEntry(e["tags"].at(0), 2, 2,
              {StringCrc32(R"(["x",2,true,null,{"k":1}])"), StringCrc32("x"), StringCrc32("true")});
  ExpectEntry(e["tags.k"].at(0), 1, 1, {});
  // An element array's text is kept too: it is what an array operand of $eq can equal.
  e = Flatten(R"({"m": [["a"], -4]})");
  ExpectEntry(e["m"].at(0), -4, -4, {StringCrc32(R"([["a"],-4])"), StringCrc32(R"(["a"])")});

  std::set<std::string> paths;
  e = Flatten(R"([{"a": 1}, {"a": 2}])", &paths);
  EXPECT_EQ(paths, (std::set<std::string>{"a"}));
  ASSERT_EQ(e["a"].size(), 2u);
  EXPECT_EQ(e["a"][1].min, 2);

  Flatten(R"({"items": [{"price": 5}], "a.b": 1, "": {"x": 1}})", &paths);
  EXPECT_EQ(paths, (std::set<std::string>{"", ".x", "a.b", "items", "items.price"}));
}

TEST(FlattenMetadata, NumbersOnTheSentinelsNeverFormTheNoNumberPair) {
  const double below = std::nextafter(-S, -1e300);
  const double above = std::nextafter(S, 1e300);
  struct Case {
    const char* metadata;
    double min, max;
  } cases[] = {
      {R"({"x": -9876543211})", below, -S},
      {R"({"x": 9876543211.0})", S, above},
      {R"({"x": [-9876543211, 9876543211]})", below, above},
      {R"({"x": [9876543211, "s", -9876543211.0]})", below, above},
      {R"({"x": [-9876543211]})", below, -S},
      {R"({"x": [1, 9876543211]})", 1, above},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.metadata);
    auto e = Flatten(c.metadata);
    const CentroidMetaEntry& entry = e["x"].at(0);
    EXPECT_EQ(entry.min, c.min);
    EXPECT_EQ(entry.max, c.max);
    EXPECT_FALSE(IsNoNumberPair(entry.min, entry.max));
  }
  // Values next to the sentinels are kept as they are.
  auto e = Flatten(R"({"x": [-9876543210, 9876543210]})");
  EXPECT_EQ(e["x"].at(0).min, -9876543210.0);
  EXPECT_EQ(e["x"].at(0).max, 9876543210.0);
}

TEST(FlattenMetadata, TooDeepIsInvalidArgument) {
  json deep = 1;
  for (int i = 0; i < 150; ++i) deep = json{{"a", deep}};
  std::set<std::string> paths;
  FlatEntries entries;
  EXPECT_THROW(FlattenMetadata(deep, paths, 0, entries, ""), std::invalid_argument);
}

TEST(CentroidMapBuffer, RoundTripsAndOmitsDefaults) {
  CentroidMap summary;
  summary[0] = {0, -S, S, {}};               // no-number pair, id 0: only hashes written
  summary[2] = {2, S, -S, {5, 9}};           // empty range: both bounds written
  summary[4000000000u] = {static_cast<int32_t>(4000000000u), -1.5, 7, {1}};
  const ostrik::Bytes buffer = EncodeCentroidMap(summary);
  ASSERT_EQ(InspectCentroidMapBuffer(buffer.data(), buffer.size()), SummaryBuffer::kValid);

  const auto* root = ostrik::schema::GetCentroidMapTable(buffer.data());
  ASSERT_EQ(root->entries()->size(), 3u);
  using T = ostrik::schema::CentroidEntryTable;
  auto has = [](const T* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
  };
  const T* first = root->entries()->Get(0);
  EXPECT_FALSE(has(first, T::VT_CENTROID_ID));
  EXPECT_FALSE(has(first, T::VT_MIN));
  EXPECT_FALSE(has(first, T::VT_MAX));
  EXPECT_TRUE(has(first, T::VT_HASHES));
  const T* second = root->entries()->Get(1);
  EXPECT_TRUE(has(second, T::VT_MIN));
  EXPECT_TRUE(has(second, T::VT_MAX));
  EXPECT_EQ(second->min(), S);

  const CentroidMap decoded = DecodeCentroidMapBuffer(buffer);
  ASSERT_EQ(decoded.size(), 3u);
  for (const auto& [id, bucket] : summary) {
    const auto& got = decoded.at(id);
    EXPECT_EQ(got.centroid_id, bucket.centroid_id);
    EXPECT_EQ(got.min, bucket.min);
    EXPECT_EQ(got.max, bucket.max);
    EXPECT_EQ(got.hashes, bucket.hashes);
  }
}

TEST(CentroidMapBuffer, RepeatedIdKeepsTheLastEntry) {
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<ostrik::schema::CentroidEntryTable>> tables;
  tables.push_back(ostrik::schema::CreateCentroidEntryTable(b, 7, 1, 2, b.CreateVector(std::vector<uint32_t>{1})));
  tables.push_back(ostrik::schema::CreateCentroidEntryTable(b, 7, 3, 4, b.CreateVector(std::vector<uint32_t>{2})));
  b.Finish(ostrik::schema::CreateCentroidMapTable(b, b.CreateVector(tables)));
  const CentroidMap decoded = DecodeCentroidMapBuffer(ostrik::Bytes(b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded.at(7).min, 3);
  EXPECT_EQ(decoded.at(7).hashes, std::vector<uint32_t>{2});
}

TEST(CentroidMapBuffer, CorruptOrTruncatedBuffersAreRefused) {
  CentroidMap summary;
  for (uint32_t id = 0; id < 50; ++id) summary[id] = {static_cast<int32_t>(id), 1.0 * id, 2.0 * id, {id, id + 1}};
  const ostrik::Bytes good = EncodeCentroidMap(summary);
  for (size_t cut : {size_t{0}, size_t{3}, good.size() / 2, good.size() - 1}) {
    ostrik::Bytes truncated(good.begin(), good.begin() + cut);
    EXPECT_THROW(DecodeCentroidMapBuffer(truncated), std::runtime_error) << cut;
  }
  ostrik::Bytes garbage(good.size(), 0xFF);
  EXPECT_THROW(DecodeCentroidMapBuffer(garbage), std::runtime_error);

  flatbuffers::FlatBufferBuilder b;
  b.Finish(ostrik::schema::CreateCentroidMapTable(b));
  EXPECT_EQ(InspectCentroidMapBuffer(b.GetBufferPointer(), b.GetSize()), SummaryBuffer::kNoEntries);
}

}  // namespace
