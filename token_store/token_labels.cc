#include "token_store/token_labels.h"

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "core/keccak_lanes.h"
#include "core/sha3.h"
#include "core/team_size.h"

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

// Work per thread of the team, in labels of a run of positions (about 0.2 us each; a run's own
// walk down the tree counts `depth` more): one list of a few dozen positions derives as fast on one
// thread as on two (they break even at 24-32 here), longer ones gain from every thread.
constexpr uint64_t kThreadLabels = 32;

// Static split of n items over the team: the first n mod T threads take one item more.
inline void StaticShare(uint64_t n, uint64_t& begin, uint64_t& end) {
  const uint64_t t = static_cast<uint64_t>(omp_get_num_threads());
  const uint64_t k = static_cast<uint64_t>(omp_get_thread_num());
  const uint64_t q = n / t, r = n % t;
  begin = k < r ? k * (q + 1) : r + k * q;
  end = begin + (k < r ? q + 1 : q);
}

// Lane derivation. The bottom kTileLevels levels of the walk, and the label and pad hashes, run
// breadth-first over many positions at once so that the multi-lane sponge always has full groups:
// positions of one aligned block of 2^kTileLevels share every state above the block, which the
// scalar prefix walk computes once per block.
constexpr uint32_t kTileLevels = 16;
constexpr size_t kMaxPieces = 64;
constexpr size_t kMaxLeaves = 512;
constexpr size_t kMaxNodes = kMaxLeaves + kMaxPieces;  // nodes of one level over every pending piece

using State = std::array<uint8_t, 32>;

// Positions [base + lo, base + hi) of one block, starting from the block's state above the tile;
// their labels go to slots out .. out + (hi - lo) - 1.
struct Piece {
  const TokenSeed* seed;
  uint32_t lo, hi;
  uint64_t out;
  State top;
};

// Per-thread buffers, allocated (and left uninitialised) before the parallel region.
struct LaneWorkspace {
  std::array<Piece, kMaxPieces> pieces;
  std::array<uint32_t, kMaxPieces> offset;
  std::array<uint32_t, kMaxPieces> next_offset;
  std::array<State, kMaxNodes> level_a;
  std::array<State, kMaxNodes> level_b;
  std::array<std::array<uint8_t, 32>, 2 * kMaxLeaves> leaf_inputs;
  std::array<uint64_t, 2 * kMaxLeaves> leaf_hashes;
};

// The workspaces of the calling thread's derivations, kept between calls: a team's are some
// 80 KB a thread, memory the allocator would otherwise map afresh (and fault in) at every fetch.
LaneWorkspace* Workspaces(int threads) {
  thread_local std::unique_ptr<LaneWorkspace[]> spaces;
  thread_local int count = 0;
  if (count < threads) {
    spaces.reset(new LaneWorkspace[static_cast<size_t>(threads)]);
    count = threads;
  }
  return spaces.get();
}

class LaneDeriver {
 public:
  // xor_with: null, or a value per slot folded into the pad (adding).
  LaneDeriver(uint32_t depth, LaneWorkspace& space, uint64_t* labels, uint64_t* masks, const uint64_t* xor_with)
      : depth_(depth), tile_(std::min(depth, kTileLevels)), w_(space), labels_(labels), masks_(masks),
        xor_with_(xor_with) {}

  // Positions first .. first + count - 1 of one seed, to slots out .. out + count - 1. block_tops:
  // null, or the state above the tile of each block of the seed (block b at block_tops[b]).
  // block_tops[0] belongs to block block_base.
  void Add(const TokenSeed& seed, uint32_t first, uint64_t count, uint64_t out, const State* block_tops = nullptr,
           uint64_t block_base = 0) {
    const uint64_t block = uint64_t{1} << tile_;
    uint64_t p = first;
    const uint64_t end = first + count;
    while (p < end) {
      if (pieces_ == kMaxPieces || leaves_ == kMaxLeaves) Flush();
      const uint64_t base = p & ~(block - 1);
      // Above depth 32 the position bits repeat along the walk: no two positions share a state.
      const uint64_t stop = depth_ > kMaxShared32 ? p + 1 : std::min({end, base + block, p + (kMaxLeaves - leaves_)});
      Piece& piece = w_.pieces[pieces_++];
      piece.seed = &seed;
      piece.lo = static_cast<uint32_t>(p - base);
      piece.hi = static_cast<uint32_t>(stop - base);
      piece.out = out + (p - first);
      if (block_tops != nullptr) {
        piece.top = block_tops[(p >> tile_) - block_base];
      } else {
        TopState(seed, static_cast<uint32_t>(p), piece.top);
      }
      leaves_ += stop - p;
      p = stop;
    }
  }

  void Flush() {
    if (pieces_ == 0) return;
    State* cur = w_.level_a.data();
    State* next = w_.level_b.data();
    for (size_t k = 0; k < pieces_; ++k) {
      cur[k] = w_.pieces[k].top;
      w_.offset[k] = static_cast<uint32_t>(k);
    }
    for (uint32_t level = tile_; level-- > 0;) {
      size_t n = 0;
      for (size_t k = 0; k < pieces_; ++k) {
        const Piece& piece = w_.pieces[k];
        const uint32_t parent_first = piece.lo >> (level + 1);
        w_.next_offset[k] = static_cast<uint32_t>(n);
        for (uint32_t j = piece.lo >> level; j <= (piece.hi - 1) >> level; ++j) {
          next[n] = cur[w_.offset[k] + (j >> 1) - parent_first];
          next[n][0] ^= static_cast<uint8_t>(j & 1u);
          ++n;
        }
      }
      ostrik::Sha3Hash32Batch(next[0].data(), next[0].data(), n);
      std::swap(cur, next);
      std::swap(w_.offset, w_.next_offset);
    }
    // cur now holds, per piece, the final state of each of its positions in order.
    size_t leaf = 0;
    for (size_t k = 0; k < pieces_; ++k) {
      const Piece& piece = w_.pieces[k];
      for (uint32_t i = 0; i < piece.hi - piece.lo; ++i, ++leaf) {
        const State& state = cur[w_.offset[k] + i];
        uint8_t* label_in = w_.leaf_inputs[2 * leaf].data();
        uint8_t* pad_in = w_.leaf_inputs[2 * leaf + 1].data();
        std::memcpy(label_in, piece.seed->bytes.data(), 16);
        std::memcpy(label_in + 16, state.data(), 16);
        std::memcpy(pad_in, piece.seed->bytes.data() + 16, 16);
        std::memcpy(pad_in + 16, state.data() + 16, 16);
      }
    }
    ostrik::Sha3HashToU64Batch(w_.leaf_hashes.data(), w_.leaf_inputs[0].data(), 2 * leaf);
    leaf = 0;
    for (size_t k = 0; k < pieces_; ++k) {
      const Piece& piece = w_.pieces[k];
      for (uint32_t i = 0; i < piece.hi - piece.lo; ++i, ++leaf) {
        const uint64_t slot = piece.out + i;
        labels_[slot] = w_.leaf_hashes[2 * leaf];
        masks_[slot] = w_.leaf_hashes[2 * leaf + 1] ^ (xor_with_ != nullptr ? xor_with_[slot] : 0);
      }
    }
    pieces_ = 0;
    leaves_ = 0;
  }

 private:
  static constexpr uint32_t kMaxShared32 = 32;

  // The state after the walk's levels depth - 1 .. tile_ for `position`. Up to depth 32 those
  // levels depend only on the block, and states shared with the previous block are kept.
  void TopState(const TokenSeed& seed, uint32_t position, State& out) {
    if (depth_ > kMaxShared32) {
      State state;
      std::memcpy(state.data(), seed.bytes.data() + 32, 32);
      for (uint32_t level = depth_; level-- > tile_;) {
        WalkLevel(state.data(), state.data(), (position >> (level % 32)) & 1u);
      }
      out = state;
      return;
    }
    int top;
    if (seed_ != &seed) {
      std::memcpy(states_[depth_].data(), seed.bytes.data() + 32, 32);
      top = static_cast<int>(depth_) - 1;
    } else {
      const uint32_t mask = depth_ == 32 ? ~0u : ((1u << depth_) - 1u);
      const uint32_t diff = (position ^ position_) & mask;
      top = diff == 0 ? -1 : 31 - std::countl_zero(diff);
    }
    for (int level = top; level >= static_cast<int>(tile_); --level) {
      WalkLevel(states_[level + 1].data(), states_[level].data(), (position >> level) & 1u);
    }
    seed_ = &seed;
    position_ = position;
    out = states_[tile_];
  }

  uint32_t depth_;
  uint32_t tile_;
  LaneWorkspace& w_;
  uint64_t* labels_;
  uint64_t* masks_;
  const uint64_t* xor_with_;
  size_t pieces_ = 0;
  size_t leaves_ = 0;
  const TokenSeed* seed_ = nullptr;
  uint32_t position_ = 0;
  std::array<State, kMaxShared32 + 1> states_{};
};

// The state above the tile of every block of 2^tile positions that a fetch reaches, for all its
// tokens at once: walked level by level through the lane hashes rather than by one scalar walk per
// token and thread, which dominates fetches of many small lists. Token k's blocks (from block
// starts[k] >> tile on) start at first_block[k]. Only for depths up to 32 (beyond, no two
// positions share a state).
std::vector<State> BlockTops(const std::vector<uint32_t>& tokens, const std::vector<TokenSeed>& seeds,
                             const std::vector<uint64_t>& offsets, const std::vector<uint64_t>& starts,
                             uint32_t depth, uint32_t tile, std::vector<uint64_t>& first_block) {
  const size_t n_tokens = tokens.size();
  first_block.assign(n_tokens + 1, 0);
  for (size_t k = 0; k < n_tokens; ++k) {
    const uint64_t count = offsets[k + 1] - offsets[k];
    const uint64_t start = starts[k];
    first_block[k + 1] = first_block[k] + (count == 0 ? 0 : ((start + count - 1) >> tile) - (start >> tile) + 1);
  }
  std::vector<State> tops(first_block[n_tokens]);
  std::vector<uint64_t> block_of(tops.size());
  for (size_t k = 0; k < n_tokens; ++k) {
    for (uint64_t i = first_block[k]; i < first_block[k + 1]; ++i) {
      std::memcpy(tops[i].data(), seeds[tokens[k]].bytes.data() + 32, 32);
      block_of[i] = (starts[k] >> tile) + (i - first_block[k]);
    }
  }
  std::vector<State> inputs(tops.size());
  for (uint32_t level = depth; level-- > tile;) {
    for (size_t i = 0; i < tops.size(); ++i) {
      inputs[i] = tops[i];
      inputs[i][0] ^= static_cast<uint8_t>((block_of[i] >> (level - tile)) & 1u);
    }
    if (!tops.empty()) ostrik::Sha3Hash32Batch(tops[0].data(), inputs[0].data(), tops.size());
  }
  return tops;
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

namespace {

// Places where the token changes from one item to the next: each costs a walk from the token's
// seed down to its block (depth - kTileLevels scalar hashes), which positions of one token share.
uint64_t TokenSwitches(const std::vector<uint32_t>& tokens) {
  uint64_t switches = 0;
  for (uint64_t i = 1; i < tokens.size(); ++i) switches += tokens[i] != tokens[i - 1];
  return switches;
}

void DeriveItemLabelsInOrder(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& data_labels,
                             const std::vector<TokenSeed>& seeds, const std::vector<uint32_t>& positions,
                             TokenLabels& labels, uint32_t depth) {
  const uint64_t n = tokens.size();
  uint64_t runs = 1;
  for (uint64_t i = 1; i < n; ++i) {
    runs += !(tokens[i] == tokens[i - 1] && positions[i] == positions[i - 1] + 1 && positions[i] != 0);
  }
  const int threads = ostrik::TeamSize(ostrik::WorkProduct(runs, depth) + n, kThreadLabels, n);
  LaneWorkspace* const spaces = Workspaces(threads);
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    uint64_t begin, end;
    StaticShare(n, begin, end);
    LaneDeriver deriver(depth, spaces[static_cast<size_t>(omp_get_thread_num())], labels.labels.data(),
                        labels.masks.data(), data_labels.data());
    // Items that continue their predecessor's token at the next position form one run.
    uint64_t i = begin;
    while (i < end) {
      uint64_t j = i + 1;
      while (j < end && tokens[j] == tokens[i] && positions[j] == positions[j - 1] + 1 && positions[j] != 0) ++j;
      deriver.Add(seeds[tokens[i]], positions[i], j - i, i);
      i = j;
    }
    deriver.Flush();
  }
}

}  // namespace

void DeriveItemLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& data_labels,
                          const std::vector<TokenSeed>& seeds, const std::vector<uint32_t>& positions,
                          TokenLabels& labels, uint32_t depth) {
  const uint64_t n = tokens.size();
  if (n == 0) return;
  // A batch of a trained index comes in the caller's order, so its tokens may change at nearly
  // every item. In (token, position) order each token's walk is shared by all its items: derive
  // there and put the labels back in place. (Without levels above the tile there is no walk to
  // share; beyond depth 32 no two positions share one.)
  const uint64_t switches = depth > kTileLevels && depth <= 32 ? TokenSwitches(tokens) : 0;
  if (switches > 0) {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return tokens[a] != tokens[b] ? tokens[a] < tokens[b] : positions[a] < positions[b];
    });
    std::vector<uint32_t> sorted_tokens(n), sorted_positions(n);
    std::vector<uint64_t> sorted_data(n);
    for (uint64_t k = 0; k < n; ++k) {
      sorted_tokens[k] = tokens[order[k]];
      sorted_positions[k] = positions[order[k]];
      sorted_data[k] = data_labels[order[k]];
    }
    if (TokenSwitches(sorted_tokens) < switches) {
      TokenLabels sorted;
      sorted.labels.resize(n);
      sorted.masks.resize(n);
      DeriveItemLabelsInOrder(sorted_tokens, sorted_data, seeds, sorted_positions, sorted, depth);
      for (uint64_t k = 0; k < n; ++k) {
        labels.labels[order[k]] = sorted.labels[k];
        labels.masks[order[k]] = sorted.masks[k];
      }
      return;
    }
  }
  DeriveItemLabelsInOrder(tokens, data_labels, seeds, positions, labels, depth);
}

void DeriveTokenLabelsBody(const std::vector<uint32_t>& tokens, const std::vector<TokenSeed>& seeds,
                           TokenLabels& labels, uint32_t depth) {
  DeriveTokenLabelsFrom(tokens, std::vector<uint64_t>(tokens.size(), 0), seeds, labels, depth);
}

void DeriveTokenLabelsFrom(const std::vector<uint32_t>& tokens, const std::vector<uint64_t>& starts,
                           const std::vector<TokenSeed>& seeds, TokenLabels& labels, uint32_t depth) {
  const std::vector<uint64_t>& offsets = labels.offsets;
  if (offsets.size() < 2) return;
  const uint64_t total = offsets.back();
  if (total == 0) return;
  const uint32_t tile = std::min(depth, kTileLevels);
  std::vector<uint64_t> first_block;
  std::vector<State> tops;
  const bool batched_tops = depth <= 32 && depth > tile;
  if (batched_tops) tops = BlockTops(tokens, seeds, offsets, starts, depth, tile, first_block);
  const int threads = ostrik::TeamSize(total, kThreadLabels);
  LaneWorkspace* const spaces = Workspaces(threads);
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    uint64_t begin, end;
    StaticShare(total, begin, end);
    if (begin < end) {
      // The token owning slot `begin`: the last k with offsets[k] <= begin.
      uint64_t k = static_cast<uint64_t>(std::upper_bound(offsets.begin(), offsets.end(), begin) -
                                         offsets.begin()) - 1;
      LaneDeriver deriver(depth, spaces[static_cast<size_t>(omp_get_thread_num())], labels.labels.data(),
                          labels.masks.data(), nullptr);
      uint64_t g = begin;
      while (g < end) {
        while (g >= offsets[k + 1]) ++k;
        const uint64_t stop = std::min(end, offsets[k + 1]);
        deriver.Add(seeds[tokens[k]], static_cast<uint32_t>(starts[k] + (g - offsets[k])), stop - g, g,
                    batched_tops ? tops.data() + first_block[k] : nullptr, starts[k] >> tile);
        g = stop;
      }
      deriver.Flush();
    }
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
