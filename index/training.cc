// Training: k-means over vectors into the list centroids; in place over the stored items (which
// are then re-added list by list), or over given vectors into a serialized, trained configuration.
#include <cstring>
#include <stdexcept>

#include "core/thread_scope.h"
#include "index/encrypted_index.h"
#include "index/item_checks.h"
#include "index/placeholders.h"
#include "index/serialized_index.h"
#include "kernels/kmeans_training.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

namespace kernels = ostrik_encrypted_index::internal::kernels;

constexpr const char* kTooFewVectors =
    "Number of embeddings is less than the number of clusters. Please ingest more data before training.";

}  // namespace

std::vector<QuantizerMatrix> EncryptedIndex::TrainQuantizers(const FloatMatrix& embeddings,
                                                             const TrainParams& params) const {
  log().info("TrainQuantizers");
  KMeansParams kmeans;
  kmeans.n_subvectors = 1;
  kmeans.n_clusters = index_config_->n_lists();
  kmeans.reserved = 0;
  kmeans.max_iters = params.max_iters;
  kmeans.batch_size = params.batch_size;
  kmeans.tolerance = params.tolerance;
  const auto metric = static_cast<DistanceMetric>(index_config_->metric);
  return gpu_accelerate_ ? kernels::TrainQuantizerGpu(embeddings, kmeans, metric)
                         : kernels::TrainQuantizer(embeddings, kmeans, metric);
}

void EncryptedIndex::TrainIndex(const TrainParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  log().info("TrainIndex");
  if (!token_index_) FailNotConnected(false);
  ThreadCountScope threads(token_index_->cpu_threads_);
  if (is_trained_) {
    log().error("Index has already been trained.");
    throw std::logic_error("Index has already been trained.");
  }

  // Every stored item, as one group; deleted positions are no training vectors.
  ItemRecords items = token_index_->GetTokenItems({0});
  DropPlaceholders(items);
  const uint64_t n = items.item_ids.size();
  FloatMatrix vectors;
  vectors.rows = n;
  vectors.cols = items.payloads.cols / sizeof(float);
  vectors.data.resize(n * vectors.cols);
  if (!vectors.data.empty()) {
    std::memcpy(vectors.data.data(), items.payloads.data.data(), vectors.data.size() * sizeof(float));
  }
  items.payloads = ByteMatrix();
  if (n < index_config_->n_lists()) {
    log().error(kTooFewVectors);
    throw std::invalid_argument(kTooFewVectors);
  }

  // Everything that can fail on the data itself fails here, while the stores are untouched.
  if (const std::string problem = CheckMetadataObjects(items.metadata, items.item_ids); !problem.empty()) {
    log().error(problem);
    throw std::runtime_error(problem);
  }
  Quantizers trained{TrainQuantizers(vectors, params), quantizers_->secondary};
  std::vector<uint32_t> lists = EncodeLists(vectors, trained.coarse);
  const Bytes trained_bytes = SerializeIndexTable(index_name_, *index_config_, trained, true);
  const Bytes untrained_bytes = SerializeIndexTable(index_name_, *index_config_, *quantizers_, false);

  try {
    token_index_->DeleteIndex(false);
    // The re-add is an upsert of every item on the trained path, and reports like one.
    log().info("Upserting " + std::to_string(n) + " items.");
    log().info("IngestTrained ");
    try {
      AddTrained(vectors, items.item_ids, {}, items.metadata, std::move(lists));
    } catch (const std::exception& e) {
      const std::string text = std::string("Error ingesting: ") + e.what();
      log().critical(text);
      throw std::runtime_error(text);
    }
    token_index_->StoreIndexConfig(trained_bytes);
  } catch (const std::exception& e) {
    // Put every item back on the untrained path: its record goes to list 0 again, and its
    // contents were never touched (no record existed when it was re-added). The stored
    // configuration is rewritten too, in case the trained one reached the store.
    try {
      token_index_->DeleteIndex(false);
      AddToLists(vectors, items.item_ids, {}, items.metadata, std::vector<uint32_t>(n, 0));
      token_index_->StoreIndexConfig(untrained_bytes);
    } catch (const std::exception& restore) {
      log().critical(std::string("Training failed and the untrained index could not be restored: ") + restore.what());
    }
    throw;
  }
  quantizers_->coarse = std::move(trained.coarse);
  is_trained_ = true;
}

Bytes EncryptedIndex::TrainAndSerialize(const FloatMatrix& vectors, const TrainParams& params, bool delete_index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!token_index_) FailNotConnected(false);
  ThreadCountScope threads(token_index_->cpu_threads_);
  auto refuse = [this](const std::string& message) {
    log().error(message);
    throw std::invalid_argument(message);
  };
  const uint64_t dimension = index_config_->dimension();
  if (vectors.cols != dimension) {
    refuse("The dimension of the vectors provided (" + std::to_string(vectors.cols) +
           ") doesn't match the index configuration (" + std::to_string(dimension) + ").");
  }
  if (vectors.data.size() != vectors.rows * vectors.cols) refuse("Vector data does not hold rows x dimension values.");
  if (vectors.rows < index_config_->n_lists()) refuse(kTooFewVectors);
  if (FirstNonFiniteRow(vectors) != vectors.rows) refuse("Training vectors must not hold NaN or infinity.");

  // The live index is not changed: the trained configuration exists only in the returned bytes.
  const Quantizers trained{TrainQuantizers(vectors, params), quantizers_->secondary};
  Bytes bytes = SerializeIndexTable(index_name_, *index_config_, trained, true);
  // Deleting leaves nothing stored that no load could find: the index is disconnected with it.
  if (delete_index) DeleteIndexLocked();
  return bytes;
}

}  // namespace ostrik
