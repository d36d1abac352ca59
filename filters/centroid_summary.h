// Per-field, per-list metadata summaries: the records (CentroidMetaEntry, CentroidMap), the
// range sentinels, the flattening of one item's metadata into per-path entries, the CRC-32 of
// values, and the stored CentroidMapTable buffer (encode, verify, decode).
//
// Throws: FlattenMetadata wraps every failure as "Error while retrieving keys and metadata
// centroid map: " + cause (logged at CRITICAL through current_logger), std::invalid_argument when
// the cause was (a value nested deeper than kMaxJsonDepth), else std::runtime_error.
// DecodeCentroidMapBuffer throws std::runtime_error for a buffer that fails verification or has no
// entry list. The rest never throw except on allocation failure.
//
// Thread-safety: pure functions; any thread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/matrix.h"

namespace ostrik::schema {
struct CentroidMapTable;
}

namespace ostrik_encrypted_index::internal::filters {

// Reserved range sentinel S. Empty range (no number seen): min +S, max -S. No-number pair (the
// range of a string or boolean entry, and what a stored bucket without bounds decodes to): min -S,
// max +S. A range that holds numbers never has min -S or max +S (see WidenOffNoNumberPair), so
// that a real -S or +S cannot make a bucket read as holding no numbers.
inline constexpr double kMetaRangeSentinel = 9876543211.0;

struct CentroidMetaEntry {
  int32_t centroid_id = 0;
  double min = kMetaRangeSentinel;
  double max = -kMetaRangeSentinel;
  std::vector<uint32_t> hashes;  // ascending and unique in a summary; production order when flattened
};

inline bool IsEmptyRange(double min, double max) { return min == kMetaRangeSentinel && max == -kMetaRangeSentinel; }
inline bool IsNoNumberPair(double min, double max) { return min == -kMetaRangeSentinel && max == kMetaRangeSentinel; }

// Moves a min equal to -S and a max equal to +S one step outward. The range only widens, so a
// list keeps every number it held; the stored format is unchanged and old readers see a range.
inline void WidenOffNoNumberPair(double& min, double& max) {
  if (min == -kMetaRangeSentinel) min = std::nextafter(min, -std::numeric_limits<double>::infinity());
  if (max == kMetaRangeSentinel) max = std::nextafter(max, std::numeric_limits<double>::infinity());
}

// The summary of one field path: bucket per list id.
using CentroidMap = std::map<uint32_t, CentroidMetaEntry>;
using FlatEntries = std::map<std::string, std::vector<CentroidMetaEntry>>;

// CRC-32 (zlib) of the bytes.
uint32_t StringCrc32(const std::string& text);

// Adds every field path of `value` (object keys joined with ".", arrays passed through) to paths,
// and one entry per occurrence to entries. Callers pass an item's parsed metadata, its list id
// and an empty prefix. An entry that holds numbers is never the no-number pair.
void FlattenMetadata(const nlohmann::json& value, std::set<std::string>& paths, int32_t centroid_id,
                     FlatEntries& entries, const std::string& prefix);

// The CentroidMapTable buffer of a summary, buckets in ascending id.
ostrik::Bytes EncodeCentroidMap(const CentroidMap& summary);

// Reads a root table that has its entry list; a repeated id keeps the last entry.
CentroidMap DecodeCentroidMap(const ostrik::schema::CentroidMapTable* root);

enum class SummaryBuffer { kValid, kNoEntries, kCorrupt };
// Verifies the buffer before anything is read from it.
SummaryBuffer InspectCentroidMapBuffer(const uint8_t* data, size_t size);
// Verifies and decodes; std::runtime_error for a corrupt buffer or one without entries.
CentroidMap DecodeCentroidMapBuffer(const ostrik::Bytes& buffer);

}  // namespace ostrik_encrypted_index::internal::filters
