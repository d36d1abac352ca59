// Derivations against known answers computed outside the code, and the shared-prefix walk and its
// parallel bodies against the plain walk.
#include <gtest/gtest.h>
#include <omp.h>

#include <random>

#include "token_store/token_index.h"
#include "token_store/token_labels.h"
#include "token_store/item_labels.h"
#include "core/sha3.h"
#include "token_store/token_vectors.h"

namespace ts = ostrik_encrypted_index::internal::token_store;
using namespace token_vectors;

namespace {

ostrik::IndexSetup AlphaOnMemory(int32_t vocab) {
  ostrik::IndexSetup s;
  s.index_name = "alpha";
  for (int i = 0; i < 32; ++i) s.index_key[i] = static_cast<uint8_t>(i + 1);
  s.index_location = s.config_location = s.items_location = s.data_location = ostrik::DBConfig("memory");
  s.vocab_size = vocab;
  s.payload_size = 8;
  return s;
}

std::vector<ts::TokenSeed> AlphaSeeds(uint64_t n) {
  Key32 key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i + 1);
  return ts::DeriveTokenSeeds(n, key.data(), kNameMac.data());
}

}  // namespace

TEST(TokenDerivation, KeysNameHashAndSeedsMatchKnownAnswers) {
  ts::TokenIndex engine(AlphaOnMemory(8), nullptr);
  EXPECT_EQ(engine.name_mac_, kNameMac);
  EXPECT_EQ(engine.data_key_, kDataKey);
  EXPECT_EQ(engine.content_key_, kContentKey);
  EXPECT_EQ(engine.centroid_metadata_key_, kCentroidMetadataKey);
  uint64_t hash = 0;
  for (int i = 0; i < 8; ++i) hash = (hash << 8) | engine.name_mac_[i];
  EXPECT_EQ(hash, kIndexNameHash);
  EXPECT_EQ(AlphaSeeds(8)[7].bytes, kSeed7);
}

TEST(TokenDerivation, LabelsAndPadsMatchKnownAnswers) {
  const auto seeds = AlphaSeeds(8);
  for (const auto& v : kLabelVectors) {
    SCOPED_TRACE("token " + std::to_string(v.token) + " position " + std::to_string(v.position) + " depth " +
                 std::to_string(v.depth));
    uint64_t label = 0, pad = 0;
    ts::DeriveLabelAndPad(seeds[v.token], v.position, v.depth, label, pad);
    EXPECT_EQ(label, v.label);
    EXPECT_EQ(pad, v.pad);
  }
}

TEST(TokenDerivation, StoredEntryUnmasksToTheDataLabel) {
  ts::TokenIndex engine(AlphaOnMemory(8), nullptr);
  ts::TokenItemBatch batch;
  batch.input_tokens = {0};
  batch.item_ids = {"item-1"};
  batch.payloads = ostrik::ByteMatrix(1, 8);
  engine.AddItems(batch);
  const auto& v = kLabelVectors[0];  // token 0, position 0, depth 32
  const ostrik::Bytes entry = engine.index_store_->GetItem(v.label);
  ASSERT_EQ(entry.size(), 8u);
  uint64_t stored = 0;
  for (int b = 7; b >= 0; --b) stored = (stored << 8) | entry[b];
  EXPECT_EQ(stored ^ v.pad, kDataLabelItem1);
  EXPECT_NE(stored ^ kLabelVectors[1].pad, kDataLabelItem1);
}

TEST(TokenDerivation, ParallelBodiesGiveTheSameLabelsForAnyThreadCount) {
  const auto seeds = AlphaSeeds(5);
  // One big token, empty tokens, a repeated token: the split crosses token boundaries.
  const std::vector<uint32_t> tokens = {0, 3, 1, 4, 0};
  const std::vector<uint64_t> counts = {1000, 0, 17, 1, 1000};
  ts::TokenLabels expected;
  expected.offsets = {0};
  for (uint64_t c : counts) expected.offsets.push_back(expected.offsets.back() + c);
  for (size_t k = 0; k < tokens.size(); ++k) {
    for (uint64_t j = 0; j < counts[k]; ++j) {
      uint64_t l, p;
      ts::DeriveLabelAndPad(seeds[tokens[k]], static_cast<uint32_t>(j), 32, l, p);
      expected.labels.push_back(l);
      expected.masks.push_back(p);
    }
  }
  // Adding: the same positions as items, with data labels folded into the masks.
  std::vector<uint32_t> item_tokens, positions;
  std::vector<uint64_t> data_labels;
  for (size_t k = 0; k < tokens.size(); ++k) {
    for (uint64_t j = 0; j < counts[k]; ++j) {
      item_tokens.push_back(tokens[k]);
      positions.push_back(static_cast<uint32_t>(j));
      data_labels.push_back(j * 0x9e3779b97f4a7c15ULL);
    }
  }
  const int saved = omp_get_max_threads();
  for (int threads : {1, 3, 8}) {
    omp_set_num_threads(threads);
    ts::TokenLabels got;
    got.offsets = expected.offsets;
    got.labels.resize(expected.labels.size());
    got.masks.resize(expected.labels.size());
    ts::DeriveTokenLabelsBody(tokens, seeds, got, 32);
    EXPECT_EQ(got.labels, expected.labels) << threads << " threads";
    EXPECT_EQ(got.masks, expected.masks) << threads << " threads";

    ts::TokenLabels added;
    added.labels.resize(item_tokens.size());
    added.masks.resize(item_tokens.size());
    ts::DeriveItemLabelsBody(item_tokens, data_labels, seeds, positions, added, 32);
    EXPECT_EQ(added.labels, expected.labels) << threads << " threads";
    for (size_t i = 0; i < data_labels.size(); ++i) ASSERT_EQ(added.masks[i] ^ data_labels[i], expected.masks[i]);
  }
  omp_set_num_threads(saved);
}

TEST(TokenDerivation, ParallelItemLabelsEqualHashItemIds) {
  std::vector<std::string> ids = {"", "item-1", std::string(300, 'x')};
  for (int i = 0; i < 5000; ++i) ids.push_back("id-" + std::to_string(i * 7919));
  const Key32 key = kDataKey;
  EXPECT_EQ(ts::ItemLabels(ids, key.data()), ostrik::HashItemIds(ids, key.data()));
  EXPECT_EQ(ts::ItemLabels({"item-1"}, key.data()), (std::vector<uint64_t>{kDataLabelItem1}));
}

// The batched walk hashes the bottom levels of many positions at once and shares the states above
// each block of 2^16 positions: check it at every depth where that split changes (around 16 and
// 32), for fetches crossing a block boundary (from position 0 and from later ones) and for
// scattered, repeated and wrapping add positions.
TEST(TokenDerivation, BatchedWalkEqualsPlainWalkAtEveryDepth) {
  const auto seeds = AlphaSeeds(5);
  const std::vector<uint32_t> tokens = {0, 3, 1, 4, 2};
  // Above depth 32 nothing is shared, so the long tokens would only cost time there.
  const std::vector<uint64_t> long_counts = {66000, 0, 517, 1, 70000};
  const std::vector<uint64_t> short_counts = {3000, 0, 17, 1, 700};
  std::mt19937_64 rng(11);
  std::vector<uint32_t> item_tokens, positions;
  std::vector<uint64_t> data_labels;
  for (int i = 0; i < 600; ++i) {
    const uint32_t t = static_cast<uint32_t>(rng() % 5);
    switch (rng() % 4) {
      case 0: item_tokens.push_back(t); positions.push_back(static_cast<uint32_t>(rng())); break;
      case 1: {
        const uint32_t start = static_cast<uint32_t>(rng() % 200000);
        for (uint32_t q = 0; q < 40; ++q) { item_tokens.push_back(t); positions.push_back(start + q); }
        break;
      }
      case 2:
        for (uint32_t q = 0; q < 4; ++q) { item_tokens.push_back(t); positions.push_back(UINT32_MAX - 3 + q); }
        item_tokens.push_back(t); positions.push_back(0);
        break;
      default: item_tokens.push_back(t); positions.push_back(positions.empty() ? 0 : positions.back());
    }
  }
  for (size_t i = 0; i < item_tokens.size(); ++i) data_labels.push_back(rng());
  auto sampled = [](uint64_t j) { return j < 300 || (j > 65236 && j < 65836) || j % 97 == 0; };

  const int saved = omp_get_max_threads();
  for (uint32_t depth : {0u, 1u, 3u, 15u, 16u, 17u, 24u, 32u, 33u, 40u}) {
    for (int threads : {1, 3, 8}) {
      SCOPED_TRACE("depth " + std::to_string(depth) + ", " + std::to_string(threads) + " threads");
      omp_set_num_threads(threads);
      const std::vector<uint64_t>& counts = depth > 32 ? short_counts : long_counts;
      ts::TokenLabels got;
      got.offsets = {0};
      for (uint64_t c : counts) got.offsets.push_back(got.offsets.back() + c);
      got.labels.resize(got.offsets.back());
      got.masks.resize(got.offsets.back());
      ts::DeriveTokenLabelsBody(tokens, seeds, got, depth);
      for (size_t k = 0; k < tokens.size(); ++k) {
        for (uint64_t j = 0; j < counts[k]; ++j) {
          if (!sampled(j)) continue;
          uint64_t l, p;
          ts::DeriveLabelAndPad(seeds[tokens[k]], static_cast<uint32_t>(j), depth, l, p);
          ASSERT_EQ(got.labels[got.offsets[k] + j], l) << "token " << tokens[k] << " position " << j;
          ASSERT_EQ(got.masks[got.offsets[k] + j], p) << "token " << tokens[k] << " position " << j;
        }
      }
      // From later positions on (a fetch of what the label cache lacks), across block boundaries.
      const std::vector<uint64_t> starts = {65530, 3, 1, 0, 131000}, tail_counts = {600, 0, 300, 1, 70};
      ts::TokenLabels tail;
      tail.offsets = {0};
      for (uint64_t c : tail_counts) tail.offsets.push_back(tail.offsets.back() + c);
      tail.labels.resize(tail.offsets.back());
      tail.masks.resize(tail.offsets.back());
      ts::DeriveTokenLabelsFrom(tokens, starts, seeds, tail, depth);
      for (size_t k = 0; k < tokens.size(); ++k) {
        for (uint64_t j = 0; j < tail_counts[k]; ++j) {
          uint64_t l, p;
          ts::DeriveLabelAndPad(seeds[tokens[k]], static_cast<uint32_t>(starts[k] + j), depth, l, p);
          ASSERT_EQ(tail.labels[tail.offsets[k] + j], l) << "token " << tokens[k] << " position " << starts[k] + j;
          ASSERT_EQ(tail.masks[tail.offsets[k] + j], p) << "token " << tokens[k] << " position " << starts[k] + j;
        }
      }
      ts::TokenLabels added;
      added.labels.resize(item_tokens.size());
      added.masks.resize(item_tokens.size());
      ts::DeriveItemLabelsBody(item_tokens, data_labels, seeds, positions, added, depth);
      for (size_t i = 0; i < item_tokens.size(); ++i) {
        uint64_t l, p;
        ts::DeriveLabelAndPad(seeds[item_tokens[i]], positions[i], depth, l, p);
        ASSERT_EQ(added.labels[i], l) << "item " << i << " position " << positions[i];
        ASSERT_EQ(added.masks[i] ^ data_labels[i], p) << "item " << i << " position " << positions[i];
      }
    }
  }
  omp_set_num_threads(saved);
}
