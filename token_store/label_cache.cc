#include "token_store/label_cache.h"

namespace ostrik_encrypted_index::internal::token_store {

void TokenLabelCache::Match(uint32_t depth, uint64_t vocab) {
  if (depth == depth_ && labels_.size() == vocab) return;
  labels_.clear();
  pads_.clear();
  held_ = 0;
  depth_ = depth;
  labels_.resize(vocab);
  pads_.resize(vocab);
}

void TokenLabelCache::Append(uint32_t token, const uint64_t* labels, const uint64_t* pads, uint64_t count) noexcept {
  if (count == 0 || token >= labels_.size() || held_ + count > kMaxPositions) return;
  std::vector<uint64_t>& l = labels_[token];
  std::vector<uint64_t>& p = pads_[token];
  const size_t known = l.size();
  try {
    l.insert(l.end(), labels, labels + count);
    p.insert(p.end(), pads, pads + count);
  } catch (...) {  // out of memory: the token is derived again next time
    l.resize(known);
    p.resize(known);
    return;
  }
  held_ += count;
}

}  // namespace ostrik_encrypted_index::internal::token_store
