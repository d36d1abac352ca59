// FilterState: the working record of pre-filtering: the decoded summary of every fetched field
// path and the list ids under test. It lives for one call. (Post-filtering parses and evaluates
// each candidate in one pass and keeps no parsed metadata.)
//
// Plain data; nothing here throws. Not synchronised (read-only while a stage evaluates).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "filters/centroid_summary.h"

namespace ostrik_encrypted_index::internal::filters {

struct FilterState {
  // Decoded summary per fetched path. An empty map means that no item carries the path; a path
  // absent from the map (not fetched, or its summary has no entry list) is not judged.
  std::map<std::string, CentroidMap> centroid_maps;
  std::vector<uint32_t> selected;  // list ids tested, ascending
};

}  // namespace ostrik_encrypted_index::internal::filters
