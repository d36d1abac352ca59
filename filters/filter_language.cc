#include "filters/filter_language.h"

#include <stdexcept>

#include "core/logger.h"
#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;

[[noreturn]] void TooDeep() {
  throw std::invalid_argument("Filter is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
}

[[noreturn]] void ValidationError(const std::string& message) {
  ostrik::CurrentLogger().error(message);
  throw std::invalid_argument(message);
}

bool HasOperatorKey(const json& object) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (IsOperatorKey(it.key())) return true;
  }
  return false;
}

void Normalize(json& filter, size_t depth) {
  if (!filter.is_object()) return;
  if (++depth > kMaxJsonDepth) TooDeep();
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    json& value = it.value();
    if (IsOperatorKey(it.key())) {
      // A field operator's operand is a value to compare with, not a filter.
      if (kFieldOperators.count(it.key()) != 0) continue;
      if (value.is_array()) {
        for (json& element : value) {
          if (element.is_object()) Normalize(element, depth + 1);
        }
      } else if (value.is_object()) {
        Normalize(value, depth);
      }
    } else if (value.is_object() && HasOperatorKey(value)) {
      Normalize(value, depth);
    } else {
      json wrapped = json::object();
      wrapped["$eq"] = std::move(value);
      value = std::move(wrapped);
    }
  }
}

void Collect(const json& filter, std::set<std::string>& paths, const std::string& prefix, bool top, size_t depth) {
  if (filter.is_object()) {
    if (++depth > kMaxJsonDepth) TooDeep();
    for (auto it = filter.begin(); it != filter.end(); ++it) {
      const std::string& key = it.key();
      if (key == "$and" || key == "$or") {
        for (const json& element : it.value()) Collect(element, paths, prefix, top, depth);
      } else if (!IsOperatorKey(key)) {
        // The top flag, not an empty prefix, marks the top level, so that the empty key's
        // children get ".child" like the evaluator's path splitting expects.
        std::string path = top ? key : prefix + "." + key;
        paths.insert(path);
        Collect(it.value(), paths, path, false, depth);
      }
    }
  } else if (filter.is_array()) {
    if (++depth > kMaxJsonDepth) TooDeep();
    for (const json& element : filter) Collect(element, paths, prefix, top, depth);
  }
}

}  // namespace

const std::set<std::string> kFieldOperators = {"$eq",     "$ne",    "$gt", "$gte", "$lt",  "$lte",
                                               "$exists", "$regex", "$in", "$nin", "$type"};

const std::set<std::string>& LogicalOperators() {
  static const std::set<std::string> kLogicalOperators = {"$and", "$or", "$nor", "$not"};
  return kLogicalOperators;
}

json ParseFilters(const std::string& text) {
  if (text.empty()) return json::object();
  if (ExceedsJsonDepth(text)) {
    throw std::invalid_argument("Invalid JSON format for filters: nesting deeper than " +
                                std::to_string(kMaxJsonDepth) + " levels");
  }
  json filter;
  try {
    filter = json::parse(text);
  } catch (const json::exception& e) {
    // Parse errors and number overflow alike are a bad filter text.
    throw std::invalid_argument(std::string("Invalid JSON format for filters: ") + e.what());
  }
  if (IsNoFilter(filter)) return filter;
  NormalizeFilter(filter);
  ValidateFilters(filter);
  return filter;
}

void NormalizeFilter(json& filter) { Normalize(filter, 0); }

void ValidateFilters(const json& filter) {
  if (!filter.is_object()) ValidationError("The filters argument must be a JSON object.");
  if (filter.size() != 1) ValidationError("The filters argument must contain exactly one top-level filter.");
  const auto member = filter.begin();
  const std::string& key = member.key();
  if (IsOperatorKey(key)) {
    if (LogicalOperators().count(key) != 0) return;
    ValidationError("The top-level filter must be one of: $and, $or, $nor, $not.");
  }
  const json& condition = member.value();
  if (!condition.is_object()) ValidationError("The field condition must be a JSON object.");
  if (condition.empty()) ValidationError("The field condition must name an operator for field: " + key);
  if (condition.size() > 1) {
    ValidationError("A single field can only have one condition. Found multiple conditions for field: " + key);
  }
  const auto op = condition.begin();
  if (kFieldOperators.count(op.key()) == 0) {
    ValidationError("Unsupported operator: " + op.key() + " for field: " + key);
  }
  const json& operand = op.value();
  if (operand.is_null() || (operand.is_object() && operand.empty())) {
    ValidationError("Invalid query: Operator `" + op.key() + "` cannot have an empty object or null as a value.");
  }
}

void CollectFilterFields(const json& filter, std::set<std::string>& paths, const std::string& prefix) {
  Collect(filter, paths, prefix, prefix.empty(), 0);
}

}  // namespace ostrik_encrypted_index::internal::filters
