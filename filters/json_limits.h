// Nesting bound for the JSON texts the filtering layer reads (filters and item metadata), so that
// no walk over a parsed value recurses without bound.
//
// ExceedsJsonDepth never throws and allocates nothing. Pure; any thread may call it.
#pragma once

#include <cstddef>
#include <string_view>

namespace ostrik_encrypted_index::internal::filters {

// Deepest nesting of objects and arrays accepted in a filter or a metadata value ({} is depth 1).
inline constexpr size_t kMaxJsonDepth = 100;

// True when the text opens more than kMaxJsonDepth objects/arrays at once. Brackets inside strings
// are skipped; the text need not be valid JSON (the parser judges that afterwards).
bool ExceedsJsonDepth(std::string_view text, size_t limit = kMaxJsonDepth);

}  // namespace ostrik_encrypted_index::internal::filters
