// JSON value equality as filters compare values: like the JSON library's, except that numbers
// compare by exact value and sign whatever their stored kind (an unsigned 2^64-1 never equals -1,
// 1 equals 1.0, 2^53 + 1 does not equal 2^53 as a double).
//
// Throws std::invalid_argument when the values nest deeper than kMaxJsonDepth. Pure; any thread.
#pragma once

#include <nlohmann/json.hpp>

namespace ostrik_encrypted_index::internal::filters {

bool JsonNumbersEqual(const nlohmann::json& a, const nlohmann::json& b);
bool JsonEqual(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace ostrik_encrypted_index::internal::filters
