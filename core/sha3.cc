#include "core/sha3.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <bit>
#include <cstring>
#include <stdexcept>

#include "core/logger.h"

namespace ostrik {
namespace {


inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Keccak-f[1600], lane (x, y) at index x + 5y. The lanes live in locals for all 24 rounds; each
// round is theta, rho and pi fused into b, then chi and iota back into the lanes.
void KeccakF1600(uint64_t st[25]) {
  uint64_t a00 = st[0], a01 = st[1], a02 = st[2], a03 = st[3], a04 = st[4];
  uint64_t a05 = st[5], a06 = st[6], a07 = st[7], a08 = st[8], a09 = st[9];
  uint64_t a10 = st[10], a11 = st[11], a12 = st[12], a13 = st[13], a14 = st[14];
  uint64_t a15 = st[15], a16 = st[16], a17 = st[17], a18 = st[18], a19 = st[19];
  uint64_t a20 = st[20], a21 = st[21], a22 = st[22], a23 = st[23], a24 = st[24];
  for (int round = 0; round < 24; ++round) {
      const uint64_t c0 = a00 ^ a05 ^ a10 ^ a15 ^ a20;
      const uint64_t c1 = a01 ^ a06 ^ a11 ^ a16 ^ a21;
      const uint64_t c2 = a02 ^ a07 ^ a12 ^ a17 ^ a22;
      const uint64_t c3 = a03 ^ a08 ^ a13 ^ a18 ^ a23;
      const uint64_t c4 = a04 ^ a09 ^ a14 ^ a19 ^ a24;
      const uint64_t d0 = c4 ^ std::rotl(c1, 1);
      const uint64_t d1 = c0 ^ std::rotl(c2, 1);
      const uint64_t d2 = c1 ^ std::rotl(c3, 1);
      const uint64_t d3 = c2 ^ std::rotl(c4, 1);
      const uint64_t d4 = c3 ^ std::rotl(c0, 1);
      const uint64_t b00 = a00 ^ d0;
      const uint64_t b16 = std::rotl(a05 ^ d0, 36);
      const uint64_t b07 = std::rotl(a10 ^ d0, 3);
      const uint64_t b23 = std::rotl(a15 ^ d0, 41);
      const uint64_t b14 = std::rotl(a20 ^ d0, 18);
      const uint64_t b10 = std::rotl(a01 ^ d1, 1);
      const uint64_t b01 = std::rotl(a06 ^ d1, 44);
      const uint64_t b17 = std::rotl(a11 ^ d1, 10);
      const uint64_t b08 = std::rotl(a16 ^ d1, 45);
      const uint64_t b24 = std::rotl(a21 ^ d1, 2);
      const uint64_t b20 = std::rotl(a02 ^ d2, 62);
      const uint64_t b11 = std::rotl(a07 ^ d2, 6);
      const uint64_t b02 = std::rotl(a12 ^ d2, 43);
      const uint64_t b18 = std::rotl(a17 ^ d2, 15);
      const uint64_t b09 = std::rotl(a22 ^ d2, 61);
      const uint64_t b05 = std::rotl(a03 ^ d3, 28);
      const uint64_t b21 = std::rotl(a08 ^ d3, 55);
      const uint64_t b12 = std::rotl(a13 ^ d3, 25);
      const uint64_t b03 = std::rotl(a18 ^ d3, 21);
      const uint64_t b19 = std::rotl(a23 ^ d3, 56);
      const uint64_t b15 = std::rotl(a04 ^ d4, 27);
      const uint64_t b06 = std::rotl(a09 ^ d4, 20);
      const uint64_t b22 = std::rotl(a14 ^ d4, 39);
      const uint64_t b13 = std::rotl(a19 ^ d4, 8);
      const uint64_t b04 = std::rotl(a24 ^ d4, 14);
      a00 = b00 ^ (~b01 & b02);
      a01 = b01 ^ (~b02 & b03);
      a02 = b02 ^ (~b03 & b04);
      a03 = b03 ^ (~b04 & b00);
      a04 = b04 ^ (~b00 & b01);
      a05 = b05 ^ (~b06 & b07);
      a06 = b06 ^ (~b07 & b08);
      a07 = b07 ^ (~b08 & b09);
      a08 = b08 ^ (~b09 & b05);
      a09 = b09 ^ (~b05 & b06);
      a10 = b10 ^ (~b11 & b12);
      a11 = b11 ^ (~b12 & b13);
      a12 = b12 ^ (~b13 & b14);
      a13 = b13 ^ (~b14 & b10);
      a14 = b14 ^ (~b10 & b11);
      a15 = b15 ^ (~b16 & b17);
      a16 = b16 ^ (~b17 & b18);
      a17 = b17 ^ (~b18 & b19);
      a18 = b18 ^ (~b19 & b15);
      a19 = b19 ^ (~b15 & b16);
      a20 = b20 ^ (~b21 & b22);
      a21 = b21 ^ (~b22 & b23);
      a22 = b22 ^ (~b23 & b24);
      a23 = b23 ^ (~b24 & b20);
      a24 = b24 ^ (~b20 & b21);
      a00 ^= kKeccakRoundConstants[round];
  }
  st[0] = a00; st[1] = a01; st[2] = a02; st[3] = a03; st[4] = a04;
  st[5] = a05; st[6] = a06; st[7] = a07; st[8] = a08; st[9] = a09;
  st[10] = a10; st[11] = a11; st[12] = a12; st[13] = a13; st[14] = a14;
  st[15] = a15; st[16] = a16; st[17] = a17; st[18] = a18; st[19] = a19;
  st[20] = a20; st[21] = a21; st[22] = a22; st[23] = a23; st[24] = a24;
}

inline uint64_t FirstEightBigEndian(const uint64_t st[25]) {
  // Output byte j is state byte j, i.e. byte j of the little-endian lane 0.
  return __builtin_bswap64(st[0]);
}

// A 32-byte message fits one block: lanes 0-3 are the input, 0x06 follows it, 0x80 ends the rate.
inline void Sha3OfThirtyTwo(uint64_t st[25], const uint8_t* input) {
  for (int i = 0; i < 4; ++i) st[i] = LoadLe64(input + 8 * i);
  st[4] = 0x06;
  for (int i = 5; i < 25; ++i) st[i] = 0;
  st[16] = 0x8000000000000000ULL;
  KeccakF1600(st);
}

void Sha3OfBytes(uint64_t st[25], const uint8_t* data, size_t size) {
  uint8_t block[kSha3BlockBuffer] = {};
  size_t position = 0;
  for (int i = 0; i < 25; ++i) st[i] = 0;
  // Whole blocks are XORed straight from the message; the tail goes through the block buffer.
  while (size >= kSha3Rate) {
    for (size_t i = 0; i < kSha3Rate / 8; ++i) st[i] ^= LoadLe64(data + 8 * i);
    KeccakF1600(st);
    data += kSha3Rate;
    size -= kSha3Rate;
  }
  for (size_t i = 0; i < size; ++i) block[position++] ^= data[i];
  block[position] ^= 0x06;
  block[kSha3Rate - 1] ^= 0x80;
  KeccakAbsorbBlock(st, block, position);
}

}  // namespace

void KeccakAbsorbBlock(uint64_t state[25], uint8_t block[kSha3BlockBuffer], size_t& position) {
  for (int i = 0; i < 25; ++i) state[i] ^= LoadLe64(block + 8 * i);
  KeccakF1600(state);
  position = 0;
  std::memset(block, 0, kSha3BlockBuffer);
}

uint8_t* ComputeHmacSha3(uint8_t* out, const uint8_t* key, const uint8_t* data_begin, const uint8_t* data_end) {
  static const uint8_t kEmpty = 0;
  const size_t size = static_cast<size_t>(data_end - data_begin);
  // A null range start is legal for an empty range; the library gets a valid pointer regardless.
  const uint8_t* data = size == 0 ? &kEmpty : data_begin;
  unsigned int out_len = 0;
  if (HMAC(EVP_sha3_256(), key, 32, data, size, out, &out_len) == nullptr) {
    static const char kMessage[] = "Failed to compute HMAC hash";
    EngineLogger().error(kMessage);
    throw std::runtime_error(kMessage);
  }
  return out;
}

uint8_t* Sha3Hash32(uint8_t* out, const uint8_t* input) {
  uint64_t st[25];
  Sha3OfThirtyTwo(st, input);
  for (int i = 0; i < 4; ++i) StoreLe64(out + 8 * i, st[i]);
  return out;
}

uint64_t Sha3HashToU64(const uint8_t* input) {
  uint64_t st[25];
  Sha3OfThirtyTwo(st, input);
  return FirstEightBigEndian(st);
}

uint64_t Sha3BytesToU64(const Bytes& input) {
  uint64_t st[25];
  Sha3OfBytes(st, input.data(), input.size());
  return FirstEightBigEndian(st);
}

std::vector<uint64_t> HashItemIds(const std::vector<std::string>& ids, const uint8_t* key) {
  std::vector<uint64_t> hashes;
  hashes.reserve(ids.size());
  Bytes buffer(key, key + 32);
  for (const std::string& id : ids) {
    buffer.resize(32);
    buffer.insert(buffer.end(), id.begin(), id.end());
    hashes.push_back(Sha3BytesToU64(buffer));
  }
  return hashes;
}

}  // namespace ostrik
