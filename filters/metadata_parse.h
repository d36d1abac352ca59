// Parallel parsing of item metadata texts, shared by post-filtering and the summary update.
//
// ParseMetadataTexts never throws for a bad text: it reports the first bad position, so that the
// caller can raise that position's error in candidate order. An empty text parses as {}; a text
// nested deeper than kMaxJsonDepth is bad. Reentrant; runs one OpenMP region with the calling
// thread's team.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrik_encrypted_index::internal::filters {

inline constexpr size_t kNoBadText = std::numeric_limits<size_t>::max();

// Parses texts[begin, end) into out[0, end - begin) (out is resized). Returns the first position
// (in texts) that does not parse, or kNoBadText.
size_t ParseMetadataTexts(const std::vector<std::string>& texts, size_t begin, size_t end,
                          std::vector<nlohmann::json>& out);

}  // namespace ostrik_encrypted_index::internal::filters
