#include "core/aes_gcm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "core/thread_scope.h"
#include "test_hex.h"

namespace {

using dz_test::FromHex;
using ostrik::ByteMatrix;
using ostrik::Bytes;
using ostrik::DecryptItems;
using ostrik::DecryptMatrix;
using ostrik::EncryptItems;
using ostrik::EncryptMatrix;
using ::testing::HasSubstr;

constexpr size_t kOverhead = ostrik::GcmEnvelope::kOverhead;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes RandomBytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// The library's own one-shot seal under a given IV: ciphertext || tag.
Bytes ReferenceSeal(const Bytes& key, const uint8_t* iv, const Bytes& plaintext) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(plaintext.size() + 16);
  int len = 0;
  uint8_t unused = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, plaintext.empty() ? &unused : plaintext.data(),
                              static_cast<int>(plaintext.size())),
            1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + len, &len), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plaintext.size()), 1);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// Runs fn, expecting the exception type E with exactly `what`; returns what was written to stderr.
template <typename E>
std::string ExpectFailure(const std::function<void()>& fn, const std::string& what) {
  testing::internal::CaptureStderr();
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << what;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), what);
  }
  return testing::internal::GetCapturedStderr();
}

class AesGcmTest : public ::testing::Test {
 protected:
  Bytes key_ = Bytes(32, 0x42);
  std::mt19937_64 rng_{1234};
};

struct KnownAnswer {
  const char* name;
  const char* key;
  const char* iv;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};

// Published AES-256-GCM vectors without associated data (zero key and IV, then a keyed one).
const KnownAnswer kKnownAnswers[] = {
    {"zero key, empty", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"zero key, 16 zero bytes", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"keyed, 64 bytes", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
     "ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
     "bcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST_F(AesGcmTest, KnownAnswersOpenWithBothDecryptions) {
  for (const auto& v : kKnownAnswers) {
    const Bytes key = FromHex(v.key);
    const Bytes envelope = Concat({FromHex(v.iv), FromHex(v.ciphertext), FromHex(v.tag)});
    const Bytes plaintext = FromHex(v.plaintext);
    // Several copies in one batch on one thread: the reused context must open each of them.
    const ostrik::ThreadCountScope one(1);
    const auto opened = DecryptItems({envelope, envelope, envelope}, key.data());
    for (const auto& p : opened) EXPECT_EQ(p, plaintext) << v.name;

    const ByteMatrix m = DecryptMatrix(ByteMatrix(Concat({envelope, envelope}), envelope.size()), key.data());
    EXPECT_EQ(m.rows, 2u) << v.name;
    EXPECT_EQ(m.cols, plaintext.size()) << v.name;
    EXPECT_EQ(m.data, Concat({plaintext, plaintext})) << v.name;
  }
}

// Every envelope is IV || AES-256-GCM(key, IV, plaintext) || tag, for items and matrix rows.
TEST_F(AesGcmTest, EnvelopesFollowTheLayout) {
  std::vector<Bytes> plaintexts;
  for (size_t n : {0, 1, 15, 16, 17, 1000}) plaintexts.push_back(RandomBytes(rng_, n));
  const auto envelopes = EncryptItems(plaintexts, key_.data());
  ASSERT_EQ(envelopes.size(), plaintexts.size());
  for (size_t i = 0; i < plaintexts.size(); ++i) {
    ASSERT_EQ(envelopes[i].size(), plaintexts[i].size() + kOverhead);
    const Bytes body(envelopes[i].begin() + 12, envelopes[i].end());
    EXPECT_EQ(body, ReferenceSeal(key_, envelopes[i].data(), plaintexts[i])) << "item " << i;
  }

  const ByteMatrix in(RandomBytes(rng_, 5 * 24), 24);
  const ByteMatrix sealed = EncryptMatrix(in, key_.data());
  ASSERT_EQ(sealed.rows, 5u);
  ASSERT_EQ(sealed.cols, 24 + kOverhead);
  for (uint64_t r = 0; r < sealed.rows; ++r) {
    const Bytes row(in.row(r), in.row(r) + in.cols);
    const Bytes body(sealed.row(r) + 12, sealed.row(r) + sealed.cols);
    EXPECT_EQ(body, ReferenceSeal(key_, sealed.row(r), row)) << "row " << r;
  }
}

TEST_F(AesGcmTest, FreshIvForEveryEnvelope) {
  const Bytes plaintext(40, 7);
  const auto a = EncryptItems({plaintext, plaintext}, key_.data());
  const auto b = EncryptItems({plaintext}, key_.data());
  EXPECT_NE(Bytes(a[0].begin(), a[0].begin() + 12), Bytes(a[1].begin(), a[1].begin() + 12));
  EXPECT_NE(a[0], b[0]);
  EXPECT_EQ(DecryptItems({a[0], a[1], b[0]}, key_.data()), (std::vector<Bytes>{plaintext, plaintext, plaintext}));
}

TEST_F(AesGcmTest, EmptyInputsGiveEmptyResults) {
  EXPECT_TRUE(EncryptItems({}, key_.data()).empty());
  EXPECT_TRUE(DecryptItems({}, key_.data()).empty());
  const ByteMatrix sealed = EncryptMatrix(ByteMatrix(0, 16), key_.data());
  EXPECT_EQ(sealed.rows, 0u);
  EXPECT_EQ(sealed.cols, 16 + kOverhead);
  const ByteMatrix opened = DecryptMatrix(ByteMatrix(0, 16 + kOverhead), key_.data());
  EXPECT_EQ(opened.rows, 0u);
  EXPECT_EQ(opened.cols, 16u);
  // No rows and narrower than an envelope: nothing to open, an empty result of width 0.
  const ByteMatrix narrow = DecryptMatrix(ByteMatrix(0, 5), key_.data());
  EXPECT_EQ(narrow.rows, 0u);
  EXPECT_EQ(narrow.cols, 0u);
}

TEST_F(AesGcmTest, EmptyPlaintextSealsToTwentyEightBytes) {
  const auto sealed = EncryptItems({Bytes{}}, key_.data());
  ASSERT_EQ(sealed[0].size(), kOverhead);
  EXPECT_EQ(DecryptItems(sealed, key_.data()), std::vector<Bytes>{Bytes{}});
  // An empty envelope passes through as an empty plaintext.
  EXPECT_EQ(DecryptItems({Bytes{}}, key_.data()), std::vector<Bytes>{Bytes{}});

  const ByteMatrix rows = EncryptMatrix(ByteMatrix(3, 0), key_.data());
  ASSERT_EQ(rows.cols, kOverhead);
  const ByteMatrix back = DecryptMatrix(rows, key_.data());
  EXPECT_EQ(back.rows, 3u);
  EXPECT_EQ(back.cols, 0u);
}

struct TeamCase {
  const char* name;
  int threads;
  uint64_t rows;
  uint64_t width;
};

// Round trips under several team sizes, with fewer, as many and more rows than threads.
TEST_F(AesGcmTest, RoundTripsUnderSeveralTeamSizes) {
  const TeamCase cases[] = {
      {"1 thread", 1, 100, 64},   {"2 threads", 2, 101, 7},    {"3 threads, 1 row", 3, 1, 33},
      {"8 threads", 8, 1000, 16}, {"8 threads, 5 rows", 8, 5, 1}, {"7 threads", 7, 130, 3136},
  };
  for (const auto& c : cases) {
    const ostrik::ThreadCountScope team(c.threads);
    const ByteMatrix in(RandomBytes(rng_, c.rows * c.width), c.width);
    const ByteMatrix sealed = EncryptMatrix(in, key_.data());
    const ByteMatrix opened = DecryptMatrix(sealed, key_.data());
    EXPECT_EQ(opened.rows, in.rows) << c.name;
    EXPECT_EQ(opened.cols, in.cols) << c.name;
    EXPECT_EQ(opened.data, in.data) << c.name;

    std::vector<Bytes> items;
    for (uint64_t i = 0; i < c.rows; ++i) items.push_back(RandomBytes(rng_, i % 97));
    EXPECT_EQ(DecryptItems(EncryptItems(items, key_.data()), key_.data()), items) << c.name;
  }
}

// A nested region runs with a team of one while omp_get_max_threads still reports the outer
// count: the row split must follow the team actually granted, so no row is left unsealed.
TEST_F(AesGcmTest, TeamSmallerThanMaxThreadsCoversEveryRow) {
  const ostrik::ThreadCountScope team(4);
  const int saved_levels = omp_get_max_active_levels();
  omp_set_max_active_levels(1);
  const ByteMatrix in(RandomBytes(rng_, 50 * 20), 20);
  std::vector<Bytes> items;
  for (int i = 0; i < 50; ++i) items.push_back(RandomBytes(rng_, 10 + i));

  ByteMatrix sealed[2];
  ByteMatrix opened[2];
  std::vector<Bytes> sealed_items[2];
  int reported_max[2] = {0, 0};
  std::string failure[2];
#pragma omp parallel num_threads(2)
  {
    const int t = omp_get_thread_num();
    reported_max[t] = omp_get_max_threads();
    try {
      sealed[t] = EncryptMatrix(in, key_.data());
      opened[t] = DecryptMatrix(EncryptMatrix(in, key_.data()), key_.data());
      sealed_items[t] = EncryptItems(items, key_.data());
    } catch (const std::exception& e) {
      failure[t] = e.what();
    }
  }
  omp_set_max_active_levels(saved_levels);
  for (int t = 0; t < 2; ++t) {
    ASSERT_GT(reported_max[t], 1) << "the nested team must be smaller than omp_get_max_threads";
    ASSERT_EQ(failure[t], "");
    EXPECT_EQ(DecryptMatrix(sealed[t], key_.data()).data, in.data);
    EXPECT_EQ(opened[t].data, in.data);
    EXPECT_EQ(DecryptItems(sealed_items[t], key_.data()), items);
  }
}

TEST_F(AesGcmTest, AnyChangedByteFailsTheItem) {
  const Bytes plaintext = RandomBytes(rng_, 40);
  const Bytes envelope = EncryptItems({plaintext}, key_.data())[0];
  for (size_t pos = 0; pos < envelope.size(); ++pos) {
    Bytes bad = envelope;
    bad[pos] ^= 0x01;
    const std::string err = ExpectFailure<std::runtime_error>([&] { DecryptItems({bad}, key_.data()); },
                                                              "Decryption failed for one or more items");
    ASSERT_THAT(err, HasSubstr("][ERROR] Error for item 0: Decryption final step failed\n")) << "byte " << pos;
  }
}

TEST_F(AesGcmTest, AnyChangedByteFailsTheRow) {
  const ByteMatrix sealed = EncryptMatrix(ByteMatrix(RandomBytes(rng_, 3 * 40), 40), key_.data());
  for (size_t pos = 0; pos < sealed.cols; ++pos) {
    ByteMatrix bad = sealed;
    bad.row(1)[pos] ^= 0x80;
    const std::string err = ExpectFailure<std::runtime_error>([&] { DecryptMatrix(bad, key_.data()); },
                                                              "Failed to decrypt 1 ciphertexts");
    ASSERT_THAT(err, HasSubstr("][ERROR] Failed to decrypt 1 ciphertexts\n")) << "byte " << pos;
  }
}

TEST_F(AesGcmTest, TruncatedAndShortEnvelopesFail) {
  const Bytes envelope = EncryptItems({RandomBytes(rng_, 10)}, key_.data())[0];
  const Bytes truncated(envelope.begin(), envelope.end() - 1);
  std::string err = ExpectFailure<std::runtime_error>([&] { DecryptItems({truncated}, key_.data()); },
                                                      "Decryption failed for one or more items");
  EXPECT_THAT(err, HasSubstr("Error for item 0: Decryption final step failed"));

  for (size_t n = 1; n < kOverhead; ++n) {
    const Bytes shortened(envelope.begin(), envelope.begin() + n);
    err = ExpectFailure<std::runtime_error>([&] { DecryptItems({Bytes{}, shortened}, key_.data()); },
                                            "Decryption failed for one or more items");
    ASSERT_THAT(err, HasSubstr("Error for item 1: Failed to decrypt\n")) << n << " bytes";
  }
  // Narrower than an envelope with rows to open: refused while sizing the result.
  EXPECT_THROW(DecryptMatrix(ByteMatrix(Bytes(27), 27), key_.data()), std::length_error);
}

TEST_F(AesGcmTest, WrongKeyFailsEveryItemAndRow) {
  Bytes other = key_;
  other[31] ^= 1;
  const ByteMatrix sealed = EncryptMatrix(ByteMatrix(RandomBytes(rng_, 10 * 8), 8), key_.data());
  ExpectFailure<std::runtime_error>([&] { DecryptMatrix(sealed, other.data()); }, "Failed to decrypt 10 ciphertexts");

  const auto items = EncryptItems({Bytes(3, 1), Bytes(5, 2)}, key_.data());
  const std::string err = ExpectFailure<std::runtime_error>([&] { DecryptItems(items, other.data()); },
                                                            "Decryption failed for one or more items");
  EXPECT_THAT(err, HasSubstr("Error for item 0: Decryption final step failed"));
  EXPECT_THAT(err, HasSubstr("Error for item 1: Decryption final step failed"));
}

// Failures are reported per item in ascending order, good items between them notwithstanding.
TEST_F(AesGcmTest, FailedItemsReportedInOrder) {
  const ostrik::ThreadCountScope team(3);
  auto items = EncryptItems({Bytes(4, 1), Bytes(4, 2), Bytes(4, 3), Bytes(4, 4), Bytes(4, 5)}, key_.data());
  items[3].back() ^= 1;
  items[1].resize(5);
  const std::string err = ExpectFailure<std::runtime_error>([&] { DecryptItems(items, key_.data()); },
                                                            "Decryption failed for one or more items");
  const std::string first = "Error for item 1: Failed to decrypt\n";
  const std::string second = "Error for item 3: Decryption final step failed\n";
  ASSERT_THAT(err, HasSubstr(first));
  ASSERT_THAT(err, HasSubstr(second));
  // Each report appears as a logger line and as a bare line, both before the summary.
  const size_t summary = err.find("][ERROR] Decryption failed for one or more items");
  EXPECT_LT(err.find(first), err.find(second));
  EXPECT_LT(err.rfind(second), summary);
  EXPECT_THAT(err, HasSubstr("\n" + first));  // the bare copy written straight to stderr
}

// The lines naming failed items in what a failing batch wrote to stderr, from "Error for item" on;
// each is written twice (a logger line and a bare one) and kept once.
std::vector<std::string> ItemFailureLines(const std::string& err) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = err.find("Error for item", at)) != std::string::npos) {
    const size_t end = err.find('\n', at);
    std::string line = err.substr(at, end - at);
    if (lines.empty() || lines.back() != line) lines.push_back(std::move(line));
    at = end;
  }
  return lines;
}

// One opener per thread opens what DecryptItems opens and fails where it fails, with the same
// texts; a failed open leaves zeros, and the opener goes on opening the next envelopes.
TEST_F(AesGcmTest, ItemOpenerMatchesDecryptItems) {
  std::vector<Bytes> plaintexts;
  for (size_t n : {0, 1, 15, 16, 17, 1000, 40, 40, 40}) plaintexts.push_back(RandomBytes(rng_, n));
  std::vector<Bytes> envelopes = EncryptItems(plaintexts, key_.data());
  envelopes.push_back(Bytes{});           // no value: opens to nothing
  envelopes[6].back() ^= 1;               // changed tag
  envelopes[7].resize(10);                // shorter than an envelope
  envelopes[8].resize(envelopes[8].size() - 1);  // truncated
  plaintexts.push_back(Bytes{});

  const ostrik::GcmItemOpener::Algorithm algorithm;
  std::vector<const char*> errors(envelopes.size(), nullptr);
  std::string opener_log;
  {
    ostrik::GcmItemOpener opener(algorithm, key_.data());
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < envelopes.size(); ++i) {
      const size_t size = envelopes[i].size() >= kOverhead ? envelopes[i].size() - kOverhead : 0;
      Bytes out(size, 0xEE);
      errors[i] = opener.Open(envelopes[i].data(), envelopes[i].size(), out.data());
      if (errors[i] == nullptr) {
        EXPECT_EQ(out, plaintexts[i]) << "item " << i;
      } else {
        EXPECT_EQ(out, Bytes(size, 0)) << "item " << i;
      }
    }
    EXPECT_THROW(ostrik::ThrowDecryptFailures(errors), std::runtime_error);
    opener_log = testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(errors[7], std::string("Failed to decrypt"));
  for (size_t i : {0, 1, 2, 3, 4, 5, 9}) EXPECT_EQ(errors[i], nullptr) << "item " << i;

  const std::string batch_log = ExpectFailure<std::runtime_error>([&] { DecryptItems(envelopes, key_.data()); },
                                                                  "Decryption failed for one or more items");
  EXPECT_EQ(ItemFailureLines(opener_log), ItemFailureLines(batch_log));
  EXPECT_EQ(ItemFailureLines(opener_log),
            (std::vector<std::string>{"Error for item 6: Decryption final step failed",
                                      "Error for item 7: Failed to decrypt",
                                      "Error for item 8: Decryption final step failed"}));
  EXPECT_NO_THROW(ostrik::ThrowDecryptFailures(std::vector<const char*>(3, nullptr)));

  EXPECT_THROW(ostrik::GcmItemOpener(algorithm, nullptr), std::invalid_argument);
  EXPECT_NO_THROW(ostrik::CheckEnvelopeSize(3, (uint64_t{1} << 31) - 1 + kOverhead));
  try {
    ostrik::CheckEnvelopeSize(3, (uint64_t{1} << 31) + kOverhead);
    ADD_FAILURE() << "oversized envelope accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Item 3 is too large to decrypt: 2147483676 bytes (at most 2147483675)");
  }
}

TEST_F(AesGcmTest, OversizedOrInconsistentInputsAreRefusedUpFront) {
  const uint64_t limit = uint64_t{1} << 31;
  ByteMatrix wide;  // no rows, so no memory: only the width is out of range
  wide.cols = limit;
  EXPECT_THROW(EncryptMatrix(wide, key_.data()), std::invalid_argument);
  wide.cols = limit - 1;
  EXPECT_EQ(EncryptMatrix(wide, key_.data()).cols, limit - 1 + kOverhead);
  wide.cols = limit + kOverhead;
  EXPECT_THROW(DecryptMatrix(wide, key_.data()), std::invalid_argument);
  wide.cols = limit - 1 + kOverhead;
  EXPECT_EQ(DecryptMatrix(wide, key_.data()).cols, limit - 1);

  ByteMatrix inconsistent(2, 8);
  inconsistent.rows = 3;  // claims more rows than it holds
  EXPECT_THROW(EncryptMatrix(inconsistent, key_.data()), std::invalid_argument);
  EXPECT_THROW(DecryptMatrix(inconsistent, key_.data()), std::invalid_argument);
  ByteMatrix zero_width_many_rows;
  zero_width_many_rows.rows = std::numeric_limits<uint64_t>::max() / 4;
  EXPECT_THROW(EncryptMatrix(zero_width_many_rows, key_.data()), std::length_error);

  EXPECT_THROW(EncryptItems({Bytes(1)}, nullptr), std::invalid_argument);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
int FailingBytes(unsigned char*, int) { return 0; }
int FailingStatus() { return 0; }
RAND_METHOD failing_random = {nullptr, FailingBytes, nullptr, nullptr, FailingBytes, FailingStatus};

// While installed, the library's random generator reports failure.
class FailingRandom {
 public:
  FailingRandom() { RAND_set_rand_method(&failing_random); }
  ~FailingRandom() { RAND_set_rand_method(RAND_OpenSSL()); }
};
#pragma GCC diagnostic pop

// An IV the generator did not fill must never be used: the item or row fails instead.
TEST_F(AesGcmTest, GeneratorFailureFailsTheBatch) {
  const ostrik::ThreadCountScope team(2);
  std::string err;
  {
    const FailingRandom broken;
    err = ExpectFailure<std::runtime_error>([&] { EncryptItems({Bytes(8, 1), Bytes{}, Bytes(3, 2)}, key_.data()); },
                                            "Encryption failed for one or more items");
    ExpectFailure<std::runtime_error>([&] { EncryptMatrix(ByteMatrix(Bytes(5 * 4), 4), key_.data()); },
                                      "Failed to encrypt 5 plaintexts");
  }
  EXPECT_THAT(err, HasSubstr("Error for item 0: Failed to generate a random IV\n"));
  EXPECT_THAT(err, HasSubstr("Error for item 2: Failed to generate a random IV\n"));
  EXPECT_EQ(EncryptItems({Bytes(8, 1)}, key_.data())[0].size(), 8 + kOverhead);  // generator restored
}

}  // namespace
