#include "python/config_texts.h"

#include <stdexcept>

#include "core/config.h"

namespace dodezero_vizu {

std::string MetricText(int32_t metric) {
  switch (metric) {
    case ostrik::Cosine:
      return "cosine";
    case ostrik::Euclidean:
      return "euclidean";
    case ostrik::SquaredEuclidean:
      return "squared_euclidean";
    default:
      throw std::invalid_argument("Invalid distance metric");
  }
}

std::string IndexTypeText(int32_t index_type) { return index_type == ostrik::IVFFLAT ? "ivfflat" : "unknown"; }

}  // namespace dodezero_vizu
