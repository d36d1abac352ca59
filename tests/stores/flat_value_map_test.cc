// The memory store's table against std::unordered_map: random insertions, overwrites (values copied
// in and taken over) and erasures over a small key range (long probe runs, so erasure shifts runs
// that wrap the table's end), with keys that collide in their low bits.
#include "stores/flat_value_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;

TEST(FlatValueMap, AgreesWithAReferenceMapThroughInsertsAndErasures) {
  for (const uint64_t stride : {uint64_t{1}, uint64_t{1} << 32, uint64_t{4096}}) {
    SCOPED_TRACE(stride);
    std::mt19937_64 rng(stride);
    bs::FlatValueMap table;
    std::unordered_map<uint64_t, std::vector<uint8_t>> reference;
    EXPECT_EQ(table.Find(7), nullptr);
    EXPECT_FALSE(table.Erase(7));
    for (int step = 0; step < 20000; ++step) {
      const uint64_t key = (rng() % 300) * stride;
      const int action = static_cast<int>(rng() % 3);
      if (action < 2) {
        // Lengths on both sides of what a slot keeps inline, copied in or taken over.
        const std::vector<uint8_t> value(rng() % 40, static_cast<uint8_t>(step));
        if (action == 0) {
          table[key] = value;
        } else {
          table[key].Adopt(std::vector<uint8_t>(value));
        }
        reference[key] = value;
      } else {
        EXPECT_EQ(table.Erase(key), reference.erase(key) == 1);
      }
      if (step % 997 == 0 || step == 19999) {
        ASSERT_EQ(table.size(), reference.size());
        for (uint64_t k = 0; k < 300; ++k) {
          const auto want = reference.find(k * stride);
          const bs::FlatValueMap::Value* got = table.Find(k * stride);
          ASSERT_EQ(got != nullptr, want != reference.end()) << k;
          if (got != nullptr) {
            EXPECT_EQ(got->ToVector(), want->second);
          }
        }
      }
    }
    for (const auto& [key, value] : reference) EXPECT_TRUE(table.Erase(key));
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.Find(0), nullptr);
  }
}

}  // namespace
