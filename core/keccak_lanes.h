// SHA3-256 of many independent 32-byte inputs at once: the Keccak-f[1600] permutation runs on 8
// instances side by side with AVX-512F, 4 with AVX2, or one at a time through core/sha3. The path
// is picked once from the CPU; every path gives the scalar routines' results bit for bit.
//
// Throws: std::invalid_argument when a path the CPU lacks is forced; otherwise nothing.
//
// Thread-safety: pure functions over caller-owned buffers; any number of threads may call them at
// once, inside parallel regions too. Nothing allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrik {

enum class KeccakLanesPath { kScalar, kAvx2, kAvx512 };

// The widest path this CPU runs.
KeccakLanesPath BestKeccakLanesPath();
bool KeccakLanesPathAvailable(KeccakLanesPath path);

// in: n inputs of 32 bytes back to back. out[i] (32 bytes at out + 32 i) is Sha3Hash32 of input i.
// out may equal in; partial overlap is not allowed.
void Sha3Hash32Batch(uint8_t* out, const uint8_t* in, size_t n);
void Sha3Hash32Batch(uint8_t* out, const uint8_t* in, size_t n, KeccakLanesPath path);

// out[i] is Sha3HashToU64 of input i (the first 8 digest bytes, big-endian).
void Sha3HashToU64Batch(uint64_t* out, const uint8_t* in, size_t n);
void Sha3HashToU64Batch(uint64_t* out, const uint8_t* in, size_t n, KeccakLanesPath path);

}  // namespace ostrik
