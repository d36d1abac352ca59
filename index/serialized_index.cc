#include "index/serialized_index.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "schemas/serialized_index_generated.h"

namespace ostrik {
namespace {

constexpr const char* kBufferEmpty = "Could not deserialize index config: buffer is empty";
constexpr const char* kBufferInvalid = "Could not deserialize index config: buffer is invalid";

// The format keeps these in 32 bits; a wider value would come back as another number.
uint32_t Narrow(uint64_t value, const char* what) {
  if (value > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(value) +
                                " does not fit the serialized index (at most 4294967295)");
  }
  return static_cast<uint32_t>(value);
}

const char* MetricText(int32_t metric) {
  switch (metric) {
    case Cosine: return "Cosine";
    case Euclidean: return "Euclidean";
    case SquaredEuclidean: return "SquaredEuclidean";
  }
  throw std::invalid_argument("Unknown distance metric");
}

std::vector<flatbuffers::Offset<schema::MatrixTable>> SerializeMatrices(flatbuffers::FlatBufferBuilder& builder,
                                                                        const std::vector<QuantizerMatrix>& list) {
  std::vector<flatbuffers::Offset<schema::MatrixTable>> offsets;
  offsets.reserve(list.size());
  for (const QuantizerMatrix& m : list) {
    const auto data = builder.CreateVector<float>(m.data);
    offsets.push_back(schema::CreateMatrixTable(builder, m.count, Narrow(m.cols, "Centroid width"), data));
  }
  return offsets;
}

}  // namespace

Bytes SerializeIndexTable(const std::string& index_name, const IndexConfig& config, const Quantizers& quantizers,
                          bool is_trained) {
  if (config.index_type != IVFFLAT) throw std::invalid_argument("Unknown index type");
  const char* metric = MetricText(config.metric);
  // Range checks before the first write: a refusal must leave no half-built buffer behind.
  const uint32_t dimension = Narrow(config.dimension(), "Vector dimension");
  const uint32_t n_lists = Narrow(config.n_lists(), "n_lists");
  const uint32_t pq_dim = Narrow(config.pq_dim(), "pq_dim");
  const uint32_t pq_bits = Narrow(config.pq_bits(), "pq_bits");

  flatbuffers::FlatBufferBuilder builder(1024);
  const auto type_text = builder.CreateString("IVFFLAT");
  const auto metric_text = builder.CreateString(metric);
  flatbuffers::Offset<flatbuffers::String> model;
  if (config.embedding_model) model = builder.CreateString(*config.embedding_model);
  const auto config_table = schema::CreateIndexConfigTable(builder, type_text, dimension, metric_text, n_lists, pq_dim,
                                                           pq_bits, model);
  const auto coarse = SerializeMatrices(builder, quantizers.coarse);
  const auto secondary = SerializeMatrices(builder, quantizers.secondary);
  const auto coarse_vector = builder.CreateVector(coarse);
  const auto secondary_vector = builder.CreateVector(secondary);
  const auto quantizers_table = schema::CreateQuantizersTable(builder, coarse_vector, secondary_vector);
  const auto name = builder.CreateString(index_name);
  const auto root = schema::CreateIndexTable(builder, name, config_table, quantizers_table, is_trained);
  builder.Finish(root);
  return Bytes(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

const schema::IndexTable* VerifySerializedIndex(const Bytes& bytes) {
  if (bytes.empty()) throw std::invalid_argument(kBufferEmpty);
  // The verifier asserts on sizes it cannot address instead of refusing them.
  if (bytes.size() < 12 || bytes.size() >= FLATBUFFERS_MAX_BUFFER_SIZE) throw std::invalid_argument(kBufferInvalid);
  flatbuffers::Verifier::Options options;
  options.max_depth = 64;
  options.max_tables = 1000000;
  options.check_alignment = true;
  flatbuffers::Verifier verifier(bytes.data(), bytes.size(), options);
  if (!schema::VerifyIndexTableBuffer(verifier)) throw std::invalid_argument(kBufferInvalid);
  return schema::GetIndexTable(bytes.data());
}

std::unique_ptr<IndexConfig> DeserializeIndexConfig(const schema::IndexConfigTable* table) {
  const flatbuffers::String* type = table ? table->index_type() : nullptr;
  if (type == nullptr || type->string_view() != "IVFFLAT") throw std::invalid_argument("Unknown index type");
  const uint32_t dimension = table->dimension();
  const flatbuffers::String* metric_text = table->metric();
  int32_t metric = -1;
  if (metric_text != nullptr) {
    const auto m = metric_text->string_view();
    if (m == "Cosine") {
      metric = Cosine;
    } else if (m == "Euclidean") {
      metric = Euclidean;
    } else if (m == "SquaredEuclidean") {
      metric = SquaredEuclidean;
    }
  }
  if (metric < 0) throw std::invalid_argument("Unknown distance metric");
  auto config = std::make_unique<IndexIVFFlat>(dimension, table->n_lists());
  config->metric = metric;
  config->index_type = IVFFLAT;
  if (table->embedding_model() != nullptr) {
    config->embedding_model = table->embedding_model()->str();
  } else {
    config->embedding_model.reset();
  }
  return config;
}

QuantizerMatrix DeserializeMatrix(const schema::MatrixTable* table) {
  const int32_t count = table->count();
  const uint64_t cols = table->cols();
  const flatbuffers::Vector<float>* data = table->data();
  const uint64_t n = data ? data->size() : 0;
  if (cols == 0 || n % cols != 0) throw std::invalid_argument("Data size must be a multiple of the number of columns");
  QuantizerMatrix m;
  m.count = count;
  m.cols = cols;
  m.rows = n / cols;
  if (n != 0) m.data.assign(data->begin(), data->end());
  return m;
}

Quantizers DeserializeQuantizers(const schema::QuantizersTable* table) {
  Quantizers q;
  if (table == nullptr) return q;
  if (const auto* coarse = table->coarse()) {
    for (const schema::MatrixTable* m : *coarse) q.coarse.push_back(DeserializeMatrix(m));
  }
  if (const auto* secondary = table->secondary()) {
    for (const schema::MatrixTable* m : *secondary) q.secondary.push_back(DeserializeMatrix(m));
  }
  return q;
}

SerializedIndex ReadSerializedIndex(const Bytes& bytes) {
  const schema::IndexTable* root = VerifySerializedIndex(bytes);
  SerializedIndex out;
  if (root->index_name() != nullptr) out.index_name = root->index_name()->str();
  out.config = DeserializeIndexConfig(root->config());
  out.quantizers = DeserializeQuantizers(root->quantizers());
  out.is_trained = root->is_trained();
  return out;
}

std::string CheckIndexShape(const IndexConfig& config, const Quantizers& quantizers, bool is_trained) {
  const uint64_t dimension = config.dimension();
  const uint64_t n_lists = config.n_lists();
  if (dimension == 0) return "Vector dimension cannot be 0.";
  if (n_lists == 0) return "n_lists cannot be 0.";
  if (n_lists > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return "n_lists " + std::to_string(n_lists) + " exceeds the largest list count (2147483647).";
  }
  if (dimension > std::numeric_limits<uint32_t>::max()) {
    return "Vector dimension " + std::to_string(dimension) + " exceeds the largest dimension (4294967295).";
  }
  if (!is_trained) return "";
  if (quantizers.coarse.size() != 1) {
    return "A trained index must have exactly one coarse centroid matrix, found " +
           std::to_string(quantizers.coarse.size()) + ".";
  }
  const QuantizerMatrix& m = quantizers.coarse.front();
  if (m.rows != n_lists || m.cols != dimension || m.count < 0 || static_cast<uint64_t>(m.count) != m.rows ||
      m.data.size() != m.rows * m.cols) {
    return "The coarse centroid matrix (" + std::to_string(m.count) + " centroids, " + std::to_string(m.rows) +
           " x " + std::to_string(m.cols) + ") does not match the index configuration (" + std::to_string(n_lists) +
           " lists of dimension " + std::to_string(dimension) + ").";
  }
  return "";
}

}  // namespace ostrik
