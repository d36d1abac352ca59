#include "index/placeholders.h"

#include <cstring>
#include <utility>

namespace ostrik {

uint64_t DropPlaceholders(ItemRecords& records) {
  const uint64_t n = records.item_ids.size();
  uint64_t first = 0;
  while (first < n && !records.item_ids[first].empty()) ++first;
  if (first == n) return 0;  // the common case: nothing was deleted

  const uint64_t width = records.payloads.cols;
  const bool has_payloads = records.payloads.rows == n && width != 0;
  const bool has_metadata = records.metadata.size() == n;
  std::vector<uint64_t>& offsets = records.token_indices;
  size_t group = 0;
  uint64_t kept = 0;
  for (uint64_t i = 0; i < n; ++i) {
    // Close every group that ends at i before deciding on item i.
    while (group + 1 < offsets.size() && offsets[group + 1] <= i) offsets[++group] = kept;
    if (records.item_ids[i].empty()) continue;
    if (kept != i) {
      records.item_ids[kept] = std::move(records.item_ids[i]);
      if (has_metadata) records.metadata[kept] = std::move(records.metadata[i]);
      if (has_payloads) std::memmove(records.payloads.row(kept), records.payloads.row(i), width);
    }
    ++kept;
  }
  while (group + 1 < offsets.size()) offsets[++group] = kept;
  records.item_ids.resize(kept);
  if (has_metadata) records.metadata.resize(kept);
  if (has_payloads) {
    records.payloads.rows = kept;
    records.payloads.data.resize(kept * width);
  }
  return n - kept;
}

}  // namespace ostrik
