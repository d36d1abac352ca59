#include "core/sha3.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "test_hex.h"

namespace {

using dz_test::FromHex;
using dz_test::ToHex;
using ostrik::Bytes;

uint64_t BigEndian64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

uint64_t Prefix64(const std::string& hex) { return BigEndian64(FromHex(hex).data()); }

Bytes Pattern(size_t n) {
  Bytes m(n);
  for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i % 251);
  return m;
}

Bytes OpensslSha3(const Bytes& m) {
  Bytes out(32);
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(m.data(), m.size(), out.data(), &len, EVP_sha3_256(), nullptr), 1);
  return out;
}

struct Sha3Case {
  const char* name;
  Bytes message;
  const char* digest_prefix;  // first 8 digest bytes in hex
};

// FIPS 202 SHA3-256: the published digests of "", "abc" and 200 bytes of 0xa3; the i mod 251
// patterns straddle the 136-byte rate (the 0x86 padding byte at 135 and 271 bytes, one or two
// permutations while absorbing), with reference digests from an independent implementation.
TEST(Sha3, KnownDigestsAcrossBlockBoundaries) {
  const Sha3Case cases[] = {
      {"empty", {}, "a7ffc6f8bf1ed766"},
      {"abc", {'a', 'b', 'c'}, "3a985da74fe225b2"},
      {"200 x a3", Bytes(200, 0xa3), "79f38adec5c20307"},
      {"135 bytes", Pattern(135), "fded8fd9d6551c60"},
      {"136 bytes", Pattern(136), "cf3ccff92480a291"},
      {"137 bytes", Pattern(137), "ce9d7dc90913ee5d"},
      {"271 bytes", Pattern(271), "0153fcdb6825d836"},
      {"272 bytes", Pattern(272), "b7ccd55b6c2c3fa1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ostrik::Sha3BytesToU64(c.message), Prefix64(c.digest_prefix)) << c.name;
  }
}

TEST(Sha3, ThirtyTwoByteVariantsAgreeWithTheDigest) {
  const Bytes input = Pattern(32);  // 00 01 .. 1f
  uint8_t digest[32];
  EXPECT_EQ(ostrik::Sha3Hash32(digest, input.data()), digest);
  EXPECT_EQ(ToHex(digest, 32), "050a48733bd5c2756ba95c5828cc83ee16fabcd3c086885b7744f84a0f9e0d94");
  EXPECT_EQ(ostrik::Sha3HashToU64(input.data()), BigEndian64(digest));
  EXPECT_EQ(ostrik::Sha3BytesToU64(input), BigEndian64(digest));
}

// Differential check against the library over every length up to three blocks and many random
// 32-byte inputs: catches any slip in the unrolled permutation that a handful of vectors might not.
TEST(Sha3, MatchesLibrarySha3) {
  std::mt19937_64 rng(7);
  for (size_t n = 0; n <= 3 * 136 + 5; ++n) {
    Bytes m(n);
    for (auto& b : m) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(ostrik::Sha3BytesToU64(m), BigEndian64(OpensslSha3(m).data())) << "length " << n;
  }
  for (int k = 0; k < 500; ++k) {
    Bytes m(32);
    for (auto& b : m) b = static_cast<uint8_t>(rng());
    uint8_t digest[32];
    ostrik::Sha3Hash32(digest, m.data());
    ASSERT_EQ(ToHex(digest, 32), ToHex(OpensslSha3(m)));
    ASSERT_EQ(ostrik::Sha3HashToU64(m.data()), BigEndian64(digest));
  }
}

TEST(Sha3, AbsorbBlockIsOneSpongeStep) {
  uint64_t state[25] = {};
  uint8_t block[ostrik::kSha3BlockBuffer] = {'a', 'b', 'c', 0x06};
  block[135] = 0x80;
  size_t position = 3;
  ostrik::KeccakAbsorbBlock(state, block, position);
  EXPECT_EQ(position, 0u);
  for (uint8_t b : block) ASSERT_EQ(b, 0);
  EXPECT_EQ(__builtin_bswap64(state[0]), Prefix64("3a985da74fe225b2"));
}

// NIST's HMAC-SHA3-256 sample with a 32-byte key (00..1f), "Sample message for keylen<blocklen".
TEST(HmacSha3, PublishedVectorAndEmptyRange) {
  const Bytes key = Pattern(32);
  const std::string msg = "Sample message for keylen<blocklen";
  const auto* begin = reinterpret_cast<const uint8_t*>(msg.data());
  uint8_t mac[32];
  EXPECT_EQ(ostrik::ComputeHmacSha3(mac, key.data(), begin, begin + msg.size()), mac);
  EXPECT_EQ(ToHex(mac, 32), "4fe8e202c4f058e8dddc23d8c34e467343e23555e24fc2f025d598f558f67205");

  ostrik::ComputeHmacSha3(mac, key.data(), nullptr, nullptr);
  EXPECT_EQ(ToHex(mac, 32), "50ab1606034383fe4b3b4bc0a341a82e40ac85e455cdfeed4cac902a7b8ccfc1");
}

TEST(HashItemIds, KeyThenIdBytesInOrder) {
  const Bytes key = Pattern(32);
  Bytes other_key = key;
  other_key[0] ^= 1;
  EXPECT_TRUE(ostrik::HashItemIds({}, key.data()).empty());

  const auto hashes = ostrik::HashItemIds({"item-1", "", "b", "item-1"}, key.data());
  ASSERT_EQ(hashes.size(), 4u);
  EXPECT_EQ(hashes[0], Prefix64("7e557f1ba02e018b"));  // SHA3-256(key || "item-1")
  EXPECT_EQ(hashes[1], ostrik::Sha3BytesToU64(key));   // empty id: the key alone
  Bytes key_b = key;
  key_b.push_back('b');
  EXPECT_EQ(hashes[2], ostrik::Sha3BytesToU64(key_b));
  EXPECT_EQ(hashes[3], hashes[0]);
  EXPECT_NE(ostrik::HashItemIds({"item-1"}, other_key.data())[0], hashes[0]);
}

}  // namespace
