#include "core/keccak_lanes.h"

#include <cstring>
#include <stdexcept>

#include "core/sha3.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define DZ_KECCAK_LANES_X86 1
#endif

namespace ostrik {
namespace {


constexpr size_t kInputSize = 32;

// Keccak-f[1600] on vectors of independent states, lane (x, y) of every instance in a<x + 5y>.
// Theta, rho and pi are fused into b, then chi and iota write the lanes back; the operations are
// the path's own (XOR_, XOR5_, ROL_, CHI_ = a ^ (~b & c), BCAST_ of a round constant).
#define DZ_KECCAK_ROUNDS(V, XOR_, XOR5_, ROL_, CHI_, BCAST_)                                       \
  for (int round = 0; round < 24; ++round) {                                                     \
    const V c0 = XOR5_(a00, a05, a10, a15, a20);                                                 \
    const V c1 = XOR5_(a01, a06, a11, a16, a21);                                                 \
    const V c2 = XOR5_(a02, a07, a12, a17, a22);                                                 \
    const V c3 = XOR5_(a03, a08, a13, a18, a23);                                                 \
    const V c4 = XOR5_(a04, a09, a14, a19, a24);                                                 \
    const V d0 = XOR_(c4, ROL_(c1, 1));                                                          \
    const V d1 = XOR_(c0, ROL_(c2, 1));                                                          \
    const V d2 = XOR_(c1, ROL_(c3, 1));                                                          \
    const V d3 = XOR_(c2, ROL_(c4, 1));                                                          \
    const V d4 = XOR_(c3, ROL_(c0, 1));                                                          \
    const V b00 = XOR_(a00, d0);                                                                 \
    const V b16 = ROL_(XOR_(a05, d0), 36);                                                       \
    const V b07 = ROL_(XOR_(a10, d0), 3);                                                        \
    const V b23 = ROL_(XOR_(a15, d0), 41);                                                       \
    const V b14 = ROL_(XOR_(a20, d0), 18);                                                       \
    const V b10 = ROL_(XOR_(a01, d1), 1);                                                        \
    const V b01 = ROL_(XOR_(a06, d1), 44);                                                       \
    const V b17 = ROL_(XOR_(a11, d1), 10);                                                       \
    const V b08 = ROL_(XOR_(a16, d1), 45);                                                       \
    const V b24 = ROL_(XOR_(a21, d1), 2);                                                        \
    const V b20 = ROL_(XOR_(a02, d2), 62);                                                       \
    const V b11 = ROL_(XOR_(a07, d2), 6);                                                        \
    const V b02 = ROL_(XOR_(a12, d2), 43);                                                       \
    const V b18 = ROL_(XOR_(a17, d2), 15);                                                       \
    const V b09 = ROL_(XOR_(a22, d2), 61);                                                       \
    const V b05 = ROL_(XOR_(a03, d3), 28);                                                       \
    const V b21 = ROL_(XOR_(a08, d3), 55);                                                       \
    const V b12 = ROL_(XOR_(a13, d3), 25);                                                       \
    const V b03 = ROL_(XOR_(a18, d3), 21);                                                       \
    const V b19 = ROL_(XOR_(a23, d3), 56);                                                       \
    const V b15 = ROL_(XOR_(a04, d4), 27);                                                       \
    const V b06 = ROL_(XOR_(a09, d4), 20);                                                       \
    const V b22 = ROL_(XOR_(a14, d4), 39);                                                       \
    const V b13 = ROL_(XOR_(a19, d4), 8);                                                        \
    const V b04 = ROL_(XOR_(a24, d4), 14);                                                       \
    a00 = XOR_(CHI_(b00, b01, b02), BCAST_(kKeccakRoundConstants[round]));                             \
    a01 = CHI_(b01, b02, b03);                                                                   \
    a02 = CHI_(b02, b03, b04);                                                                   \
    a03 = CHI_(b03, b04, b00);                                                                   \
    a04 = CHI_(b04, b00, b01);                                                                   \
    a05 = CHI_(b05, b06, b07);                                                                   \
    a06 = CHI_(b06, b07, b08);                                                                   \
    a07 = CHI_(b07, b08, b09);                                                                   \
    a08 = CHI_(b08, b09, b05);                                                                   \
    a09 = CHI_(b09, b05, b06);                                                                   \
    a10 = CHI_(b10, b11, b12);                                                                   \
    a11 = CHI_(b11, b12, b13);                                                                   \
    a12 = CHI_(b12, b13, b14);                                                                   \
    a13 = CHI_(b13, b14, b10);                                                                   \
    a14 = CHI_(b14, b10, b11);                                                                   \
    a15 = CHI_(b15, b16, b17);                                                                   \
    a16 = CHI_(b16, b17, b18);                                                                   \
    a17 = CHI_(b17, b18, b19);                                                                   \
    a18 = CHI_(b18, b19, b15);                                                                   \
    a19 = CHI_(b19, b15, b16);                                                                   \
    a20 = CHI_(b20, b21, b22);                                                                   \
    a21 = CHI_(b21, b22, b23);                                                                   \
    a22 = CHI_(b22, b23, b24);                                                                   \
    a23 = CHI_(b23, b24, b20);                                                                   \
    a24 = CHI_(b24, b20, b21);                                                                   \
  }

// A 32-byte message fills lanes 0-3 of one block; the padding is the constant 0x06 in lane 4 and
// the top bit of lane 16, everything else starts at zero. Only lanes 0-3 of the result are needed.
#define DZ_KECCAK_ONE_BLOCK(V, ZERO_, BCAST_)                                                      \
  V a04 = BCAST_(0x06ULL), a16 = BCAST_(0x8000000000000000ULL);                                  \
  V a05 = ZERO_, a06 = ZERO_, a07 = ZERO_, a08 = ZERO_, a09 = ZERO_, a10 = ZERO_, a11 = ZERO_;   \
  V a12 = ZERO_, a13 = ZERO_, a14 = ZERO_, a15 = ZERO_, a17 = ZERO_, a18 = ZERO_, a19 = ZERO_;   \
  V a20 = ZERO_, a21 = ZERO_, a22 = ZERO_, a23 = ZERO_, a24 = ZERO_;

#ifdef DZ_KECCAK_LANES_X86

#define DZ_X512(a, b) _mm512_xor_si512(a, b)
#define DZ_X5_512(a, b, c, d, e) \
  _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, 0x96), d, e, 0x96)
// The masked forms with every lane selected: the unmasked ones start from an undefined vector that
// this compiler warns about.
#define DZ_ROL512(x, n) _mm512_mask_rol_epi64(x, 0xFF, x, n)
#define DZ_CHI512(a, b, c) _mm512_ternarylogic_epi64(a, b, c, 0xD2)
#define DZ_BCAST512(k) _mm512_set1_epi64(static_cast<long long>(k))

// Eight inputs at `in` (32 bytes each) to the first four lanes of their digests: words[w][i] is
// lane w of instance i.
__attribute__((target("avx512f"))) void Hash8(const uint8_t* in, uint64_t words[4][8]) {
  const __m512i stride = _mm512_setr_epi64(0, 4, 8, 12, 16, 20, 24, 28);
  const auto* base = reinterpret_cast<const long long*>(in);
  const __m512i zero = _mm512_setzero_si512();
  __m512i a00 = _mm512_mask_i64gather_epi64(zero, 0xFF, stride, base, 8);
  __m512i a01 = _mm512_mask_i64gather_epi64(zero, 0xFF, stride, base + 1, 8);
  __m512i a02 = _mm512_mask_i64gather_epi64(zero, 0xFF, stride, base + 2, 8);
  __m512i a03 = _mm512_mask_i64gather_epi64(zero, 0xFF, stride, base + 3, 8);
  DZ_KECCAK_ONE_BLOCK(__m512i, zero, DZ_BCAST512)
  DZ_KECCAK_ROUNDS(__m512i, DZ_X512, DZ_X5_512, DZ_ROL512, DZ_CHI512, DZ_BCAST512)
  _mm512_storeu_si512(words[0], a00);
  _mm512_storeu_si512(words[1], a01);
  _mm512_storeu_si512(words[2], a02);
  _mm512_storeu_si512(words[3], a03);
}

#define DZ_X256(a, b) _mm256_xor_si256(a, b)
#define DZ_X5_256(a, b, c, d, e) DZ_X256(DZ_X256(DZ_X256(a, b), DZ_X256(c, d)), e)
#define DZ_ROL256(x, n) _mm256_or_si256(_mm256_slli_epi64(x, n), _mm256_srli_epi64(x, 64 - (n)))
#define DZ_CHI256(a, b, c) _mm256_xor_si256(a, _mm256_andnot_si256(b, c))
#define DZ_BCAST256(k) _mm256_set1_epi64x(static_cast<long long>(k))

__attribute__((target("avx2"))) void Hash4(const uint8_t* in, uint64_t words[4][4]) {
  const __m256i stride = _mm256_setr_epi64x(0, 4, 8, 12);
  const auto* base = reinterpret_cast<const long long*>(in);
  __m256i a00 = _mm256_i64gather_epi64(base, stride, 8);
  __m256i a01 = _mm256_i64gather_epi64(base + 1, stride, 8);
  __m256i a02 = _mm256_i64gather_epi64(base + 2, stride, 8);
  __m256i a03 = _mm256_i64gather_epi64(base + 3, stride, 8);
  DZ_KECCAK_ONE_BLOCK(__m256i, _mm256_setzero_si256(), DZ_BCAST256)
  DZ_KECCAK_ROUNDS(__m256i, DZ_X256, DZ_X5_256, DZ_ROL256, DZ_CHI256, DZ_BCAST256)
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[0]), a00);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[1]), a01);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[2]), a02);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[3]), a03);
}

#endif  // DZ_KECCAK_LANES_X86

// Runs Hash (W lanes) over every full group, and over the tail copied into a zeroed group; Emit
// writes instance i of the group to output index first + i. The lanes hold x86 little-endian
// words, which is the byte order of the sponge's lanes.
template <size_t W, typename Hash, typename Emit>
inline void RunGroups(const uint8_t* in, size_t n, Hash hash, Emit emit) {
  uint64_t words[4][W];
  size_t i = 0;
  for (; i + W <= n; i += W) {
    hash(in + i * kInputSize, words);
    for (size_t k = 0; k < W; ++k) emit(i + k, words, k);
  }
  if (i < n) {
    uint8_t tail[W * kInputSize] = {};
    std::memcpy(tail, in + i * kInputSize, (n - i) * kInputSize);
    hash(tail, words);
    for (size_t k = 0; k < n - i; ++k) emit(i + k, words, k);
  }
}

template <size_t W>
inline void EmitDigest(uint8_t* out, size_t index, const uint64_t (&words)[4][W], size_t k) {
  for (int w = 0; w < 4; ++w) std::memcpy(out + index * kInputSize + 8 * w, &words[w][k], 8);
}

void CheckAvailable(KeccakLanesPath path) {
  if (!KeccakLanesPathAvailable(path)) {
    throw std::invalid_argument("Keccak lanes path not supported by this CPU");
  }
}

}  // namespace

bool KeccakLanesPathAvailable(KeccakLanesPath path) {
  switch (path) {
    case KeccakLanesPath::kScalar:
      return true;
#ifdef DZ_KECCAK_LANES_X86
    case KeccakLanesPath::kAvx2:
      return __builtin_cpu_supports("avx2");
    case KeccakLanesPath::kAvx512:
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

KeccakLanesPath BestKeccakLanesPath() {
  static const KeccakLanesPath best = [] {
    if (KeccakLanesPathAvailable(KeccakLanesPath::kAvx512)) return KeccakLanesPath::kAvx512;
    if (KeccakLanesPathAvailable(KeccakLanesPath::kAvx2)) return KeccakLanesPath::kAvx2;
    return KeccakLanesPath::kScalar;
  }();
  return best;
}

void Sha3Hash32Batch(uint8_t* out, const uint8_t* in, size_t n, KeccakLanesPath path) {
  CheckAvailable(path);
  switch (path) {
#ifdef DZ_KECCAK_LANES_X86
    case KeccakLanesPath::kAvx512:
      RunGroups<8>(in, n, Hash8, [out](size_t i, const uint64_t(&w)[4][8], size_t k) { EmitDigest<8>(out, i, w, k); });
      return;
    case KeccakLanesPath::kAvx2:
      RunGroups<4>(in, n, Hash4, [out](size_t i, const uint64_t(&w)[4][4], size_t k) { EmitDigest<4>(out, i, w, k); });
      return;
#endif
    default: {
      uint8_t digest[kSha3DigestSize];
      for (size_t i = 0; i < n; ++i) {
        Sha3Hash32(digest, in + i * kInputSize);
        std::memcpy(out + i * kInputSize, digest, kSha3DigestSize);
      }
    }
  }
}

void Sha3HashToU64Batch(uint64_t* out, const uint8_t* in, size_t n, KeccakLanesPath path) {
  CheckAvailable(path);
  switch (path) {
#ifdef DZ_KECCAK_LANES_X86
    case KeccakLanesPath::kAvx512:
      RunGroups<8>(in, n, Hash8, [out](size_t i, const uint64_t(&w)[4][8], size_t k) {
        out[i] = __builtin_bswap64(w[0][k]);
      });
      return;
    case KeccakLanesPath::kAvx2:
      RunGroups<4>(in, n, Hash4, [out](size_t i, const uint64_t(&w)[4][4], size_t k) {
        out[i] = __builtin_bswap64(w[0][k]);
      });
      return;
#endif
    default:
      for (size_t i = 0; i < n; ++i) out[i] = Sha3HashToU64(in + i * kInputSize);
  }
}

void Sha3Hash32Batch(uint8_t* out, const uint8_t* in, size_t n) {
  Sha3Hash32Batch(out, in, n, BestKeccakLanesPath());
}

void Sha3HashToU64Batch(uint64_t* out, const uint8_t* in, size_t n) {
  Sha3HashToU64Batch(out, in, n, BestKeccakLanesPath());
}

}  // namespace ostrik
