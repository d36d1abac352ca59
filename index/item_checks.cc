#include "index/item_checks.h"

#include <cstdint>
#include <cstring>

#include "core/team_size.h"
#include "filters/json_limits.h"
#include "filters/metadata_parse.h"

namespace ostrik {
namespace {

namespace filters = ostrik_encrypted_index::internal::filters;

constexpr uint32_t kExponentBits = 0x7f800000u;

// Parsed values are held for one chunk at a time.
constexpr size_t kMetadataCheckChunk = 8192;

}  // namespace

uint64_t FirstNonFiniteRow(const FloatMatrix& m) {
  const int64_t rows = static_cast<int64_t>(m.rows);
  const uint64_t cols = m.cols;
  int64_t first = rows;
#pragma omp parallel for schedule(static) reduction(min : first) num_threads(ostrik::TeamIf(m.data.size() >= (1u << 16)))
  for (int64_t r = 0; r < rows; ++r) {
    const float* row = m.data.data() + static_cast<uint64_t>(r) * cols;
    // Infinity and NaN are the values whose exponent bits are all set; tested on the bits, the
    // loop runs in vector lanes (std::isfinite's comparisons keep it scalar).
    uint32_t non_finite = 0;
    for (uint64_t c = 0; c < cols; ++c) {
      uint32_t bits;
      std::memcpy(&bits, row + c, sizeof bits);
      non_finite |= static_cast<uint32_t>((bits & kExponentBits) == kExponentBits);
    }
    if (non_finite != 0 && r < first) first = r;
  }
  return static_cast<uint64_t>(first);
}

std::string CheckMetadataObjects(const std::vector<std::string>& metadata, const std::vector<std::string>& ids) {
  std::vector<nlohmann::json> parsed;
  for (size_t begin = 0; begin < metadata.size(); begin += kMetadataCheckChunk) {
    const size_t end = std::min(metadata.size(), begin + kMetadataCheckChunk);
    const size_t bad = filters::ParseMetadataTexts(metadata, begin, end, parsed);
    if (bad != filters::kNoBadText) {
      if (filters::ExceedsJsonDepth(metadata[bad])) {
        return "Metadata of item '" + ids[bad] + "' is nested deeper than " +
               std::to_string(filters::kMaxJsonDepth) + " levels.";
      }
      return "Metadata of item '" + ids[bad] + "' is not valid JSON.";
    }
    for (size_t i = begin; i < end; ++i) {
      if (!parsed[i - begin].is_object()) return "Metadata of item '" + ids[i] + "' is not a JSON object.";
    }
  }
  return "";
}

}  // namespace ostrik
