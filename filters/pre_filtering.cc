#include "filters/pre_filtering.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <stdexcept>

#include "filters/centroid_summary.h"
#include "filters/filter_language.h"
#include "filters/filter_match.h"
#include "filters/json_limits.h"
#include "schemas/centroid_map_generated.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;

// An invalid filter met while evaluating, told apart from operational failures by the guard.
struct InvalidFilter : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

bool HasHash(const CentroidMetaEntry& bucket, uint32_t hash) {
  return std::binary_search(bucket.hashes.begin(), bucket.hashes.end(), hash);
}

uint32_t ScalarHash(const json& operand) {
  if (operand.is_boolean()) return StringCrc32(operand.get<bool>() ? "true" : "false");
  return StringCrc32(operand.get_ref<const std::string&>());
}

bool ContainsNumber(const json& value) {
  if (value.is_number()) return true;
  if (value.is_structured()) {
    for (const json& member : value) {
      if (ContainsNumber(member)) return true;
    }
  }
  return false;
}

// May some item of the bucket hold a field value V with V == operand or an element of V equal to
// it? The summary keeps numbers as ranges and strings, booleans and array texts as hashes.
bool MayEqual(const CentroidMetaEntry& bucket, const json& operand) {
  if (operand.is_number()) {
    if (IsNoNumberPair(bucket.min, bucket.max)) return false;
    const double v = operand.get<double>();
    return bucket.min <= v && v <= bucket.max;
  }
  if (operand.is_string() || operand.is_boolean()) return HasHash(bucket, ScalarHash(operand));
  if (operand.is_array()) {
    // Numbers equal by value can differ in text (1 and 1.0), so only number-free texts are exact.
    if (ContainsNumber(operand)) return true;
    return HasHash(bucket, StringCrc32(operand.dump()));
  }
  return true;  // null and objects are not summarised
}

bool InMayHold(const CentroidMetaEntry& bucket, const json& operand) {
  for (const json& member : operand) {
    if (member.is_number()) {
      const double v = member.get<double>();
      if (bucket.min <= v && v <= bucket.max) return true;
    } else if (member.is_string() || member.is_boolean()) {
      if (HasHash(bucket, ScalarHash(member))) return true;
    } else {
      return true;  // null, object and array members are not judged
    }
  }
  return false;
}

bool OperatorMayHold(const CentroidMetaEntry& bucket, const std::string& op, const json& operand) {
  if (op == "$eq") return MayEqual(bucket, operand);
  if (op == "$in") return InMayHold(bucket, operand);
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (!operand.is_number()) return true;
    if (IsNoNumberPair(bucket.min, bucket.max)) return false;
    const double v = operand.get<double>();
    if (op == "$gt") return bucket.max > v;
    if (op == "$gte") return bucket.max >= v;
    if (op == "$lt") return bucket.min < v;
    return bucket.min <= v;
  }
  // $ne and $nin are negations and $exists, $regex and $type are not summarised; an unknown
  // operator is left to the exact stage, which reports it.
  return true;
}

bool FieldMayMatch(const FilterState& state, const std::string& path, const json& condition, uint32_t id) {
  const auto summary = state.centroid_maps.find(path);
  if (summary == state.centroid_maps.end()) return true;  // not judged
  // Any list may hold items without the field.
  if (ConditionHoldsWhenMissing(condition)) return true;
  const auto bucket = summary->second.find(id);
  if (bucket == summary->second.end()) return false;  // no item of this list carries the field
  if (!condition.is_object()) return MayEqual(bucket->second, condition);
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    if (!OperatorMayHold(bucket->second, it.key(), it.value())) return false;
  }
  return true;
}

bool MayMatch(const FilterState& state, const json& filter, uint32_t id, size_t depth) {
  if (!filter.is_object()) {
    if (filter.is_null() || (filter.is_array() && filter.empty())) return true;
    try {
      (void)filter.begin().key();
    } catch (const json::exception& e) {
      throw InvalidFilter(e.what());
    }
    throw InvalidFilter("A filter must be a JSON object.");
  }
  if (++depth > kMaxJsonDepth) {
    throw InvalidFilter("Filter is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    const json& value = it.value();
    if (key == "$and") {
      for (const json& sub : value) {
        if (!MayMatch(state, sub, id, depth)) return false;
      }
    } else if (key == "$or") {
      bool any = false;
      for (const json& sub : value) {
        if (MayMatch(state, sub, id, depth)) {
          any = true;
          break;
        }
      }
      if (!any) return false;
    } else if (key == "$nor" || key == "$not") {
      // Negating an over-approximation proves nothing: keep the list.
    } else if (!FieldMayMatch(state, key, value, id)) {
      return false;
    }
  }
  return true;
}

uint32_t ListCount(const std::vector<ostrik::QuantizerMatrix>& coarse) {
  if (coarse.empty() || coarse[0].count <= 0) return 0;
  return static_cast<uint32_t>(coarse[0].count);
}

PreFilterResult Identity(const std::vector<ostrik::QuantizerMatrix>& coarse,
                         const std::vector<ostrik::QuantizerMatrix>& secondary) {
  PreFilterResult result;
  const uint32_t n = ListCount(coarse);
  result.centroid_ids.resize(n);
  for (uint32_t i = 0; i < n; ++i) result.centroid_ids[i] = i;
  result.coarse = coarse;
  result.secondary = secondary;
  return result;
}

// Fills state.centroid_maps from the fetched buffers.
void ReadSummaries(FilterState& state, const std::vector<std::string>& paths, const std::vector<ostrik::Bytes>& buffers) {
  for (size_t k = 0; k < paths.size(); ++k) {
    const std::string& path = paths[k];
    try {
      const ostrik::Bytes& buffer = buffers[k];
      if (buffer.empty()) {
        // No trained item ever carried the path: every list lacks it on every item.
        const std::string message = "Warning: Empty metadata buffer for field '" + path + "'.";
        ostrik::CurrentLogger().warning(message);
        std::cerr << message << std::endl;
        state.centroid_maps[path];
        continue;
      }
      switch (InspectCentroidMapBuffer(buffer.data(), buffer.size())) {
        case SummaryBuffer::kCorrupt:
          throw std::runtime_error("Metadata summary buffer is corrupt (" + std::to_string(buffer.size()) + " bytes)");
        case SummaryBuffer::kNoEntries: {
          const std::string message = "Error: Null centroid list for field '" + path + "'.";
          ostrik::CurrentLogger().critical(message);
          std::cerr << message << std::endl;
          break;  // unknown content: the path is not judged
        }
        case SummaryBuffer::kValid: {
          CentroidMap summary = DecodeCentroidMap(ostrik::schema::GetCentroidMapTable(buffer.data()));
          for (auto& [id, bucket] : summary) {
            if (!std::is_sorted(bucket.hashes.begin(), bucket.hashes.end())) {
              std::sort(bucket.hashes.begin(), bucket.hashes.end());
            }
          }
          state.centroid_maps[path] = std::move(summary);
          break;
        }
      }
    } catch (const std::exception& e) {
      const std::string message = std::string("Error while converting buffer to map of centroid map: ") + e.what();
      ostrik::CurrentLogger().critical(message);
      throw std::runtime_error(message);
    }
  }
}

ostrik::QuantizerMatrix Reduce(const ostrik::QuantizerMatrix& matrix, const std::vector<uint32_t>& ids) {
  if (matrix.cols == 0) throw std::invalid_argument("Data size must be a multiple of the number of columns");
  std::vector<float> data;
  data.reserve(ids.size() * matrix.cols);
  for (const uint32_t id : ids) {
    // Rows the matrix does not hold are skipped, so that count always equals rows.
    if (static_cast<int64_t>(id) >= matrix.count || (static_cast<uint64_t>(id) + 1) * matrix.cols > matrix.data.size()) continue;
    const float* row = matrix.data.data() + id * matrix.cols;
    data.insert(data.end(), row, row + matrix.cols);
  }
  ostrik::QuantizerMatrix reduced;
  reduced.cols = matrix.cols;
  reduced.rows = data.size() / matrix.cols;
  reduced.count = static_cast<int32_t>(reduced.rows);
  reduced.data = std::move(data);
  return reduced;
}

}  // namespace

bool CentroidMayMatch(const FilterState& state, const json& filter, uint32_t centroid_id) {
  return MayMatch(state, filter, centroid_id, 0);
}

PreFilterResult PreFiltering(token_store::TokenIndex& engine, const std::vector<ostrik::QuantizerMatrix>& coarse,
                             const std::vector<ostrik::QuantizerMatrix>& secondary, const std::string& filters,
                             ostrik::Logger& logger) {
  logger.info("PreFiltering");
  const json filter = ParseFilters(filters);
  if (IsNoFilter(filter)) return Identity(coarse, secondary);
  try {
    std::set<std::string> collected;
    CollectFilterFields(filter, collected, "");
    ValidateFilters(filter);
    if (collected.empty()) return Identity(coarse, secondary);
    const std::vector<std::string> paths(collected.begin(), collected.end());
    const std::vector<ostrik::Bytes> buffers = engine.GetCentroidMetadata(paths);
    if (buffers.size() != paths.size()) {
      throw std::runtime_error("Metadata summary fetch returned " + std::to_string(buffers.size()) +
                               " buffers for " + std::to_string(paths.size()) + " fields");
    }

    FilterState state;
    ReadSummaries(state, paths, buffers);
    // Every list is a candidate: one that no summary names can still match ($exists: false).
    const uint32_t n = ListCount(coarse);
    state.selected.resize(n);
    for (uint32_t i = 0; i < n; ++i) state.selected[i] = i;

    PreFilterResult result;
    for (const uint32_t id : state.selected) {
      try {
        if (CentroidMayMatch(state, filter, id)) result.centroid_ids.push_back(id);
      } catch (const InvalidFilter&) {
        throw;
      } catch (const std::invalid_argument& e) {
        throw InvalidFilter(e.what());
      }
    }
    result.coarse.reserve(coarse.size());
    for (const auto& matrix : coarse) result.coarse.push_back(Reduce(matrix, result.centroid_ids));
    result.secondary = secondary;
    return result;
  } catch (const InvalidFilter& e) {
    const std::string message = std::string("Error while pre-filtering: ") + e.what();
    logger.critical(message);
    throw std::invalid_argument(message);
  } catch (const std::exception& e) {
    const std::string message = std::string("Error while pre-filtering: ") + e.what();
    logger.critical(message);
    throw std::runtime_error(message);
  }
}

}  // namespace ostrik_encrypted_index::internal::filters
