// Summaries written and read through each backing store: the update's single push and the
// pre-filter's fetch, scoped to the index that wrote them.
#include <gtest/gtest.h>


#include "filters/pre_filtering.h"
#include "filters/update_metadata.h"
#include "support/store_backends.h"
#include "support/test_servers.h"
#include "token_store/token_index.h"

namespace {

namespace ts = ostrik_encrypted_index::internal::token_store;
namespace fl = ostrik_encrypted_index::internal::filters;
using Ids = std::vector<uint32_t>;

using dz_test::Backend;

class SummaryStoresTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case Backend::Memory:
        index_ = config_ = ostrik::DBConfig("memory");
        break;
      case Backend::Postgres: {
        DZ_REQUIRE_SERVER(conn, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
        index_ = ostrik::DBConfig("postgres", "dz_filters_items", conn);
        config_ = ostrik::DBConfig("postgres", "dz_filters_config", conn);
        break;
      }
      case Backend::Redis: {
        DZ_REQUIRE_SERVER(conn, dz_test::RedisConnString, "DZ_REDIS_CONNSTR");
        index_ = config_ = ostrik::DBConfig("redis", "dz_filters", conn);
        break;
      }
    }
  }
  void TearDown() override {
    for (auto& engine : engines_) {
      if (engine) engine->DeleteIndex(true);
    }
  }
  ts::TokenIndex& NewEngine(const std::string& tag) {
    ostrik::IndexSetup s;
    s.index_name = dz_test::UniqueTestName("flt_", tag);
    s.index_key.fill(0x5A);
    s.index_location = s.data_location = s.items_location = index_;
    s.config_location = config_;
    s.vocab_size = kLists;
    s.payload_size = 4;
    engines_.push_back(std::make_unique<ts::TokenIndex>(s, nullptr));
    return *engines_.back();
  }
  Ids Kept(ts::TokenIndex& engine, const std::string& filter) {
    return fl::PreFiltering(engine, coarse_, {}, filter, ostrik::Logger::instance()).centroid_ids;
  }

  static constexpr int32_t kLists = 4;
  ostrik::DBConfig index_, config_;
  std::vector<std::unique_ptr<ts::TokenIndex>> engines_;
  std::vector<ostrik::QuantizerMatrix> coarse_ = {ostrik::QuantizerMatrix(kLists, std::vector<float>(kLists, 1.0f), 1)};
};

TEST_P(SummaryStoresTest, UpdatesAreReadBackAndStayWithTheirIndex) {
  ts::TokenIndex& first = NewEngine("a");
  ts::TokenIndex& second = NewEngine("b");
  fl::UpdateMetadata(first, {R"({"color": "red", "n": 1})", R"({"color": "blue"})"}, {0, 2}, ostrik::Logger::instance());
  fl::UpdateMetadata(first, {R"({"color": "red", "n": 10})"}, {3}, ostrik::Logger::instance());
  fl::UpdateMetadata(second, {R"({"color": "red"})"}, {1}, ostrik::Logger::instance());

  EXPECT_EQ(Kept(first, R"({"color": "red"})"), (Ids{0, 3}));
  EXPECT_EQ(Kept(first, R"({"n": {"$gt": 5}})"), (Ids{3}));
  EXPECT_EQ(Kept(second, R"({"color": "red"})"), (Ids{1}));
  EXPECT_EQ(Kept(second, R"({"n": 1})"), Ids{});

  // Deleting the index's stores takes its summaries along; the other index keeps its own.
  first.DeleteIndex(false);
  EXPECT_EQ(Kept(first, R"({"color": "red"})"), Ids{});
  EXPECT_EQ(Kept(second, R"({"color": "red"})"), (Ids{1}));
}

INSTANTIATE_TEST_SUITE_P(Stores, SummaryStoresTest, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         dz_test::BackendName);

}  // namespace
