#include "token_store/token_labels.h"

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/sha3.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

// label from (seed 0..15 || state 0..15), pad from (seed 16..31 || state 16..31).
inline void LabelAndPadFromState(const TokenSeed& seed, const uint8_t* state, uint64_t& label, uint64_t& pad) {
  uint8_t buf[32];
  std::memcpy(buf, seed.bytes.data(), 16);
  std::memcpy(buf + 16, state, 16);
  label = ostrik::Sha3HashToU64(buf);
  std::memcpy(buf, seed.bytes.data() + 16, 16);
  std::memcpy(buf + 16, state + 16, 16);
  pad = ostrik::Sha3HashToU64(buf);
}

// One level of the walk: flip the lowest bit of byte 0 by the position's bit, then hash.
inline void WalkLevel(const uint8_t* in, uint8_t* out, uint32_t bit) {
  uint8_t tmp[32];
  std::memcpy(tmp, in, 32);
  tmp[0] ^= static_cast<uint8_t>(bit);
  ostrik::Sha3Hash32(out, tmp);
}

// Static split of n items over the team: the first n mod T threads take one item more.
inline void StaticShare(uint64_t n, uint64_t& begin, uint64_t& end) {
  const uint64_t t = static_cast<uint64_t>(omp_get_num_threads());
  const uint64_t k = static_cast<uint64_t>(omp_get_thread_num());
  const uint64_t q = n / t, r = n % t;
  begin = k < r ? k * (q + 1) : r + k * q;
  end = begin + (k < r ? q + 1 : q);
}

}  // namespace

std::vector<TokenSeed> DeriveTokenSeeds(uint64_t n, const uint8_t* index_key, const uint8_t* name_mac) {
  std::vector<TokenSeed> seeds(n);
  for (uint64_t t = 0; t < n; ++t) {
    const uint32_t token = static_cast<uint32_t>(t);
    const uint8_t m[4] = {static_cast<uint8_t>(token), static_cast<uint8_t>(token >> 8),
                          static_cast<uint8_t>(token >> 16), static_cast<uint8_t>(token >> 24)};
    ostrik::ComputeHmacSha3(seeds[t].bytes.data(), name_mac, m, m + 4);
    ostrik::ComputeHmacSha3(seeds[t].bytes.data() + 32, index_key, m, m + 4);
  }
  return seeds;
}

void DeriveLabelAndPad(const TokenSeed& seed, uint32_t position, uint32_t depth, uint64_t& label, uint64_t& pad) {
  uint8_t state[32];
  std::memcpy(state, seed.bytes.data() + 32, 32);
  for (uint32_t level = depth; level-- > 0;) {
    WalkLevel(state, state, (position >> (level % 32)) & 1u);
  }
  LabelAndPadFromState(seed, state, label, pad);
}

void LabelWalker::Derive(const TokenSeed& seed, uint32_t position, uint64_t& label, uint64_t& pad) {
  if (depth_ == 0 || depth_ > kMaxShared) {
    DeriveLabelAndPad(seed, position, depth_, label, pad);
    return;
  }
  // States above the highest level whose bit changed are shared with the previous position.
  int top;
  if (seed_ != &seed) {
    std::memcpy(states_[depth_].data(), seed.bytes.data() + 32, 32);
    top = static_cast<int>(depth_) - 1;
  } else {
    const uint32_t mask = depth_ == 32 ? ~0u : ((1u << depth_) - 1u);
    const uint32_t diff = (position ^ position_) & mask;
    top = diff == 0 ? -1 : 31 - std::countl_zero(diff);
  }
  for (int level = top; level >= 0; --level) {
    WalkLevel(states_[level + 1].data(), states_[level].data(), (position >> level) & 1u);
  }
  seed_ = &seed;
  position_ = position;
  LabelAndPadFromState(seed, states_[0].data(), label, pad);
}

void DeriveItemLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& data_labels,
                          const std::vector<TokenSeed>& seeds, const std::vector<uint32_t>& positions,
                          TokenLabels& labels, uint32_t depth) {
  const uint64_t n = tokens.size();
  if (n == 0) return;
#pragma omp parallel
  {
    uint64_t begin, end;
    StaticShare(n, begin, end);
    LabelWalker walker(depth);
    for (uint64_t i = begin; i < end; ++i) {
      uint64_t label, pad;
      walker.Derive(seeds[tokens[i]], positions[i], label, pad);
      labels.labels[i] = label;
      labels.masks[i] = pad ^ data_labels[i];
    }
  }
}

void DeriveTokenLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<TokenSeed>& seeds,
                           TokenLabels& labels, uint32_t depth) {
  const std::vector<uint64_t>& offsets = labels.offsets;
  if (offsets.size() < 2) return;
  const uint64_t total = offsets.back();
  if (total == 0) return;
#pragma omp parallel
  {
    uint64_t begin, end;
    StaticShare(total, begin, end);
    if (begin < end) {
      // The token owning slot `begin`: the last k with offsets[k] <= begin.
      uint64_t k = static_cast<uint64_t>(std::upper_bound(offsets.begin(), offsets.end(), begin) -
                                         offsets.begin()) - 1;
      LabelWalker walker(depth);
      for (uint64_t g = begin; g < end; ++g) {
        while (g >= offsets[k + 1]) ++k;
        uint64_t label, pad;
        walker.Derive(seeds[tokens[k]], static_cast<uint32_t>(g - offsets[k]), label, pad);
        labels.labels[g] = label;
        labels.masks[g] = pad;
      }
    }
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
