#include "token_store/write_intent.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "core/aes_gcm.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

constexpr uint8_t kVersion = 1;
constexpr size_t kItemStepSize = 1 + 8 + 8 + 8 + 12;

void Put32(ostrik::Bytes& out, uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}
void Put64(ostrik::Bytes& out, uint64_t v) {
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}

[[noreturn]] void Malformed() { throw std::runtime_error("Malformed write intent record"); }

class Reader {
 public:
  explicit Reader(const ostrik::Bytes& bytes) : bytes_(bytes) {}
  uint64_t Uint(int width) {
    if (bytes_.size() - pos_ < static_cast<size_t>(width)) Malformed();
    uint64_t v = 0;
    for (int b = 0; b < width; ++b) v |= static_cast<uint64_t>(bytes_[pos_ + b]) << (8 * b);
    pos_ += width;
    return v;
  }
  const uint8_t* Take(size_t n) {
    if (bytes_.size() - pos_ < n) Malformed();
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  // A count of `each`-byte entries that the rest of the record must be able to hold.
  size_t Count(size_t each) {
    const uint64_t n = Uint(4);
    if (n > (bytes_.size() - pos_) / each) Malformed();
    return static_cast<size_t>(n);
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  const ostrik::Bytes& bytes_;
  size_t pos_ = 0;
};

}  // namespace

ostrik::Bytes WriteIntent::Seal(const uint8_t* index_key) const {
  ostrik::Bytes plain;
  plain.push_back(kVersion);
  plain.push_back(static_cast<uint8_t>(kind));
  switch (kind) {
    case Kind::kUpsert:
      plain.reserve(6 + items.size() * kItemStepSize);
      Put32(plain, static_cast<uint32_t>(items.size()));
      for (const ItemStep& s : items) {
        plain.push_back(static_cast<uint8_t>(s.step));
        Put64(plain, s.data_label);
        Put64(plain, s.content_label);
        Put64(plain, s.staged_label);
        plain.insert(plain.end(), s.record_iv.begin(), s.record_iv.end());
      }
      break;
    case Kind::kDelete:
      plain.reserve(6 + data_labels.size() * 16);
      Put32(plain, static_cast<uint32_t>(data_labels.size()));
      for (size_t i = 0; i < data_labels.size(); ++i) {
        Put64(plain, data_labels[i]);
        Put64(plain, content_labels[i]);
      }
      break;
    case Kind::kTrain:
      plain.reserve(14 + trained_config.size() + data_labels.size() * 8);
      Put32(plain, static_cast<uint32_t>(trained_config.size()));
      plain.insert(plain.end(), trained_config.begin(), trained_config.end());
      Put32(plain, untrained_list0_count);
      Put32(plain, static_cast<uint32_t>(data_labels.size()));
      for (uint64_t label : data_labels) Put64(plain, label);
      break;
  }
  const uint64_t cols = plain.size();
  return ostrik::EncryptMatrix(ostrik::ByteMatrix(std::move(plain), cols), index_key).data;
}

WriteIntent WriteIntent::Open(const ostrik::Bytes& sealed, const uint8_t* index_key) {
  if (sealed.size() <= ostrik::GcmEnvelope::kOverhead) Malformed();
  const uint64_t cols = sealed.size();
  const ostrik::Bytes plain =
      ostrik::DecryptMatrix(ostrik::ByteMatrix(ostrik::Bytes(sealed), cols), index_key).data;
  Reader in(plain);
  WriteIntent intent;
  if (in.Uint(1) != kVersion) Malformed();
  const uint64_t kind = in.Uint(1);
  switch (kind) {
    case static_cast<uint64_t>(Kind::kUpsert): {
      intent.kind = Kind::kUpsert;
      intent.items.resize(in.Count(kItemStepSize));
      for (ItemStep& s : intent.items) {
        const uint64_t step = in.Uint(1);
        if (step < 1 || step > 3) Malformed();
        s.step = static_cast<Step>(step);
        s.data_label = in.Uint(8);
        s.content_label = in.Uint(8);
        s.staged_label = in.Uint(8);
        std::memcpy(s.record_iv.data(), in.Take(12), 12);
      }
      break;
    }
    case static_cast<uint64_t>(Kind::kDelete): {
      intent.kind = Kind::kDelete;
      const size_t n = in.Count(16);
      intent.data_labels.resize(n);
      intent.content_labels.resize(n);
      for (size_t i = 0; i < n; ++i) {
        intent.data_labels[i] = in.Uint(8);
        intent.content_labels[i] = in.Uint(8);
      }
      break;
    }
    case static_cast<uint64_t>(Kind::kTrain): {
      intent.kind = Kind::kTrain;
      const size_t length = in.Count(1);
      const uint8_t* config = in.Take(length);
      intent.trained_config.assign(config, config + length);
      intent.untrained_list0_count = static_cast<uint32_t>(in.Uint(4));
      intent.data_labels.resize(in.Count(8));
      for (uint64_t& label : intent.data_labels) label = in.Uint(8);
      break;
    }
    default:
      Malformed();
  }
  if (!in.AtEnd()) Malformed();
  return intent;
}

}  // namespace ostrik_encrypted_index::internal::token_store
