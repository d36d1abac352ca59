#include "filters/filter_match.h"

#include <re2/re2.h>

#include <stdexcept>
#include <string_view>

#include "core/logger.h"
#include "filters/json_equal.h"
#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {

using nlohmann::json;

struct FilterMatcher::Compiled {
  std::unique_ptr<re2::RE2> regex;
  std::string error;  // set when the pattern does not compile; raised only when evaluation needs it
};

namespace {

[[noreturn]] void TooDeep() {
  throw std::invalid_argument("Filter is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
}

// The library's own refusal to take the key of a non-object iterator, as an invalid filter.
[[noreturn]] void ThrowNotAnObject(const json& filter) {
  try {
    (void)filter.begin().key();
  } catch (const json::exception& e) {
    throw std::invalid_argument(e.what());
  }
  throw std::invalid_argument("A filter must be a JSON object.");
}

template <typename T>
T OperandAs(const json& operand) {
  try {
    return operand.get<T>();
  } catch (const json::exception& e) {
    throw std::invalid_argument(e.what());
  }
}

std::unique_ptr<re2::RE2> CompileRegex(const std::string& pattern, std::string& error) {
  RE2::Options options;
  options.set_log_errors(false);
  auto regex = std::make_unique<re2::RE2>(pattern, options);
  if (!regex->ok()) {
    error = "Invalid regex pattern: " + pattern + "\nError: " + regex->error();
    return nullptr;
  }
  return regex;
}

// The field value at a dotted path, or null when missing. Arrays are never entered.
const json* Resolve(const json& metadata, std::string_view path) {
  const json* current = &metadata;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    const std::string_view name = path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!current->is_object()) return nullptr;
    const auto it = current->find(name);
    if (it == current->end()) return nullptr;
    if (dot == std::string_view::npos) return it->is_null() ? nullptr : &*it;
    current = &*it;
    start = dot + 1;
  }
}

bool EqHolds(const json& value, const json& operand) {
  if (JsonEqual(value, operand)) return true;
  if (value.is_array()) {
    for (const json& element : value) {
      if (JsonEqual(element, operand)) return true;
    }
  }
  return false;
}

bool InHolds(const json& value, const json& operand) {
  for (const json& member : operand) {
    if (EqHolds(value, member)) return true;
  }
  return false;
}

enum class Order { kGt, kGte, kLt, kLte };

bool Compare(double v, double o, Order order) {
  switch (order) {
    case Order::kGt: return v > o;
    case Order::kGte: return v >= o;
    case Order::kLt: return v < o;
    case Order::kLte: return v <= o;
  }
  return false;
}

bool OrderHolds(const json& value, const json& operand, Order order) {
  if (!operand.is_number()) return false;
  const double o = operand.get<double>();
  if (value.is_number()) return Compare(value.get<double>(), o, order);
  if (value.is_array()) {
    for (const json& element : value) {
      if (element.is_number() && Compare(element.get<double>(), o, order)) return true;
    }
  }
  return false;
}

bool TypeHolds(const json& value, const json& operand) {
  const std::string name = OperandAs<std::string>(operand);
  if (name == "string") return value.is_string();
  if (name == "number") return value.is_number();
  if (name == "boolean") return value.is_boolean();
  if (name == "array") return value.is_array();
  if (name == "object") return value.is_object();
  throw std::invalid_argument("Unsupported type in $type operator: " + name);
}

bool OperatorHolds(const FilterMatcher& matcher, const std::string& op, const json& value, const json& operand) {
  if (op == "$eq") return EqHolds(value, operand);
  if (op == "$ne") return !EqHolds(value, operand);
  if (op == "$gt") return OrderHolds(value, operand, Order::kGt);
  if (op == "$gte") return OrderHolds(value, operand, Order::kGte);
  if (op == "$lt") return OrderHolds(value, operand, Order::kLt);
  if (op == "$lte") return OrderHolds(value, operand, Order::kLte);
  if (op == "$exists") return OperandAs<bool>(operand);
  if (op == "$regex") {
    if (!value.is_string()) return false;
    if (!operand.is_string()) OperandAs<std::string>(operand);  // the library's type error
    return re2::RE2::PartialMatch(value.get_ref<const std::string&>(), matcher.Regex(operand));
  }
  if (op == "$in") return InHolds(value, operand);
  if (op == "$nin") return !InHolds(value, operand);
  if (op == "$type") return TypeHolds(value, operand);
  throw std::invalid_argument("Unsupported operator: " + op);
}

bool FieldHolds(const FilterMatcher& matcher, const std::string& path, const json& condition, const json& metadata) {
  const json* value = Resolve(metadata, path);
  if (value == nullptr) return ConditionHoldsWhenMissing(condition);
  // A condition that is not an object appears only under an unknown '$' key, which normalisation
  // leaves unwrapped: it reads as the equality shorthand.
  if (!condition.is_object()) return EqHolds(*value, condition);
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    if (!OperatorHolds(matcher, it.key(), *value, it.value())) return false;
  }
  return true;
}

bool Evaluate(const FilterMatcher& matcher, const json& filter, const json& metadata, size_t depth) {
  if (!filter.is_object()) {
    if (filter.is_null() || (filter.is_array() && filter.empty())) return true;
    ThrowNotAnObject(filter);
  }
  if (++depth > kMaxJsonDepth) TooDeep();
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    const json& value = it.value();
    bool holds;
    if (key == "$and") {
      holds = true;
      for (const json& sub : value) {
        if (!Evaluate(matcher, sub, metadata, depth)) {
          holds = false;
          break;
        }
      }
    } else if (key == "$or") {
      holds = false;
      for (const json& sub : value) {
        if (Evaluate(matcher, sub, metadata, depth)) {
          holds = true;
          break;
        }
      }
    } else if (key == "$nor") {
      holds = true;
      for (const json& sub : value) {
        if (Evaluate(matcher, sub, metadata, depth)) {
          holds = false;
          break;
        }
      }
    } else if (key == "$not") {
      holds = !Evaluate(matcher, value, metadata, depth);
    } else {
      holds = FieldHolds(matcher, key, value, metadata);
    }
    if (!holds) return false;
  }
  return true;
}

}  // namespace

bool ConditionHoldsWhenMissing(const json& condition) {
  if (!condition.is_object() || condition.empty()) return false;
  // The operators of one condition all have to hold, so one that cannot on a missing field decides
  // it whichever key comes first. No other operand is looked at and nothing is refused here.
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    const bool holds = it.key() == "$nin" || (it.key() == "$exists" && JsonEqual(it.value(), json(false)));
    if (!holds) return false;
  }
  return true;
}

FilterMatcher::FilterMatcher(const json& filter) : filter_(filter) { CompileAll(filter, 0); }

FilterMatcher::~FilterMatcher() = default;

void FilterMatcher::CompileAll(const json& node, size_t depth) {
  if (!node.is_structured()) return;
  if (++depth > kMaxJsonDepth) TooDeep();
  if (node.is_array()) {
    for (const json& element : node) CompileAll(element, depth);
    return;
  }
  for (auto it = node.begin(); it != node.end(); ++it) {
    const json& value = it.value();
    if (it.key() == "$regex") {
      if (value.is_string() && regexes_.count(&value) == 0) {
        auto compiled = std::make_unique<Compiled>();
        compiled->regex = CompileRegex(value.get_ref<const std::string&>(), compiled->error);
        regexes_.emplace(&value, std::move(compiled));
      }
    } else {
      // Every '$regex' string is compiled, wherever it sits: a key such as "$in" can also be read
      // as a field path, and an uncompiled pattern that evaluation never reaches costs nothing.
      CompileAll(value, depth);
    }
  }
}

const re2::RE2& FilterMatcher::Regex(const json& operand) const {
  const auto it = regexes_.find(&operand);
  if (it == regexes_.end()) {
    throw std::logic_error("$regex operand evaluated against a matcher built for another filter");
  }
  if (!it->second->regex) throw std::invalid_argument(it->second->error);
  return *it->second->regex;
}

bool FilterMatcher::Matches(const json& metadata) const { return Evaluate(*this, filter_, metadata, 0); }

[[noreturn]] void ReportEvaluationError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::invalid_argument& e) {
    ostrik::CurrentLogger().critical(e.what());
    throw;
  } catch (const json::exception& e) {
    ostrik::CurrentLogger().critical(e.what());
    throw std::invalid_argument(e.what());
  }
}

bool MatchesFilter(const json& filter, const json& metadata) {
  try {
    const FilterMatcher matcher(filter);
    return matcher.Matches(metadata);
  } catch (...) {
    ReportEvaluationError(std::current_exception());
  }
}

}  // namespace ostrik_encrypted_index::internal::filters
