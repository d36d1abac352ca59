// Seed-tree labels: the per-token seeds (TokenSeed) and the walk that turns (seed, position, depth)
// into the 64-bit label of the position's index-store entry and the pad that masks its value.
//
// DeriveTokenSeeds throws what ComputeHmacSha3 throws. The walkers never throw and allocate
// nothing; they are meant to run one per thread inside parallel regions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "token_store/token_cache.h"

namespace ostrik_encrypted_index::internal::token_store {

// Bytes 0..15: first half of HMAC(name_mac, token) (label input), 16..31: its second half (pad
// input), 32..63: HMAC(index_key, token) (start of the walk). The token is 4 bytes little-endian.
struct TokenSeed {
  std::array<uint8_t, 64> bytes{};
};

struct TokenLabels {
  std::vector<uint64_t> labels;
  std::vector<uint64_t> masks;    // adding: pad XOR data label; fetching: the pad
  std::vector<uint64_t> offsets;  // fetching: start of each missed token's positions, plus the end
};

std::vector<TokenSeed> DeriveTokenSeeds(uint64_t n, const uint8_t* index_key, const uint8_t* name_mac);

// The plain walk: depth hashes, then one hash each for the label and the pad.
void DeriveLabelAndPad(const TokenSeed& seed, uint32_t position, uint32_t depth, uint64_t& label,
                       uint64_t& pad);

// Adding: labels[i] = label of (tokens[i], positions[i]), masks[i] = its pad XOR data_labels[i].
// `labels` must already hold one slot per item in both vectors. Runs one parallel region.
void DeriveItemLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& data_labels,
                          const std::vector<TokenSeed>& seeds, const std::vector<uint32_t>& positions,
                          TokenLabels& labels, uint32_t depth);

// Fetching: for missed token k (tokens[k]) and every position j below its count, the label and
// pad go to slot offsets[k] + j. Work is split over all (token, position) pairs, so one large token
// uses every thread. `labels` holds the offsets and has its labels/masks sized to offsets.back().
void DeriveTokenLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<TokenSeed>& seeds,
                           TokenLabels& labels, uint32_t depth);
// The same from position starts[k] of each token on: slot offsets[k] + j holds position
// starts[k] + j. REQUIRES: starts.size() == tokens.size(), no position beyond 2^32 - 1.
void DeriveTokenLabelsFrom(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& starts,
                           const std::vector<TokenSeed>& seeds, TokenLabels& labels, uint32_t depth);

}  // namespace ostrik_encrypted_index::internal::token_store
