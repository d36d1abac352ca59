// SHA3-256 (FIPS 202) and the keyed hashes built on it.
//
// The SHA3-256 sponge is the module's own: it allocates nothing and calls no library, so the
// label derivation can call it per label inside parallel loops. ComputeHmacSha3 is HMAC-SHA3-256
// from libcrypto. A 64-bit hash value is the first 8 digest bytes read big-endian.
//
// Throws: ComputeHmacSha3 throws std::runtime_error "Failed to compute HMAC hash" (logged at ERROR
// through engine_logger) when the library fails; the SHA3 routines never throw; HashItemIds only on
// allocation failure.
//
// Thread-safety: all functions are pure; any number of threads may call them at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace ostrik {

// The round constants of Keccak-f[1600], shared by the scalar and the multi-lane permutation.
inline constexpr uint64_t kKeccakRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

constexpr size_t kSha3DigestSize = 32;
constexpr size_t kSha3Rate = 136;         // bytes absorbed per permutation
constexpr size_t kSha3BlockBuffer = 200;  // the whole Keccak state; bytes past the rate stay zero

// XORs the block (25 little-endian lanes) into the state, applies Keccak-f[1600], then clears the
// block and resets the position to 0.
void KeccakAbsorbBlock(uint64_t state[25], uint8_t block[kSha3BlockBuffer], size_t& position);

// HMAC-SHA3-256 of [data_begin, data_end) under a 32-byte key, written to out (32 bytes); returns out.
uint8_t* ComputeHmacSha3(uint8_t* out, const uint8_t* key, const uint8_t* data_begin, const uint8_t* data_end);

// SHA3-256 of a 32-byte input, written to out (32 bytes); returns out.
uint8_t* Sha3Hash32(uint8_t* out, const uint8_t* input);
// First 8 bytes, big-endian, of SHA3-256 of a 32-byte input.
uint64_t Sha3HashToU64(const uint8_t* input);
// First 8 bytes, big-endian, of SHA3-256 of any byte string (empty included).
uint64_t Sha3BytesToU64(const Bytes& input);

// Per id, Sha3BytesToU64(key[0..32) || id bytes); same order as ids.
std::vector<uint64_t> HashItemIds(const std::vector<std::string>& ids, const uint8_t* key);

}  // namespace ostrik
