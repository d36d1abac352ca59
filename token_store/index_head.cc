#include "token_store/index_head.h"

#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace ostrik_encrypted_index::internal::token_store {

ostrik::Bytes IndexHead::Encode() const {
  ostrik::Bytes out(kSize);
  std::memcpy(out.data(), epoch.data(), 16);
  std::memcpy(out.data() + 16, stamp.data(), 16);
  out[32] = pending ? 1 : 0;
  return out;
}

IndexHead IndexHead::Decode(const ostrik::Bytes& value) {
  IndexHead head;
  if (value.size() != kSize || value[32] > 1) return head;
  head.present = true;
  std::memcpy(head.epoch.data(), value.data(), 16);
  std::memcpy(head.stamp.data(), value.data() + 16, 16);
  head.pending = value[32] == 1;
  return head;
}

IndexHead::Tag IndexHead::RandomTag() {
  Tag tag{};
  if (RAND_bytes(tag.data(), static_cast<int>(tag.size())) != 1) {
    throw std::runtime_error("Failed to generate a random index stamp");
  }
  return tag;
}

}  // namespace ostrik_encrypted_index::internal::token_store
