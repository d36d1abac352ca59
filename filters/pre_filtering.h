// Pre-filtering: the approximate filter stage of a query on a trained index. Reads the summaries
// of the field paths the filter names and keeps the lists that may hold a matching item, with the
// coarse centroid matrices reduced to their rows.
//
// It never drops a list that holds a matching item: a list is skipped only when the summaries
// prove that no item of it can match. Paths it cannot judge ($not, $nor, paths it does not fetch,
// summaries without an entry list) keep every list.
//
// Throws: ParseFilters' std::invalid_argument unwrapped (logged as ParseFilters logs it); an
// invalid filter met while evaluating as std::invalid_argument "Error while pre-filtering: " +
// reason; every other failure (fetch, decryption, a summary that fails verification, reduction)
// as std::runtime_error with that prefix. Both are logged at CRITICAL through the given logger.
//
// Thread-safety: uses the engine from the calling thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/logger.h"
#include "filters/filter_state.h"
#include "kernels/kernel_records.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::filters {

struct PreFilterResult {
  std::vector<uint32_t> centroid_ids;             // list id of each reduced row, ascending
  std::vector<ostrik::QuantizerMatrix> coarse;    // one reduced matrix per coarse matrix
  std::vector<ostrik::QuantizerMatrix> secondary;  // copied
};

// `coarse` and `secondary` are the index's centroid lists; `logger` is the index's own.
PreFilterResult PreFiltering(token_store::TokenIndex& engine, const std::vector<ostrik::QuantizerMatrix>& coarse,
                             const std::vector<ostrik::QuantizerMatrix>& secondary, const std::string& filters,
                             ostrik::Logger& logger);

// True when the list may hold an item that satisfies the (normalised) filter, judged on
// state.centroid_maps. Throws std::invalid_argument for a nested filter that is not an object.
bool CentroidMayMatch(const FilterState& state, const nlohmann::json& filter, uint32_t centroid_id);

}  // namespace ostrik_encrypted_index::internal::filters
