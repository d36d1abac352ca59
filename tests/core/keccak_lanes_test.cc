// The multi-lane SHA3-256 batches on every path this CPU runs, against the scalar routines and the
// published digests of 32-byte inputs.
#include "core/keccak_lanes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/sha3.h"
#include "test_hex.h"

namespace {

using dz_test::ToHex;
using ostrik::KeccakLanesPath;

struct PathCase {
  const char* name;
  KeccakLanesPath path;
};

const PathCase kPaths[] = {
    {"scalar", KeccakLanesPath::kScalar},
    {"avx2", KeccakLanesPath::kAvx2},
    {"avx512", KeccakLanesPath::kAvx512},
};

std::vector<uint8_t> RandomInputs(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> in(n * 32);
  for (auto& b : in) b = static_cast<uint8_t>(rng());
  return in;
}

// Every group width is crossed: counts below, at and just past 4 and 8, and a long batch whose
// tail is partial on both vector paths.
TEST(KeccakLanes, EveryPathMatchesScalarOnRandomInputs) {
  const size_t counts[] = {0, 1, 3, 4, 5, 7, 8, 9, 16, 1003};
  for (const auto& p : kPaths) {
    if (!ostrik::KeccakLanesPathAvailable(p.path)) {
      std::cout << "path " << p.name << " not available on this CPU\n";
      continue;
    }
    for (size_t n : counts) {
      SCOPED_TRACE(std::string(p.name) + " n=" + std::to_string(n));
      const auto in = RandomInputs(n, n + 11);
      std::vector<uint8_t> digests(n * 32 + 32, 0xee);  // one guard digest past the end
      std::vector<uint64_t> prefixes(n + 1, 0xeeeeeeeeeeeeeeeeULL);
      ostrik::Sha3Hash32Batch(digests.data(), in.data(), n, p.path);
      ostrik::Sha3HashToU64Batch(prefixes.data(), in.data(), n, p.path);
      for (size_t i = 0; i < n; ++i) {
        uint8_t want[32];
        ostrik::Sha3Hash32(want, in.data() + 32 * i);
        ASSERT_EQ(ToHex(digests.data() + 32 * i, 32), ToHex(want, 32)) << "input " << i;
        ASSERT_EQ(prefixes[i], ostrik::Sha3HashToU64(in.data() + 32 * i)) << "input " << i;
      }
      EXPECT_EQ(ToHex(digests.data() + 32 * n, 32), std::string(64, 'e'));
      EXPECT_EQ(prefixes[n], 0xeeeeeeeeeeeeeeeeULL);

      // In place: the label walk hashes its states over themselves.
      std::vector<uint8_t> inplace = in;
      ostrik::Sha3Hash32Batch(inplace.data(), inplace.data(), n, p.path);
      EXPECT_EQ(ToHex(inplace), ToHex(digests.data(), n * 32));
    }
  }
}

// FIPS 202 SHA3-256 of 32 zero bytes and of 00 01 .. 1f, in every lane of a full group of eight.
TEST(KeccakLanes, EveryPathGivesTheKnownDigestsInEveryLane) {
  std::vector<uint8_t> in(8 * 32, 0);
  for (size_t i = 1; i < 8; i += 2) {
    for (int b = 0; b < 32; ++b) in[32 * i + b] = static_cast<uint8_t>(b);
  }
  const std::string zeros = "9e6291970cb44dd94008c79bcaf9d86f18b4b49ba5b2a04781db7199ed3b9e4e";
  const std::string counting = "050a48733bd5c2756ba95c5828cc83ee16fabcd3c086885b7744f84a0f9e0d94";
  for (const auto& p : kPaths) {
    if (!ostrik::KeccakLanesPathAvailable(p.path)) continue;
    SCOPED_TRACE(p.name);
    std::vector<uint8_t> out(8 * 32);
    uint64_t prefixes[8];
    ostrik::Sha3Hash32Batch(out.data(), in.data(), 8, p.path);
    ostrik::Sha3HashToU64Batch(prefixes, in.data(), 8, p.path);
    for (size_t i = 0; i < 8; ++i) {
      const std::string& want = i % 2 == 0 ? zeros : counting;
      EXPECT_EQ(ToHex(out.data() + 32 * i, 32), want) << "lane " << i;
      EXPECT_EQ(prefixes[i], std::stoull(want.substr(0, 16), nullptr, 16)) << "lane " << i;
    }
  }
}

TEST(KeccakLanes, BestPathIsAvailableAndMissingPathsAreRefused) {
  EXPECT_TRUE(ostrik::KeccakLanesPathAvailable(ostrik::BestKeccakLanesPath()));
  for (const auto& p : kPaths) {
    if (ostrik::KeccakLanesPathAvailable(p.path)) continue;
    uint8_t in[32] = {}, out[32];
    EXPECT_THROW(ostrik::Sha3Hash32Batch(out, in, 1, p.path), std::invalid_argument) << p.name;
  }
}

}  // namespace
