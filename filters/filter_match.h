// Exact evaluation of a filter against one item's metadata.
//
// FilterMatcher holds one filter with its $regex patterns compiled once (RE2: linear time, partial
// match), for evaluating many items; MatchesFilter evaluates one item.
//
// Throws std::invalid_argument for every invalid filter met during evaluation: an unsupported
// operator or $type name, an invalid pattern, an operand of the wrong type or a nested filter that
// is not an object (the JSON library's own text), and nesting deeper than kMaxJsonDepth.
// MatchesFilter writes the message at CRITICAL through current_logger before throwing;
// FilterMatcher::Matches does not log, so that parallel callers can report the first failure once.
//
// Thread-safety: a FilterMatcher is immutable after construction; Matches may run on any number
// of threads at once. The filter it was built from must outlive it and stay unchanged.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace re2 {
class RE2;
}

namespace ostrik_encrypted_index::internal::filters {

class FilterMatcher {
 public:
  explicit FilterMatcher(const nlohmann::json& filter);
  ~FilterMatcher();
  FilterMatcher(const FilterMatcher&) = delete;
  FilterMatcher& operator=(const FilterMatcher&) = delete;

  bool Matches(const nlohmann::json& metadata) const;

  // The compiled pattern of a $regex operand of this filter; throws std::invalid_argument
  // "Invalid regex pattern: <pattern>\nError: <reason>" when it does not compile.
  const re2::RE2& Regex(const nlohmann::json& operand) const;

 private:
  struct Compiled;
  void CompileAll(const nlohmann::json& node, size_t depth);

  const nlohmann::json& filter_;
  std::unordered_map<const nlohmann::json*, std::unique_ptr<Compiled>> regexes_;
};

bool MatchesFilter(const nlohmann::json& filter, const nlohmann::json& metadata);

// Rethrows a failure met while evaluating as std::invalid_argument (library errors keep their
// text), after writing it at CRITICAL through current_logger; any other exception passes unchanged.
[[noreturn]] void ReportEvaluationError(std::exception_ptr error);

// True when a condition holds for an item that lacks the field (or holds null there): every one of
// its operators is $nin or {$exists: false}.
bool ConditionHoldsWhenMissing(const nlohmann::json& condition);

}  // namespace ostrik_encrypted_index::internal::filters
