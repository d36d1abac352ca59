// AES-256-GCM batch ciphers for every value kept at rest, in one layout (GcmEnvelope):
// 12-byte random IV || ciphertext (same length as the plaintext) || 16-byte tag, no associated data.
//
// EncryptItems/DecryptItems seal or open a list of byte strings, one envelope per item;
// EncryptMatrix/DecryptMatrix do the same for the rows of a ByteMatrix; GcmItemOpener opens one
// envelope at a time into the caller's memory, for callers that run their own parallel region and
// use each plaintext while it is still in cache. Keys are 32 bytes owned by the caller.
//
// Throws, before any work: std::invalid_argument for a plaintext (or an envelope's ciphertext) of
// 2^31 bytes or more, for 2^32 items or more in one EncryptItems call, for a null key and for a
// matrix whose data does not hold rows x cols bytes; std::length_error from DecryptMatrix for rows
// narrower than an envelope, and from the matrix operations for a result too large to address.
// std::runtime_error when any item or row fails, after the failures are logged through
// engine_logger (or the singleton). No partial result is ever returned.
//
// Thread-safety: reentrant. Each call runs one OpenMP region with the calling thread's team; cipher
// contexts are per item (item operations) or per thread (matrix operations). A GcmItemOpener is
// used by one thread at a time: one per worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Opens envelopes one by one with one cipher context, keyed once. Open reports a failure the way
// DecryptItems does for an item (the step's text logged at ERROR) and returns it instead of
// throwing; ThrowDecryptFailures then reports a batch's failures as DecryptItems would.
class GcmItemOpener {
 public:
  // The algorithm of one batch, looked up once on the calling thread and shared by the openers of
  // every worker: the library's lookup takes locks. Immutable once built.
  class Algorithm {
   public:
    Algorithm();
    ~Algorithm();
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;

   private:
    friend class GcmItemOpener;
    struct State;
    std::unique_ptr<State> state_;
  };

  // Throws std::invalid_argument for a null key (std::bad_alloc when out of memory). Both must
  // outlive the opener.
  GcmItemOpener(const Algorithm& algorithm, const uint8_t* key);
  ~GcmItemOpener();
  GcmItemOpener(const GcmItemOpener&) = delete;
  GcmItemOpener& operator=(const GcmItemOpener&) = delete;

  // Opens the `size`-byte envelope into `plaintext` (size - 28 bytes; an empty envelope opens to
  // nothing). Returns null, or the text of the failed step, after which `plaintext` holds zeros.
  // REQUIRES: size passed CheckEnvelopeSize.
  const char* Open(const uint8_t* envelope, uint64_t size, uint8_t* plaintext) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// DecryptItems' up-front check of envelope `item`: std::invalid_argument when it is too large.
void CheckEnvelopeSize(uint64_t item, uint64_t size);
// errors[i] non-null: item i failed with that text. Logs (and writes to stderr) one line per failed
// item in ascending order, then the summary, and throws std::runtime_error "Decryption failed for
// one or more items"; returns when every entry is null.
void ThrowDecryptFailures(const std::vector<const char*>& errors);

// Row i of the result (width in.cols + 28) is the envelope of input row i.
ByteMatrix EncryptMatrix(const ByteMatrix& in, const uint8_t* key);
// Row i of the result (width in.cols - 28) is the plaintext of input row i.
ByteMatrix DecryptMatrix(const ByteMatrix& in, const uint8_t* key);

}  // namespace ostrik
