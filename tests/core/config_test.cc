#include "core/config.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using ostrik::DBConfig;
using ostrik::IndexConfig;
using ostrik::IndexIVFFlat;

template <typename Fn>
std::string InvalidArgumentText(Fn fn) {
  try {
    fn();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "(no std::invalid_argument)";
}

TEST(DBConfig, LocationTexts) {
  const std::pair<const char*, int32_t> accepted[] = {
      {"redis", ostrik::REDIS}, {"memory", ostrik::MEMORY}, {"postgres", ostrik::POSTGRES}};
  for (const auto& [text, code] : accepted) EXPECT_EQ(DBConfig(text).location, code) << text;
  EXPECT_EQ(ostrik::REDIS, 0);
  EXPECT_EQ(ostrik::MEMORY, 1);
  EXPECT_EQ(ostrik::POSTGRES, 2);
  EXPECT_EQ(ostrik::NONE, 4);
  for (const char* text : {"Postgres", "none", "", "REDIS", "memory "}) {
    EXPECT_EQ(InvalidArgumentText([&] { DBConfig c(text); }), std::string("Unknown DB location: ") + text);
  }
}

TEST(DBConfig, CopiesOptionalStringsAsTheyAre) {
  const DBConfig bare("memory");
  const DBConfig copy(bare);
  EXPECT_EQ(copy.location, ostrik::MEMORY);
  EXPECT_FALSE(copy.table_name.has_value());
  EXPECT_FALSE(copy.connection_string.has_value());

  const DBConfig full("postgres", "items", "host=127.0.0.1");
  const DBConfig full_copy(full);
  EXPECT_EQ(full_copy.table_name, "items");
  EXPECT_EQ(full_copy.connection_string, "host=127.0.0.1");
}

TEST(IndexIVFFlat, FieldsAndMetricCodes) {
  const IndexIVFFlat c(128, 64, "squared_euclidean");
  EXPECT_EQ(c.dimension(), 128u);
  EXPECT_EQ(c.metric, 2);
  EXPECT_EQ(c.index_type, 0);
  EXPECT_EQ(c.n_lists(), 64u);
  EXPECT_EQ(c.pq_dim(), 0u);
  EXPECT_EQ(c.pq_bits(), 0u);
  ASSERT_TRUE(c.embedding_model.has_value());
  EXPECT_EQ(*c.embedding_model, "");

  EXPECT_EQ(IndexIVFFlat(4, 2, "cosine").metric, ostrik::Cosine);
  EXPECT_EQ(IndexIVFFlat(4, 2, "euclidean").metric, ostrik::Euclidean);
  EXPECT_EQ(IndexIVFFlat(4, 2).metric, ostrik::Euclidean);
  for (const char* text : {"manhattan", "Cosine", ""}) {
    EXPECT_EQ(InvalidArgumentText([&] { IndexIVFFlat c2(4, 2, text); }), std::string("Invalid distance metric: ") + text);
  }
}

TEST(IndexIVFFlat, CloneIsIndependentThroughTheBase) {
  IndexIVFFlat source(16, 8, "cosine");
  source.embedding_model.reset();
  std::unique_ptr<IndexConfig> clone = source.clone();
  EXPECT_FALSE(clone->embedding_model.has_value());
  EXPECT_EQ(clone->dimension(), 16u);
  EXPECT_EQ(clone->n_lists(), 8u);
  EXPECT_EQ(clone->metric, ostrik::Cosine);

  source.embedding_model = "model";
  source.n_lists_ = 9;
  EXPECT_FALSE(clone->embedding_model.has_value());
  EXPECT_EQ(clone->n_lists(), 8u);
  EXPECT_EQ(source.clone()->embedding_model, "model");
}

}  // namespace
