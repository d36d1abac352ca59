// TokenLabelCache: the index-store labels and pads of each token's first positions, as a fetch
// derived them, so that a later fetch of the token derives only positions beyond them. A label
// and its pad depend only on the token's seed, the position and the tree depth, none of which a
// stored write changes: positions are only ever appended, and a count that shrinks (training's
// re-filing) leaves the labels below it as they were. The seeds are already held in memory;
// the pads add no secret that they do not give.
//
// Holds at most kMaxPositions positions over all tokens (16 bytes each); a token that would go
// beyond is derived at every fetch. Match throws std::bad_alloc; Append keeps nothing when memory
// runs out. Not synchronised: the engine's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrik_encrypted_index::internal::token_store {

class TokenLabelCache {
 public:
  static constexpr uint64_t kMaxPositions = uint64_t{1} << 21;

  // Drops everything unless it was derived for this depth and vocabulary.
  void Match(uint32_t depth, uint64_t vocab);
  // Positions 0 .. Known(token) - 1 are held.
  uint64_t Known(uint32_t token) const { return token < labels_.size() ? labels_[token].size() : 0; }
  const uint64_t* Labels(uint32_t token) const { return labels_[token].data(); }
  const uint64_t* Pads(uint32_t token) const { return pads_[token].data(); }
  // Positions Known(token) .. Known(token) + count - 1, when there is room for them.
  void Append(uint32_t token, const uint64_t* labels, const uint64_t* pads, uint64_t count) noexcept;

 private:
  std::vector<std::vector<uint64_t>> labels_;
  std::vector<std::vector<uint64_t>> pads_;
  uint64_t held_ = 0;
  uint32_t depth_ = 0;
};

}  // namespace ostrik_encrypted_index::internal::token_store
