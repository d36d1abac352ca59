// Checks of item data made before anything is written: vectors must be finite and metadata texts
// JSON objects, so that no store, summary or filter later meets what it cannot read.
//
// Neither throws for bad data (they report it); both run OpenMP regions with the calling thread's
// team and are reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace ostrik {

// The first row holding NaN or an infinity, or m.rows when every value is finite.
uint64_t FirstNonFiniteRow(const FloatMatrix& m);

// Why some non-empty metadata text is not a JSON object (naming the item by ids[i]), or "".
std::string CheckMetadataObjects(const std::vector<std::string>& metadata, const std::vector<std::string>& ids);

}  // namespace ostrik
