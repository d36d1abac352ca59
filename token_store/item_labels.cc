#include "token_store/item_labels.h"

#include <omp.h>

#include <algorithm>

#include "core/sha3.h"
#include "core/team_size.h"

namespace ostrik_encrypted_index::internal::token_store {

std::vector<uint64_t> ItemLabels(const std::vector<std::string>& ids, const uint8_t* key) {
  const int64_t n = static_cast<int64_t>(ids.size());
  if (n < 2048) return ostrik::HashItemIds(ids, key);
  std::vector<uint64_t> out(ids.size());
  size_t longest = 0;
  for (const auto& id : ids) longest = std::max(longest, id.size());
  const int threads = ostrik::TeamIf(true);
  // One key-prefixed buffer per thread, sized for the longest id before the region.
  std::vector<ostrik::Bytes> buffers(static_cast<size_t>(threads), ostrik::Bytes(key, key + 32));
  for (auto& b : buffers) b.reserve(32 + longest);
#pragma omp parallel num_threads(threads)
  {
    ostrik::Bytes& buffer = buffers[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      const std::string& id = ids[static_cast<size_t>(i)];
      buffer.resize(32);
      buffer.insert(buffer.end(), id.begin(), id.end());
      out[static_cast<size_t>(i)] = ostrik::Sha3BytesToU64(buffer);
    }
  }
  return out;
}

}  // namespace ostrik_encrypted_index::internal::token_store
