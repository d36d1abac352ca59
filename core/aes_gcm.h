// AES-256-GCM batch ciphers for every value kept at rest, in one layout (GcmEnvelope):
// 12-byte random IV || ciphertext (same length as the plaintext) || 16-byte tag, no associated data.
//
// EncryptItems/DecryptItems seal or open a list of byte strings, one envelope per item;
// EncryptMatrix/DecryptMatrix do the same for the rows of a ByteMatrix. Keys are 32 bytes owned by
// the caller.
//
// Throws, before any work: std::invalid_argument for a plaintext (or an envelope's ciphertext) of
// 2^31 bytes or more, for 2^32 items or more in one EncryptItems call, for a null key and for a
// matrix whose data does not hold rows x cols bytes; std::length_error from DecryptMatrix for rows
// narrower than an envelope, and from the matrix operations for a result too large to address.
// std::runtime_error when any item or row fails, after the failures are logged through
// engine_logger (or the singleton). No partial result is ever returned.
//
// Thread-safety: reentrant. Each call runs one OpenMP region with the calling thread's team; cipher
// contexts are per item (item operations) or per thread (matrix operations).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/matrix.h"

namespace ostrik {

struct GcmEnvelope {
  static constexpr size_t kIvSize = 12;
  static constexpr size_t kTagSize = 16;
  static constexpr size_t kOverhead = kIvSize + kTagSize;  // envelope size minus plaintext size
  static constexpr size_t kKeySize = 32;
};

std::vector<Bytes> EncryptItems(const std::vector<Bytes>& plaintexts, const uint8_t* key);
// An empty envelope gives an empty plaintext.
std::vector<Bytes> DecryptItems(const std::vector<Bytes>& envelopes, const uint8_t* key);

// Row i of the result (width in.cols + 28) is the envelope of input row i.
ByteMatrix EncryptMatrix(const ByteMatrix& in, const uint8_t* key);
// Row i of the result (width in.cols - 28) is the plaintext of input row i.
ByteMatrix DecryptMatrix(const ByteMatrix& in, const uint8_t* key);

}  // namespace ostrik
