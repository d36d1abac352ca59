// MergeResults: lays item lists (cached hits and freshly fetched misses alike) out in request order
// as one ItemRecords, copying each list's payloads, ids and metadata as blocks.
//
// Every failure, whatever its kind, is logged at ERROR through engine_logger and thrown as one
// std::runtime_error "Error in MergeResults: " + message + " current_result_index: " + position;
// `merged_results` is then left without items. Copies in one OpenMP region over disjoint rows (on
// the calling thread for small results); touches no cache.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.h"
#include "token_store/token_list.h"

namespace ostrik_encrypted_index::internal::token_store {

// Group g of `merged_results` holds lists[g]'s items (a null list holds none), their payloads cut
// to payload_size bytes; a non-empty list narrower than that is refused ("Insufficient payload size
// for item_id: " + its first id, at the row where the list would start). `merged_results` is
// refilled: buffers it already holds are reused.
void MergeResults(const std::vector<SharedTokenList>& lists, uint64_t payload_size,
                  ostrik::ItemRecords& merged_results);

}  // namespace ostrik_encrypted_index::internal::token_store
