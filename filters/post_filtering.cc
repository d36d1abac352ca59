#include "filters/post_filtering.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>

#include "core/team_size.h"
#include "filters/filter_language.h"
#include "filters/filter_match.h"
#include "filters/json_limits.h"

namespace ostrik_encrypted_index::internal::filters {
namespace {

using nlohmann::json;
constexpr size_t kNone = std::numeric_limits<size_t>::max();
// Below this many candidates a parallel region costs more than it saves.
constexpr int64_t kParallelThreshold = 256;

[[noreturn]] void MetadataError(const std::string& reason) {
  const std::string message = "Invalid JSON string provided: " + reason;
  ostrik::CurrentLogger().critical(message);
  throw std::invalid_argument(message);
}

// Re-reads the text that failed in the region, this time for its message.
[[noreturn]] void ReportMetadataError(const std::string& text) {
  if (ExceedsJsonDepth(text)) MetadataError("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  try {
    const json ignored = json::parse(text);
    (void)ignored;
  } catch (const json::exception& e) {
    MetadataError(e.what());
  }
  MetadataError("unreadable metadata");
}

// Parses and evaluates every candidate in one pass, each thread reusing one parsed value, so that
// the parsed metadata of the whole set is never held at once. The outcome is that of parsing all
// metadata first and then evaluating in candidate order: a malformed text anywhere wins over any
// evaluation error, and of several failures of one kind the first in candidate order is raised.
std::vector<uint32_t> ParseAndEvaluate(const json& filter, const std::vector<std::string>& texts) {
  const FilterMatcher matcher(filter);
  const int64_t n = static_cast<int64_t>(texts.size());
  std::vector<uint8_t> keep(texts.size(), 0);
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  std::vector<size_t> error_index(threads, kNone);
  std::vector<std::exception_ptr> errors(threads);
  std::atomic<size_t> first_bad_text{kNone};
  std::atomic<size_t> first_error{kNone};
  auto lower = [](std::atomic<size_t>& bound, size_t pos) {
    size_t seen = bound.load(std::memory_order_relaxed);
    while (pos < seen && !bound.compare_exchange_weak(seen, pos, std::memory_order_relaxed)) {
    }
  };
#pragma omp parallel num_threads(ostrik::TeamIf(n >= kParallelThreshold))
  {
    json value;
    const size_t t = static_cast<size_t>(omp_get_thread_num());
#pragma omp for schedule(dynamic, 64)
    for (int64_t i = 0; i < n; ++i) {
      const size_t pos = static_cast<size_t>(i);
      if (pos > first_bad_text.load(std::memory_order_relaxed)) continue;
      const std::string& text = texts[pos];
      bool parsed = true;
      if (text.empty()) {
        value = json::object();
      } else if (ExceedsJsonDepth(text)) {
        parsed = false;
      } else {
        try {
          value = json::parse(text, nullptr, /*allow_exceptions=*/false);
          parsed = !value.is_discarded();
        } catch (...) {
          parsed = false;
        }
      }
      if (!parsed) {
        lower(first_bad_text, pos);
        continue;
      }
      if (first_bad_text.load(std::memory_order_relaxed) != kNone) continue;
      if (pos > first_error.load(std::memory_order_relaxed)) continue;
      try {
        keep[pos] = matcher.Matches(value) ? 1 : 0;
      } catch (...) {
        if (pos < error_index[t]) {
          error_index[t] = pos;
          errors[t] = std::current_exception();
        }
        lower(first_error, pos);
      }
    }
  }
  const size_t bad = first_bad_text.load();
  if (bad != kNone) ReportMetadataError(texts[bad]);
  const auto failed = std::min_element(error_index.begin(), error_index.end());
  if (*failed != kNone) ReportEvaluationError(errors[static_cast<size_t>(failed - error_index.begin())]);

  std::vector<uint32_t> kept;
  for (size_t i = 0; i < keep.size(); ++i) {
    if (keep[i]) kept.push_back(static_cast<uint32_t>(i));
  }
  return kept;
}

[[noreturn]] void OutOfBounds(ostrik::Logger& logger, const std::string& message) {
  logger.critical(message);
  throw std::out_of_range(message);
}

}  // namespace

ostrik::ItemRecords PostFiltering(const ostrik::ItemRecords& candidates, const std::string& filters,
                                  ostrik::Logger& logger) {
  const json filter = ParseFilters(filters);
  if (IsNoFilter(filter)) return candidates;
  logger.info("PostFiltering");

  if (candidates.metadata.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("Too many candidates to filter in one query");
  }
  ValidateFilters(filter);
  if (candidates.metadata.empty()) return ostrik::ItemRecords{};
  const std::vector<uint32_t> kept = ParseAndEvaluate(filter, candidates.metadata);
  if (kept.empty()) return ostrik::ItemRecords{};

  ostrik::ItemRecords out;
  out.item_ids.reserve(kept.size());
  for (const uint32_t p : kept) {
    if (p >= candidates.item_ids.size()) OutOfBounds(logger, "Index out of bounds while filtering item_ids");
    out.item_ids.push_back(candidates.item_ids[p]);
  }
  out.metadata.reserve(kept.size());
  for (const uint32_t p : kept) {
    if (p >= candidates.metadata.size()) OutOfBounds(logger, "Index out of bounds while filtering metadata");
    out.metadata.push_back(candidates.metadata[p]);
  }
  const ostrik::ByteMatrix& payloads = candidates.payloads;
  ostrik::Bytes bytes;
  bytes.reserve(kept.size() * payloads.cols);
  for (const uint32_t p : kept) {
    if (p >= payloads.rows || (static_cast<uint64_t>(p) + 1) * payloads.cols > payloads.data.size()) {
      OutOfBounds(logger, "Index out of bounds while filtering payloads");
    }
    bytes.insert(bytes.end(), payloads.row(p), payloads.row(p) + payloads.cols);
  }
  out.payloads = ostrik::ByteMatrix(std::move(bytes), payloads.cols);

  const std::vector<uint64_t>& groups = candidates.token_indices;
  out.token_indices.resize(groups.size());
  if (!groups.empty()) {
    out.token_indices[0] = 0;
    for (size_t g = 0; g + 1 < groups.size(); ++g) {
      const auto from = std::lower_bound(kept.begin(), kept.end(), groups[g]);
      const auto to = std::lower_bound(kept.begin(), kept.end(), groups[g + 1]);
      const auto n = std::max<std::ptrdiff_t>(0, to - from);
      out.token_indices[g + 1] = out.token_indices[g] + static_cast<uint64_t>(n);
    }
  }
  return out;
}

}  // namespace ostrik_encrypted_index::internal::filters
