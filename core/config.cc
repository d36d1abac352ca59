#include "core/config.h"

#include <stdexcept>

namespace ostrik {

DBConfig::DBConfig(const std::string& location, std::optional<std::string> table_name_in,
                   std::optional<std::string> connection_string_in)
    : table_name(std::move(table_name_in)), connection_string(std::move(connection_string_in)) {
  if (location == "redis") {
    this->location = REDIS;
  } else if (location == "memory") {
    this->location = MEMORY;
  } else if (location == "postgres") {
    this->location = POSTGRES;
  } else {
    throw std::invalid_argument("Unknown DB location: " + location);
  }
}

int32_t ParseDistanceMetric(const std::string& metric) {
  if (metric == "cosine") return Cosine;
  if (metric == "euclidean") return Euclidean;
  if (metric == "squared_euclidean") return SquaredEuclidean;
  throw std::invalid_argument("Invalid distance metric: " + metric);
}

IndexIVFFlat::IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric_text) : n_lists_(n_lists) {
  dimension_ = dimension;
  metric = ParseDistanceMetric(metric_text);
  index_type = IVFFLAT;
  embedding_model = std::string();
}

std::unique_ptr<IndexConfig> IndexIVFFlat::clone() const { return std::make_unique<IndexIVFFlat>(*this); }

}  // namespace ostrik
