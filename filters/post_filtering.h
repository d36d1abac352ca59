// Post-filtering: the exact filter stage of every query. Keeps the decrypted candidates whose
// metadata matches the filter and rebuilds the ItemRecords with the input's groups (a group that
// loses every candidate becomes an empty range; nothing kept gives an empty record).
//
// Throws: std::invalid_argument for an invalid filter (from ParseFilters, or met while evaluating)
// and for candidate metadata that is not JSON ("Invalid JSON string provided: " + reason), both
// logged at CRITICAL through current_logger when found here; std::out_of_range when the record's
// per-candidate fields differ in length (logged at CRITICAL through the given logger). When several
// candidates fail, the one reported is the first in candidate order.
//
// Thread-safety: reentrant. Metadata is parsed and evaluated in one OpenMP region, with the
// calling thread's team; no exception leaves a region.
#pragma once

#include <string>

#include "core/logger.h"
#include "core/matrix.h"

namespace ostrik_encrypted_index::internal::filters {

// `logger` is the index's own logger (the "PostFiltering" line and the bounds guards).
ostrik::ItemRecords PostFiltering(const ostrik::ItemRecords& candidates, const std::string& filters,
                                  ostrik::Logger& logger);

}  // namespace ostrik_encrypted_index::internal::filters
