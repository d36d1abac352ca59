// The summary update of trained ingestion: folds one batch's metadata into the per-path list
// summaries kept encrypted in the engine's index store. Summaries only grow: ranges widen and hash
// sets gain members; nothing is ever removed.
//
// Throws: the JSON library's parse error for a metadata text that is not JSON,
// std::invalid_argument for metadata nested deeper than kMaxJsonDepth or metadata and tokens of
// different lengths, std::runtime_error for a stored summary that fails verification, and the
// engine's, the cipher's and the store's failures unchanged. All reading happens before the single
// push at the end, so a failure leaves every stored summary as it was.
//
// Thread-safety: the engine is used from the calling thread only; parsing and the ciphers run in
// OpenMP regions. Nobody else may write the index's summaries meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/logger.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::filters {

// metadata[i] (one JSON text per item, "" for none; or empty altogether) belongs to the item of
// list input_tokens[i]. `logger` is the index's own.
void UpdateMetadata(token_store::TokenIndex& engine, const std::vector<std::string>& metadata,
                    const std::vector<uint32_t>& input_tokens, ostrik::Logger& logger);

}  // namespace ostrik_encrypted_index::internal::filters
