// The upsert road: checks, the choice of list for every item (0 before training, the nearest
// centroid after it, with the metadata summaries updated first) and the engine's AddItems.
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "core/thread_scope.h"
#include "filters/update_metadata.h"
#include "index/encrypted_index.h"
#include "index/item_checks.h"
#include "kernels/encoding.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

namespace filters = ostrik_encrypted_index::internal::filters;
namespace kernels = ostrik_encrypted_index::internal::kernels;
using ostrik_encrypted_index::internal::token_store::PayloadRows;
using ostrik_encrypted_index::internal::token_store::TokenItemBatch;

}  // namespace

void EncryptedIndex::Upsert(const FloatMatrix& vectors, const std::vector<std::string>& ids,
                            const std::vector<Bytes>& contents, const std::vector<std::string>& metadata) {
  std::lock_guard<std::mutex> lock(mutex_);
  UpsertLocked(vectors, ids, contents, metadata);
}

void EncryptedIndex::UpsertLocked(const FloatMatrix& vectors, const std::vector<std::string>& ids,
                                  const std::vector<Bytes>& contents, const std::vector<std::string>& metadata) {
  const uint64_t n = ids.size();
  log().info("Upserting " + std::to_string(n) + " items.");
  if (!token_index_) FailNotConnected(true);
  ThreadCountScope threads(token_index_->cpu_threads_);

  // First occurrences are kept: repeated ids are found by inserting the ids in input order.
  std::vector<bool> repeated;
  {
    std::unordered_set<std::string_view> seen;
    seen.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
      if (!seen.insert(ids[i]).second) {
        if (repeated.empty()) repeated.assign(n, false);
        repeated[i] = true;
      }
    }
  }
  if (!repeated.empty()) {
    const char* warning = "Warning: Duplicate IDs detected. Skipping duplicate IDs.";
    log().warning(warning);
    std::cerr << warning << std::endl;
  }

  auto refuse = [this](const std::string& message) {
    log().error(message);
    throw std::invalid_argument(message);
  };
  if (n != vectors.rows) refuse("Mismatch between the number of vectors and IDs.");
  if (n == 0) refuse("Vectors and IDs cannot be empty.");
  const uint64_t dimension = index_config_->dimension();
  if (vectors.cols != dimension) {
    refuse("The dimension of the vectors provided (" + std::to_string(vectors.cols) +
           ") doesn't match the index configuration (" + std::to_string(dimension) + ").");
  }
  if (!contents.empty() && contents.size() != vectors.rows) refuse("Mismatch between the number of vectors and items.");
  // Everything the stores would choke on later is refused here, before anything is written.
  if (!metadata.empty() && metadata.size() != n) refuse("Mismatch between the number of vectors and metadata.");
  if (vectors.data.size() != n * dimension) refuse("Vector data does not hold rows x dimension values.");
  for (uint64_t i = 0; i < n; ++i) {
    if (ids[i].empty()) refuse("Item IDs cannot be empty.");
  }
  if (const uint64_t bad = FirstNonFiniteRow(vectors); bad != n) {
    refuse("The vector of item '" + ids[bad] + "' holds NaN or infinity.");
  }
  if (const std::string problem = CheckMetadataObjects(metadata, ids); !problem.empty()) refuse(problem);

  // The ingestion sees each id once.
  FloatMatrix kept_vectors;
  std::vector<std::string> kept_ids;
  std::vector<Bytes> kept_contents;
  std::vector<std::string> kept_metadata;
  if (!repeated.empty()) {
    kept_vectors.cols = vectors.cols;
    for (uint64_t i = 0; i < n; ++i) {
      if (repeated[i]) continue;
      kept_vectors.data.insert(kept_vectors.data.end(), vectors.row(i), vectors.row(i) + vectors.cols);
      kept_ids.push_back(ids[i]);
      if (!contents.empty()) kept_contents.push_back(contents[i]);
      if (!metadata.empty()) kept_metadata.push_back(metadata[i]);
    }
    kept_vectors.rows = kept_ids.size();
  }
  const bool dedup = !repeated.empty();
  const FloatMatrix& v = dedup ? kept_vectors : vectors;
  const std::vector<std::string>& i = dedup ? kept_ids : ids;
  const std::vector<Bytes>& c = dedup ? kept_contents : contents;
  const std::vector<std::string>& m = dedup ? kept_metadata : metadata;

  // Under the writer lock: what another process did meanwhile (a training, too) is followed first.
  Writing writing(*this);
  try {
    if (!is_trained_) {
      log().info("IngestUntrained ");
      AddToLists(v, i, c, m, std::vector<uint32_t>(v.rows, 0));
    } else {
      log().info("IngestTrained ");
      AddTrained(v, i, c, m, EncodeLists(v, quantizers_->coarse));
    }
  } catch (const std::exception& e) {
    const std::string text = std::string("Error ingesting: ") + e.what();
    log().critical(text);
    throw std::runtime_error(text);
  }
  writing.Commit();
}

std::vector<uint32_t> EncryptedIndex::EncodeLists(const FloatMatrix& vectors,
                                                  const std::vector<QuantizerMatrix>& coarse) const {
  if (index_config_->index_type != IVFFLAT) {
    log().error("Unsupported index type for quantization.");
    throw std::invalid_argument("Unsupported index type for quantization.");
  }
  const auto metric = static_cast<DistanceMetric>(index_config_->metric);
  CodeMatrix codes = gpu_accelerate_ ? kernels::EncodeVectorsGpu(vectors, coarse, metric)
                                     : kernels::EncodeVectors(vectors, coarse, metric);
  if (codes.rows * codes.cols != vectors.rows) {
    log().error("Mismatch between the number of quantized embeddings and IDs.");
    throw std::invalid_argument("Mismatch between the number of quantized embeddings and IDs.");
  }
  return std::move(codes.codes);
}

void EncryptedIndex::AddTrained(const FloatMatrix& vectors, const std::vector<std::string>& ids,
                                const std::vector<Bytes>& contents, const std::vector<std::string>& metadata,
                                std::vector<uint32_t> lists) {
  bool any_metadata = false;
  for (const std::string& text : metadata) any_metadata |= !text.empty();
  if (any_metadata) {
    try {
      filters::UpdateMetadata(*token_index_, metadata, lists, log());
    } catch (const std::exception& e) {
      const std::string text = std::string("Error updating metadata: ") + e.what();
      log().critical(text);
      throw std::runtime_error(text);
    }
  }
  try {
    AddToLists(vectors, ids, contents, metadata, std::move(lists));
  } catch (const std::exception& e) {
    const std::string text = std::string("Error ingesting: ") + e.what();
    log().critical(text);
    throw std::runtime_error(text);
  }
}

void EncryptedIndex::AddToLists(const FloatMatrix& vectors, const std::vector<std::string>& ids,
                                const std::vector<Bytes>& contents, const std::vector<std::string>& metadata,
                                std::vector<uint32_t> lists) {
  TokenItemBatch batch;
  batch.input_tokens = std::move(lists);
  batch.item_ids = ids;
  // The vectors' own bytes are the payloads (little-endian float32, dimension x 4 per row), seen in
  // place: a copy of a large batch would cost its pages once more.
  batch.payloads = PayloadRows::View(reinterpret_cast<const uint8_t*>(vectors.data.data()), vectors.rows,
                                     vectors.cols * sizeof(float));
  batch.contents = contents;
  batch.metadata = metadata;
  token_index_->AddItems(batch);
}

}  // namespace ostrik
