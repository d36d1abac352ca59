#include "token_store/merge_results.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "core/team_size.h"
#include "token_store/reserve_large.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

using ostrik::EngineLogger;

// Work per thread of the team, in bytes copied, a row's id and metadata counting kRowWork: 1 and
// 2 threads break even at about 400 rows of dimension 128 and 80 of dimension 784 here.
constexpr uint64_t kThreadBytes = uint64_t{1} << 18;
constexpr uint64_t kRowWork = 256;

std::string N(uint64_t v) { return std::to_string(v); }

// Rows [begin, end) of the output, which start inside group g.
void CopyRows(const std::vector<SharedTokenList>& lists, const std::vector<uint64_t>& starts, uint64_t g,
              uint64_t begin, uint64_t end, uint64_t payload_size, ostrik::ItemRecords& out) {
  uint64_t row = begin;
  while (row < end) {
    while (row >= starts[g + 1]) ++g;
    const TokenList& list = *lists[g];
    const uint64_t first = row - starts[g];
    const uint64_t count = std::min(end, starts[g + 1]) - row;
    if (payload_size != 0) {
      if (list.width() == payload_size) {
        std::memcpy(out.payloads.row(row), list.payload(first), count * payload_size);
      } else {
        for (uint64_t i = 0; i < count; ++i) std::memcpy(out.payloads.row(row + i), list.payload(first + i), payload_size);
      }
    }
    for (uint64_t i = 0; i < count; ++i) {
      out.item_ids[row + i].assign(list.id(first + i));
      out.metadata[row + i].assign(list.metadata(first + i));
    }
    row += count;
  }
}

}  // namespace

void MergeResults(const std::vector<SharedTokenList>& lists, uint64_t payload_size,
                  ostrik::ItemRecords& merged_results) {
  uint64_t current_result_index = 0;
  ostrik::ItemRecords& out = merged_results;
  try {
    const uint64_t n = lists.size();
    std::vector<uint64_t>& starts = out.token_indices;
    starts.assign(n + 1, 0);
    for (uint64_t g = 0; g < n; ++g) {
      const TokenList* list = lists[g].get();
      const uint64_t size = list == nullptr ? 0 : list->size();
      if (size != 0 && list->width() < payload_size) {
        current_result_index = starts[g];
        const std::string id(list->id(0));
        EngineLogger().error("Insufficient payload size for item_id: " + id + "\ntoken payload size: " +
                             N(list->width()) + "\npayload_size: " + N(payload_size));
        throw std::length_error("Insufficient payload size for item_id: " + id);
      }
      starts[g + 1] = starts[g] + size;
    }
    const uint64_t total = starts[n];
    SizeItemRecords(out, total, payload_size);
    if (total == 0) return;

    // Null lists hold no rows, so the copy never reads one.
    const int team = ostrik::TeamSize(ostrik::WorkProduct(total, payload_size + kRowWork), kThreadBytes);
    if (team == 1) {
      CopyRows(lists, starts, 0, 0, total, payload_size, out);
      return;
    }
    std::atomic<bool> failed{false};
#pragma omp parallel num_threads(team)
    {
      const uint64_t threads = static_cast<uint64_t>(omp_get_num_threads());
      const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
      const uint64_t begin = total * t / threads, end = total * (t + 1) / threads;
      if (begin < end) {
        // The group holding row `begin`: the last g with starts[g] <= begin.
        const uint64_t g = static_cast<uint64_t>(std::upper_bound(starts.begin(), starts.end(), begin) -
                                                 starts.begin()) - 1;
        try {
          CopyRows(lists, starts, g, begin, end, payload_size, out);
        } catch (...) {
          failed.store(true);
        }
      }
    }
    if (failed.load()) throw std::bad_alloc();
  } catch (const std::exception& e) {
    ClearItemRecords(out);
    const std::string text = std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: " + std::to_string(current_result_index);
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
