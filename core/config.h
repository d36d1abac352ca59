// Configuration records: DBConfig (one backing-store location) and IndexConfig/IndexIVFFlat (the
// shape and distance of an index), with their integer codes.
//
// Plain values after construction. Constructors throw std::invalid_argument on an unknown location
// or metric text. Safe to share read-only between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ostrik {

enum Location : int32_t { REDIS = 0, MEMORY = 1, POSTGRES = 2, NONE = 4 };
enum DistanceMetric : int32_t { Cosine = 0, Euclidean = 1, SquaredEuclidean = 2 };
enum IndexType : int32_t { IVFFLAT = 0 };

struct DBConfig {
  int32_t location = NONE;
  std::optional<std::string> table_name;
  std::optional<std::string> connection_string;

  DBConfig() = default;
  // location: "redis", "memory" or "postgres" (exact, case-sensitive).
  explicit DBConfig(const std::string& location, std::optional<std::string> table_name = std::nullopt,
                    std::optional<std::string> connection_string = std::nullopt);
};

class IndexConfig {
 public:
  virtual ~IndexConfig() = default;
  virtual uint64_t n_lists() const = 0;
  virtual uint64_t pq_dim() const { return 0; }
  virtual uint64_t pq_bits() const { return 0; }
  virtual std::unique_ptr<IndexConfig> clone() const = 0;

  uint64_t dimension() const { return dimension_; }

  uint64_t dimension_ = 0;
  int32_t metric = Euclidean;
  int32_t index_type = IVFFLAT;
  std::optional<std::string> embedding_model;

 protected:
  IndexConfig() = default;
  IndexConfig(const IndexConfig&) = default;
};

class IndexIVFFlat : public IndexConfig {
 public:
  // metric: "cosine", "euclidean" or "squared_euclidean" (exact, case-sensitive).
  IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric = "euclidean");

  uint64_t n_lists() const override { return n_lists_; }
  std::unique_ptr<IndexConfig> clone() const override;

  uint64_t n_lists_ = 0;
};

// Maps a metric text to its code; throws std::invalid_argument "Invalid distance metric: " + text.
int32_t ParseDistanceMetric(const std::string& metric);

}  // namespace ostrik
