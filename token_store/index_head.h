// IndexHead: the small value every operation reads with the token counts, so that several
// processes sharing one index notice each other's work. It lives in the index store under
// kIndexHeadKey, in plain form (it holds only random bytes and one flag):
//   epoch (16 random bytes): changes when the index is created, trained or its head is first written
//     by a writer of an index that had none; an open index whose epoch differs from the stored one
//     was trained, deleted or re-created by another process since it read it;
//   stamp (16 random bytes): changes at the start and at the end of every write, so a reader's
//     cached lists are dropped when another process wrote since they were cached;
//   pending (1 byte, 0 or 1): a write that needs finishing or undoing is under way or was
//     interrupted; its intent record (write_intent.h) lies under kIntentKey.
//
// Decoding never throws: a value of another size reads as no head. Not synchronised: a value type.
#pragma once

#include <array>
#include <cstdint>

#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::token_store {

struct IndexHead {
  using Tag = std::array<uint8_t, 16>;

  bool present = false;  // false: the store holds no head (a new or older index, or a deleted one)
  Tag epoch{};
  Tag stamp{};
  bool pending = false;

  static constexpr size_t kSize = 33;

  ostrik::Bytes Encode() const;
  static IndexHead Decode(const ostrik::Bytes& value);
  // A fresh random tag; std::runtime_error when the generator fails.
  static Tag RandomTag();

  bool operator==(const IndexHead& other) const {
    return present == other.present && (!present || (epoch == other.epoch && stamp == other.stamp &&
                                                     pending == other.pending));
  }
};

}  // namespace ostrik_encrypted_index::internal::token_store
