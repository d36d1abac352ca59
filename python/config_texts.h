// The texts Python reads for the codes of an index configuration: distance metrics ("cosine",
// "euclidean", "squared_euclidean") and index types ("ivfflat", any other code "unknown").
//
// MetricText throws std::invalid_argument "Invalid distance metric" for a code outside 0 to 2;
// IndexTypeText never throws. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace dodezero_vizu {

std::string MetricText(int32_t metric);
std::string IndexTypeText(int32_t index_type);

}  // namespace dodezero_vizu
