#include "filters/update_metadata.h"

#include <gtest/gtest.h>

#include <cmath>

#include "summary_engine.h"

namespace {

using namespace filters_test;
using fl::kMetaRangeSentinel;
constexpr double S = kMetaRangeSentinel;

class UpdateMetadataTest : public testing::Test {
 protected:
  void Update(const std::vector<std::string>& metadata, const std::vector<uint32_t>& tokens) {
    fl::UpdateMetadata(*engine_, metadata, tokens, ostrik::Logger::instance());
  }
  std::unique_ptr<ts::TokenIndex> engine_ = MemoryEngine(8);
};

TEST_F(UpdateMetadataTest, RangesWidenAcrossBatchesAndCoveredBatchesKeepThePlaintext) {
  Update({R"({"n": 5})", R"({"n": 9})"}, {3, 3});
  auto s = Summary(*engine_, "n");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[3].centroid_id, 3);
  EXPECT_EQ(s[3].min, 5);
  EXPECT_EQ(s[3].max, 9);
  EXPECT_TRUE(s[3].hashes.empty());

  const ostrik::Bytes plain_before = Plaintext(*engine_, "n");
  const ostrik::Bytes raw_before = RawSummary(*engine_, "n");
  Update({R"({"n": 7})"}, {3});
  EXPECT_EQ(Plaintext(*engine_, "n"), plain_before);
  EXPECT_NE(RawSummary(*engine_, "n"), raw_before);  // re-encrypted all the same

  Update({R"({"n": 12})", "", R"({"n": [-1, 2]})"}, {3, 5, 6});
  s = Summary(*engine_, "n");
  EXPECT_EQ(s[3].min, 5);
  EXPECT_EQ(s[3].max, 12);
  EXPECT_EQ(s[6].min, -1);
  EXPECT_EQ(s[6].max, 2);
  EXPECT_EQ(s[6].hashes, std::vector<uint32_t>{fl::StringCrc32("[-1,2]")});
  EXPECT_EQ(s.count(5), 0u);
}

TEST_F(UpdateMetadataTest, StringsGrowSortedHashSetsWithoutMovingTheRange) {
  Update({R"({"color": "red"})"}, {2});
  Update({R"({"color": "blue"})", R"({"color": "red"})"}, {2, 4});
  Update({R"({"color": "red", "flag": false})"}, {2});
  auto s = Summary(*engine_, "color");
  ASSERT_EQ(s.size(), 2u);
  std::vector<uint32_t> both = {fl::StringCrc32("red"), fl::StringCrc32("blue")};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(s[2].hashes, both);
  EXPECT_EQ(s[2].min, S);
  EXPECT_EQ(s[2].max, -S);
  EXPECT_EQ(s[4].hashes, std::vector<uint32_t>{fl::StringCrc32("red")});
  EXPECT_EQ(Summary(*engine_, "flag")[2].hashes, std::vector<uint32_t>{fl::StringCrc32("false")});
}

TEST_F(UpdateMetadataTest, RealSentinelValuesNeverLeaveTheNoNumberPair) {
  const double below = std::nextafter(-S, -1e300);
  const double above = std::nextafter(S, 1e300);
  Update({R"({"x": -9876543211})", R"({"x": 9876543211})", R"({"y": [-9876543211, 9876543211]})",
          R"({"z": -9876543211})"},
         {0, 0, 1, 2});
  Update({R"({"z": 9876543211})"}, {2});  // the bound from another batch
  for (const auto& [path, id] : std::vector<std::pair<std::string, uint32_t>>{{"x", 0}, {"y", 1}, {"z", 2}}) {
    SCOPED_TRACE(path);
    const auto s = Summary(*engine_, path);
    ASSERT_EQ(s.count(id), 1u);
    EXPECT_EQ(s.at(id).min, below);
    EXPECT_EQ(s.at(id).max, above);
  }
}

TEST_F(UpdateMetadataTest, StoredBoundsOnTheNoNumberPairWidenAroundNewNumbers) {
  // Written without bounds: reads as the no-number pair, whether it held strings or real -S and +S.
  fl::CentroidMap stored;
  stored[1] = {1, -S, S, {fl::StringCrc32("red")}};
  stored[2] = {2, -S, 7, {}};
  PushSummaryPlaintext(*engine_, "x", fl::EncodeCentroidMap(stored));

  Update({R"({"x": null})", R"({"x": ["blue"]})", R"({"x": {"k": 1}})"}, {1, 1, 2});  // no numbers
  auto s = Summary(*engine_, "x");
  EXPECT_EQ(s[1].min, -S);
  EXPECT_EQ(s[1].max, S);
  EXPECT_EQ(s[2].min, -S);
  EXPECT_EQ(s[2].max, 7);

  Update({R"({"x": 5})", R"({"x": 9})"}, {1, 2});
  s = Summary(*engine_, "x");
  EXPECT_EQ(s[1].min, std::nextafter(-S, -1e300));
  EXPECT_EQ(s[1].max, std::nextafter(S, 1e300));
  EXPECT_EQ(s[1].hashes.size(), 3u);  // red, blue and the array text
  EXPECT_EQ(s[2].min, std::nextafter(-S, -1e300));
  EXPECT_EQ(s[2].max, 9);
}

TEST_F(UpdateMetadataTest, OnlyTheBatchPathsAreRewritten) {
  Update({R"({"c": 1})"}, {0});
  const ostrik::Bytes c_raw = RawSummary(*engine_, "c");
  Update({R"({"a": 1, "b": {"x": true}})"}, {1});
  EXPECT_EQ(RawSummary(*engine_, "c"), c_raw);
  EXPECT_FALSE(Summary(*engine_, "a").empty());
  EXPECT_FALSE(Summary(*engine_, "b").empty());
  EXPECT_FALSE(Summary(*engine_, "b.x").empty());
}

TEST_F(UpdateMetadataTest, BatchesWithoutPathsWriteNothing) {
  const uint64_t before = engine_->index_store_->NumItems();
  Update({"{}", "5", "", "[1, 2]", "null"}, {0, 1, 2, 3, 4});
  Update({}, {0, 1});
  EXPECT_EQ(engine_->index_store_->NumItems(), before);
}

TEST_F(UpdateMetadataTest, FailuresLeaveStoredSummariesUnchanged) {
  Update({R"({"a": 1})"}, {0});
  const ostrik::Bytes a_raw = RawSummary(*engine_, "a");

  EXPECT_THROW(Update({R"({"a": 2})", R"({"a": )"}, {0, 1}), nlohmann::json::parse_error);
  std::string deep = "1";
  for (int i = 0; i < 120; ++i) deep = R"({"a": )" + deep + "}";
  EXPECT_THROW(Update({R"({"a": 3})", deep}, {0, 1}), std::invalid_argument);
  EXPECT_THROW(Update({R"({"a": 3})"}, {0, 1}), std::invalid_argument);
  EXPECT_EQ(RawSummary(*engine_, "a"), a_raw);

  // A stored summary that does not verify is refused, not overwritten with the batch alone.
  ostrik::Bytes corrupt = Plaintext(*engine_, "a");
  corrupt.resize(corrupt.size() / 2);
  PushSummaryPlaintext(*engine_, "a", corrupt);
  const ostrik::Bytes corrupt_raw = RawSummary(*engine_, "a");
  EXPECT_THROW(Update({R"({"a": 4, "b": 1})"}, {0}), std::runtime_error);
  EXPECT_EQ(RawSummary(*engine_, "a"), corrupt_raw);
  EXPECT_TRUE(RawSummary(*engine_, "b").empty());
}

}  // namespace
