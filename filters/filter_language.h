// The metadata filter language: the operator sets, parsing of a filter text into a JSON value,
// normalisation into the canonical shape (field members hold condition objects), validation of
// the top level and collection of the field paths that pre-filtering reads.
//
// Throws: ParseFilters and ValidateFilters throw std::invalid_argument for any invalid filter
// (validation failures are logged at ERROR through current_logger first; parse failures are not
// logged). NormalizeFilter and CollectFilterFields throw only std::invalid_argument for a value
// nested deeper than kMaxJsonDepth, which ParseFilters never produces.
//
// Thread-safety: all functions are reentrant; the operator sets are immutable once built
// (kLogicalOperators on first use, thread-safely).
#pragma once

#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace ostrik_encrypted_index::internal::filters {

// The eleven field operators; built at load time and never changed.
extern const std::set<std::string> kFieldOperators;
// The four logical operators ($and, $or, $nor, $not).
const std::set<std::string>& LogicalOperators();

// Empty text is the empty object (no filter). "null", "{}" and "[]" come back as they are;
// anything else is normalised and validated.
nlohmann::json ParseFilters(const std::string& text);

// Rewrites the equality shorthand {path: value} into {path: {$eq: value}} throughout the logical
// structure. Operands of field operators are left exactly as written.
void NormalizeFilter(nlohmann::json& filter);

// Checks the single top-level member; nested filters are judged during evaluation.
void ValidateFilters(const nlohmann::json& filter);

// Adds the paths named at the top level and inside $and/$or (never under $nor/$not).
void CollectFilterFields(const nlohmann::json& filter, std::set<std::string>& paths, const std::string& prefix);

// True for a non-empty key whose first byte is '$'.
inline bool IsOperatorKey(const std::string& key) { return !key.empty() && key[0] == '$'; }

// What callers treat as no filter: null, {} and [].
inline bool IsNoFilter(const nlohmann::json& filter) {
  return filter.is_null() || ((filter.is_object() || filter.is_array()) && filter.empty());
}

}  // namespace ostrik_encrypted_index::internal::filters
