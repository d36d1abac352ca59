#include "core/aes_gcm.h"

#include <omp.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "core/team_size.h"

namespace ostrik {
namespace {

// The cipher library takes lengths as int: one item or row must stay below 2^31 bytes.
constexpr uint64_t kMaxCipherLength = static_cast<uint64_t>(std::numeric_limits<int>::max());
constexpr uint64_t kMaxEncryptItems = (uint64_t{1} << 32) - 1;
// IVs are drawn from the generator for this many envelopes at a time (one call instead of many).
constexpr size_t kIvBatch = 64;
// Work per thread of a call's team, in bytes sealed or opened, an item or row counting kItemWork
// more for its fixed costs: 1 and 2 threads break even at about 32 items of 100 bytes, 12 of
// 1,000 and 5 of 4,000 here (some 20,000 bytes by this count, 5-10 us).
constexpr uint64_t kThreadBytes = uint64_t{1} << 14;
constexpr uint64_t kItemWork = 512;

constexpr size_t kIv = GcmEnvelope::kIvSize;
constexpr size_t kTag = GcmEnvelope::kTagSize;
constexpr size_t kOverhead = GcmEnvelope::kOverhead;

const char kEncryptNoContext[] = "Failed to create encryption context in at least one thread";
const char kEncryptInit[] = "Encryption initialization failed";
const char kEncryptUpdate[] = "Encryption failed";
const char kEncryptFinal[] = "Final encryption step failed";
const char kEncryptTag[] = "Failed to retrieve encryption tag";
const char kEncryptRandom[] = "Failed to generate a random IV";
const char kEncryptSummary[] = "Encryption failed for one or more items";
const char kDecryptShort[] = "Failed to decrypt";
const char kDecryptNoContext[] = "Failed to create EVP_CIPHER_CTX";
const char kDecryptInit[] = "Decryption initialization or update failed";
const char kDecryptFinal[] = "Decryption final step failed";
const char kDecryptSummary[] = "Decryption failed for one or more items";
const char kOutOfMemory[] = "Failed to allocate the output buffer";

// Stands in for the buffer of an empty plaintext: a null input to the update call can end GCM
// early on some library versions.
const uint8_t kNoBytes[1] = {0};

void LogErrorNoThrow(const char* message) noexcept {
  try {
    EngineLogger().error(message);
  } catch (...) {
  }
}

void CheckKey(const uint8_t* key) {
  if (key == nullptr) throw std::invalid_argument("The cipher key must not be null");
}

void CheckMatrixShape(const ByteMatrix& in) {
  if (in.cols != 0 && in.rows > std::numeric_limits<uint64_t>::max() / in.cols) {
    throw std::invalid_argument("Matrix shape overflows: rows x cols exceeds 2^64");
  }
  if (in.data.size() != in.rows * in.cols) {
    throw std::invalid_argument("Matrix data size does not match rows x cols");
  }
}

// Contiguous block [begin, end) of thread t of T over n elements: the first n mod T threads take
// one element more.
struct Block {
  uint64_t begin;
  uint64_t end;
};
Block StaticBlock(uint64_t n, uint64_t t, uint64_t threads) {
  const uint64_t q = n / threads;
  const uint64_t r = n % threads;
  const uint64_t begin = t < r ? t * (q + 1) : r + t * q;
  return {begin, begin + (t < r ? q + 1 : q)};
}

// The algorithm object for one call. OpenSSL 3 looks the algorithm up again on every
// initialisation given its built-in handle; fetching once keeps that off the per-item path.
class GcmCipher {
 public:
  GcmCipher() {
#if OPENSSL_VERSION_MAJOR >= 3
    fetched_ = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (fetched_ != nullptr) cipher_ = fetched_;
#endif
  }
  ~GcmCipher() {
#if OPENSSL_VERSION_MAJOR >= 3
    EVP_CIPHER_free(fetched_);
#endif
  }
  GcmCipher(const GcmCipher&) = delete;
  GcmCipher& operator=(const GcmCipher&) = delete;
  const EVP_CIPHER* get() const { return cipher_; }

 private:
  const EVP_CIPHER* cipher_ = EVP_aes_256_gcm();
#if OPENSSL_VERSION_MAJOR >= 3
  EVP_CIPHER* fetched_ = nullptr;
#endif
};

// One worker's cipher context. The key schedule is set up once and reused; each envelope only
// sets its IV. After any failed step the next envelope sets cipher and key again, so one bad
// envelope cannot leave state behind for the next. Each call returns null or the failed step's text.
class GcmContext {
 public:
  GcmContext(const EVP_CIPHER* cipher, const uint8_t* key) : cipher_(cipher), key_(key) {}
  ~GcmContext() { EVP_CIPHER_CTX_free(ctx_); }
  GcmContext(const GcmContext&) = delete;
  GcmContext& operator=(const GcmContext&) = delete;

  // Creates the context when there is none yet; false when the library cannot.
  bool Ready() {
    if (ctx_ == nullptr) {
      ctx_ = EVP_CIPHER_CTX_new();
      keyed_ = false;
    }
    return ctx_ != nullptr;
  }

  // Seals `size` plaintext bytes into `envelope`, whose first 12 bytes already hold the IV.
  const char* Seal(const uint8_t* plaintext, uint64_t size, uint8_t* envelope) {
    const char* failure = SealSteps(size == 0 ? kNoBytes : plaintext, static_cast<int>(size), envelope);
    keyed_ = keyed_ && failure == nullptr;
    return failure;
  }

  // Opens an envelope of `size` >= 28 bytes into `plaintext` (size - 28 bytes).
  const char* Open(const uint8_t* envelope, uint64_t size, uint8_t* plaintext) {
    uint8_t scratch[1];
    const uint64_t length = size - kOverhead;
    const char* failure = OpenSteps(envelope, static_cast<int>(length), length == 0 ? scratch : plaintext);
    keyed_ = keyed_ && failure == nullptr;
    return failure;
  }

 private:
  const char* SealSteps(const uint8_t* in, int length, uint8_t* envelope) {
    const int ok = keyed_ ? EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, envelope)
                          : EVP_EncryptInit_ex(ctx_, cipher_, nullptr, key_, envelope);
    if (ok != 1) return kEncryptInit;
    keyed_ = true;
    int produced = 0;
    if (EVP_EncryptUpdate(ctx_, envelope + kIv, &produced, in, length) != 1) return kEncryptUpdate;
    int tail = 0;
    if (EVP_EncryptFinal_ex(ctx_, envelope + kIv + produced, &tail) != 1) return kEncryptFinal;
    if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, kTag, envelope + kIv + length) != 1) return kEncryptTag;
    return nullptr;
  }

  const char* OpenSteps(const uint8_t* envelope, int length, uint8_t* out) {
    const int ok = keyed_ ? EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, envelope)
                          : EVP_DecryptInit_ex(ctx_, cipher_, nullptr, key_, envelope);
    if (ok != 1) return kDecryptInit;
    keyed_ = true;
    int produced = 0;
    if (EVP_DecryptUpdate(ctx_, out, &produced, envelope + kIv, length) != 1) return kDecryptInit;
    void* tag = const_cast<uint8_t*>(envelope + kIv + length);
    if (!SetTag(tag)) return kDecryptInit;
    int tail = 0;
    if (EVP_DecryptFinal_ex(ctx_, out + produced, &tail) <= 0) return kDecryptFinal;
    return nullptr;
  }

  // The expected tag. OpenSSL 3 turns the control call into this same parameter; handing it over
  // directly costs less (some 10 ns of the 150 an envelope of 64 bytes takes here).
  bool SetTag(void* tag) {
#if OPENSSL_VERSION_MAJOR >= 3
    OSSL_PARAM params[2] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, kTag),
                            OSSL_PARAM_construct_end()};
    return EVP_CIPHER_CTX_set_params(ctx_, params) == 1;
#else
    return EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, kTag, tag) == 1;
#endif
  }

  const EVP_CIPHER* cipher_;
  const uint8_t* key_;
  EVP_CIPHER_CTX* ctx_ = nullptr;
  bool keyed_ = false;
};

// Fresh IVs for up to kIvBatch envelopes; false when the generator did not fill them all.
bool DrawIvs(uint8_t (&ivs)[kIvBatch * kIv], uint64_t count) {
  return RAND_bytes(ivs, static_cast<int>(count * kIv)) == 1;
}

// Reports every failed item in ascending order, then the summary, and throws.
void ThrowItemFailures(const std::vector<const char*>& errors, const char* summary) {
  bool any = false;
  for (size_t i = 0; i < errors.size(); ++i) {
    if (errors[i] == nullptr) continue;
    any = true;
    const std::string line = "Error for item " + std::to_string(i) + ": " + errors[i];
    EngineLogger().error(line);
    std::cerr << line << "\n";
  }
  if (!any) return;
  EngineLogger().error(summary);
  throw std::runtime_error(summary);
}

void EncryptBlock(const std::vector<Bytes>& plaintexts, const uint8_t* key, const EVP_CIPHER* cipher,
                  Block block, std::vector<Bytes>& out, std::vector<const char*>& errors) {
  GcmContext ctx(cipher, key);
  uint8_t ivs[kIvBatch * kIv];
  for (uint64_t first = block.begin; first < block.end; first += kIvBatch) {
    const uint64_t count = std::min<uint64_t>(kIvBatch, block.end - first);
    const bool have_ivs = DrawIvs(ivs, count);
    for (uint64_t k = 0; k < count; ++k) {
      const uint64_t i = first + k;
      if (!ctx.Ready()) {
        errors[i] = kEncryptNoContext;
        continue;
      }
      // Nothing is ever sealed under an IV the generator did not fill.
      const char* failure = have_ivs ? nullptr : kEncryptRandom;
      Bytes envelope;
      if (failure == nullptr) {
        try {
          envelope.resize(plaintexts[i].size() + kOverhead);
        } catch (...) {
          failure = kOutOfMemory;
        }
      }
      if (failure == nullptr) {
        std::memcpy(envelope.data(), ivs + k * kIv, kIv);
        failure = ctx.Seal(plaintexts[i].data(), plaintexts[i].size(), envelope.data());
      }
      if (failure != nullptr) {
        errors[i] = failure;
        LogErrorNoThrow(failure);
        continue;
      }
      out[i] = std::move(envelope);
    }
  }
}

// Opens one envelope of `size` >= 1 bytes into `plaintext` (size - 28 bytes): null, or the failed
// step's text, logged. A failed open leaves no plaintext behind: GCM writes it before the tag check.
const char* OpenItem(GcmContext& ctx, const uint8_t* envelope, uint64_t size, uint8_t* plaintext) noexcept {
  const char* failure = nullptr;
  if (size < kOverhead || size - kOverhead > kMaxCipherLength) {
    failure = kDecryptShort;
  } else if (!ctx.Ready()) {
    failure = kDecryptNoContext;
  } else {
    failure = ctx.Open(envelope, size, plaintext);
    if (failure != nullptr && size > kOverhead) std::memset(plaintext, 0, size - kOverhead);
  }
  if (failure != nullptr) LogErrorNoThrow(failure);
  return failure;
}

void DecryptBlock(const std::vector<Bytes>& envelopes, const uint8_t* key, const EVP_CIPHER* cipher, Block block,
                  std::vector<Bytes>& out, std::vector<const char*>& errors) {
  GcmContext ctx(cipher, key);
  for (uint64_t i = block.begin; i < block.end; ++i) {
    const Bytes& envelope = envelopes[i];
    if (envelope.empty()) continue;
    Bytes plaintext;
    if (envelope.size() >= kOverhead) {
      try {
        plaintext.resize(envelope.size() - kOverhead);
      } catch (...) {
        errors[i] = kOutOfMemory;
        LogErrorNoThrow(kOutOfMemory);
        continue;
      }
    }
    errors[i] = OpenItem(ctx, envelope.data(), envelope.size(), plaintext.data());
    if (errors[i] == nullptr) out[i] = std::move(plaintext);
  }
}

}  // namespace

std::vector<Bytes> EncryptItems(const std::vector<Bytes>& plaintexts, const uint8_t* key) {
  const uint64_t n = plaintexts.size();
  if (n > kMaxEncryptItems) {
    throw std::invalid_argument("Too many items to encrypt in one call: " + std::to_string(n) +
                                " (at most 4294967295)");
  }
  for (uint64_t i = 0; i < n; ++i) {
    if (plaintexts[i].size() > kMaxCipherLength) {
      throw std::invalid_argument("Item " + std::to_string(i) + " is too large to encrypt: " +
                                  std::to_string(plaintexts[i].size()) + " bytes (at most 2147483647)");
    }
  }
  CheckKey(key);
  std::vector<Bytes> out(n);
  if (n == 0) return out;
  std::vector<const char*> errors(n, nullptr);
  uint64_t work = n * kItemWork;
  for (const Bytes& p : plaintexts) work += p.size();
  const int threads = TeamSize(work, kThreadBytes, n);
  const GcmCipher cipher;
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const Block block = StaticBlock(n, omp_get_thread_num(), omp_get_num_threads());
    EncryptBlock(plaintexts, key, cipher.get(), block, out, errors);
  }
  ThrowItemFailures(errors, kEncryptSummary);
  return out;
}

std::vector<Bytes> DecryptItems(const std::vector<Bytes>& envelopes, const uint8_t* key) {
  const uint64_t n = envelopes.size();
  for (uint64_t i = 0; i < n; ++i) CheckEnvelopeSize(i, envelopes[i].size());
  CheckKey(key);
  std::vector<Bytes> out(n);
  if (n == 0) return out;
  std::vector<const char*> errors(n, nullptr);
  uint64_t work = n * kItemWork;
  for (const Bytes& e : envelopes) work += e.size();
  const int threads = TeamSize(work, kThreadBytes, n);
  const GcmCipher cipher;
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const Block block = StaticBlock(n, omp_get_thread_num(), omp_get_num_threads());
    DecryptBlock(envelopes, key, cipher.get(), block, out, errors);
  }
  ThrowDecryptFailures(errors);
  return out;
}

struct GcmItemOpener::Algorithm::State {
  GcmCipher cipher;
};

GcmItemOpener::Algorithm::Algorithm() : state_(std::make_unique<State>()) {}

GcmItemOpener::Algorithm::~Algorithm() = default;

struct GcmItemOpener::State {
  State(const EVP_CIPHER* cipher, const uint8_t* key) : ctx(cipher, key) {}
  GcmContext ctx;
};

GcmItemOpener::GcmItemOpener(const Algorithm& algorithm, const uint8_t* key) {
  CheckKey(key);
  state_ = std::make_unique<State>(algorithm.state_->cipher.get(), key);
}

GcmItemOpener::~GcmItemOpener() = default;

const char* GcmItemOpener::Open(const uint8_t* envelope, uint64_t size, uint8_t* plaintext) noexcept {
  if (size == 0) return nullptr;
  return OpenItem(state_->ctx, envelope, size, plaintext);
}

void CheckEnvelopeSize(uint64_t item, uint64_t size) {
  if (size > kMaxCipherLength + kOverhead) {
    throw std::invalid_argument("Item " + std::to_string(item) + " is too large to decrypt: " + std::to_string(size) +
                                " bytes (at most 2147483675)");
  }
}

void ThrowDecryptFailures(const std::vector<const char*>& errors) { ThrowItemFailures(errors, kDecryptSummary); }

ByteMatrix EncryptMatrix(const ByteMatrix& in, const uint8_t* key) {
  CheckMatrixShape(in);
  if (in.cols > kMaxCipherLength) {
    throw std::invalid_argument("Rows are too wide to encrypt: " + std::to_string(in.cols) +
                                " bytes (at most 2147483647)");
  }
  CheckKey(key);
  const uint64_t rows = in.rows;
  const uint64_t width = in.cols;
  ByteMatrix out(rows, width + kOverhead);
  if (rows == 0) return out;
  const GcmCipher cipher;
  std::atomic<uint64_t> failures{0};
  const int threads = TeamSize(WorkProduct(rows, width + kItemWork), kThreadBytes, rows);
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    // The split follows the team actually granted, which may be smaller than asked for.
    const Block block = StaticBlock(rows, omp_get_thread_num(), omp_get_num_threads());
    if (block.begin < block.end) {
      GcmContext ctx(cipher.get(), key);
      uint64_t failed = 0;
      if (!ctx.Ready()) {
        failed = 1;
      } else {
        uint8_t ivs[kIvBatch * kIv];
        for (uint64_t first = block.begin; first < block.end; first += kIvBatch) {
          const uint64_t count = std::min<uint64_t>(kIvBatch, block.end - first);
          if (!DrawIvs(ivs, count)) {
            failed += count;
            continue;
          }
          for (uint64_t k = 0; k < count; ++k) {
            uint8_t* envelope = out.row(first + k);
            std::memcpy(envelope, ivs + k * kIv, kIv);
            if (ctx.Seal(in.row(first + k), width, envelope) != nullptr) ++failed;
          }
        }
      }
      failures.fetch_add(failed, std::memory_order_relaxed);
    }
  }
  const uint64_t k = failures.load();
  if (k > 0) {
    const std::string message = "Failed to encrypt " + std::to_string(k) + " plaintexts";
    EngineLogger().error(message);
    throw std::runtime_error(message);
  }
  return out;
}

ByteMatrix DecryptMatrix(const ByteMatrix& in, const uint8_t* key) {
  CheckMatrixShape(in);
  if (in.cols < kOverhead) {
    // Without rows there is nothing to open: an empty result of width 0.
    if (in.rows == 0) return ByteMatrix(0, 0);
    throw std::length_error("Rows are narrower than an envelope: " + std::to_string(in.cols) +
                            " bytes (at least 28)");
  }
  if (in.cols - kOverhead > kMaxCipherLength) {
    throw std::invalid_argument("Rows are too wide to decrypt: " + std::to_string(in.cols) +
                                " bytes (at most 2147483675)");
  }
  CheckKey(key);
  const uint64_t rows = in.rows;
  const uint64_t width = in.cols - kOverhead;
  ByteMatrix out(rows, width);
  if (rows == 0) return out;
  const GcmCipher cipher;
  std::atomic<uint64_t> failures{0};
  const int threads = TeamSize(WorkProduct(rows, in.cols + kItemWork), kThreadBytes, rows);
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const Block block = StaticBlock(rows, omp_get_thread_num(), omp_get_num_threads());
    if (block.begin < block.end) {
      GcmContext ctx(cipher.get(), key);
      uint64_t failed = 0;
      if (!ctx.Ready()) {
        failed = 1;
      } else {
        for (uint64_t r = block.begin; r < block.end; ++r) {
          if (ctx.Open(in.row(r), in.cols, out.row(r)) != nullptr) ++failed;
        }
      }
      failures.fetch_add(failed, std::memory_order_relaxed);
    }
  }
  const uint64_t k = failures.load();
  if (k > 0) {
    const std::string message = "Failed to decrypt " + std::to_string(k) + " ciphertexts";
    EngineLogger().error(message);
    throw std::runtime_error(message);
  }
  return out;
}

}  // namespace ostrik
