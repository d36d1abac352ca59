// ItemLabels: HashItemIds over a batch of ids, spread over the calling thread's team. The values
// and their order are those of HashItemIds; a batch of 100,000 ids is two of them per add.
//
// Throws only on allocation failure (before the parallel region). Reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrik_encrypted_index::internal::token_store {

std::vector<uint64_t> ItemLabels(const std::vector<std::string>& ids, const uint8_t* key);

}  // namespace ostrik_encrypted_index::internal::token_store
