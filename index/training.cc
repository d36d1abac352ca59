// Training: k-means over vectors into the list centroids; in place over the stored items (which
// are then re-added list by list), or over given vectors into a serialized, trained configuration.
#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "core/sha3.h"
#include "core/thread_scope.h"
#include "index/encrypted_index.h"
#include "index/item_checks.h"
#include "index/placeholders.h"
#include "index/serialized_index.h"
#include "filters/update_metadata.h"
#include "kernels/kmeans_training.h"
#include "token_store/token_index.h"

namespace ostrik {
namespace {

namespace filters = ostrik_encrypted_index::internal::filters;
namespace kernels = ostrik_encrypted_index::internal::kernels;
using ostrik_encrypted_index::internal::token_store::IndexHead;
using ostrik_encrypted_index::internal::token_store::ItemEntry;
using ostrik_encrypted_index::internal::token_store::PayloadRows;
using ostrik_encrypted_index::internal::token_store::TokenItemBatch;
using ostrik_encrypted_index::internal::token_store::WriteIntent;

// The items as the engine takes them: the vectors' bytes are the payloads, seen in place (the batch
// must not outlive `vectors`).
TokenItemBatch Batch(const FloatMatrix& vectors, const std::vector<std::string>& ids,
                     const std::vector<std::string>& metadata, const std::vector<uint32_t>& lists) {
  TokenItemBatch batch;
  batch.input_tokens = lists;
  batch.item_ids = ids;
  batch.payloads = PayloadRows::View(reinterpret_cast<const uint8_t*>(vectors.data.data()), vectors.rows,
                                     vectors.cols * sizeof(float));
  batch.metadata = metadata;
  return batch;
}

// Rows encoded between two renewals of the writer lock: the encoding of a large training outlasts
// the lock's lease, and below this it takes a fraction of a second.
constexpr uint64_t kEncodeSlice = uint64_t{1} << 17;

constexpr const char* kTooFewVectors =
    "Number of embeddings is less than the number of clusters. Please ingest more data before training.";

}  // namespace

std::vector<QuantizerMatrix> EncryptedIndex::TrainQuantizers(const FloatMatrix& embeddings, const TrainParams& params,
                                                             std::function<void()> between_rounds) const {
  log().info("TrainQuantizers");
  KMeansParams kmeans;
  kmeans.n_subvectors = 1;
  kmeans.n_clusters = index_config_->n_lists();
  kmeans.reserved = 0;
  kmeans.max_iters = params.max_iters;
  kmeans.batch_size = params.batch_size;
  kmeans.tolerance = params.tolerance;
  kmeans.between_rounds = std::move(between_rounds);
  const auto metric = static_cast<DistanceMetric>(index_config_->metric);
  return gpu_accelerate_ ? kernels::TrainQuantizerGpu(embeddings, kmeans, metric)
                         : kernels::TrainQuantizer(embeddings, kmeans, metric);
}

void EncryptedIndex::TrainIndex(const TrainParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  log().info("TrainIndex");
  if (!token_index_) FailNotConnected(false);
  ThreadCountScope threads(token_index_->cpu_threads_);
  auto refuse_trained = [this] {
    log().error("Index has already been trained.");
    throw std::logic_error("Index has already been trained.");
  };
  if (is_trained_) refuse_trained();
  Writing writing(*this);
  // Another call of train() was cut short after its switch: this one is its repetition.
  if (writing.finished_training()) {
    writing.Dismiss();
    return;
  }
  // Trained meanwhile by another process.
  if (is_trained_) refuse_trained();

  // Every stored item, as one group; deleted positions are no training vectors.
  ItemRecords items = token_index_->GetTokenItems({0});
  DropPlaceholders(items);
  const uint64_t n = items.item_ids.size();
  TrainingItems training;
  training.vectors.rows = n;
  training.vectors.cols = items.payloads.cols / sizeof(float);
  training.vectors.data.resize(n * training.vectors.cols);
  if (!training.vectors.data.empty()) {
    std::memcpy(training.vectors.data.data(), items.payloads.data.data(), training.vectors.data.size() * sizeof(float));
  }
  items.payloads = ByteMatrix();
  if (n < index_config_->n_lists()) {
    log().error(kTooFewVectors);
    throw std::invalid_argument(kTooFewVectors);
  }
  training.ids = std::move(items.item_ids);
  training.metadata = std::move(items.metadata);

  // Everything that can fail on the data itself fails here, while the stores are untouched.
  if (const std::string problem = CheckMetadataObjects(training.metadata, training.ids); !problem.empty()) {
    log().error(problem);
    throw std::runtime_error(problem);
  }
  // The writer lock is kept alive through the rounds, however long they take.
  Quantizers trained{TrainQuantizers(training.vectors, params, [this] { token_index_->CheckWriterLock(); }),
                     quantizers_->secondary};
  training.lists = EncodeListsUnderLock(training.vectors, trained.coarse);

  // From here the switch runs under its intent: whatever stops it, the next writer finishes it
  // (once the trained configuration is stored) or takes it back.
  WriteIntent intent;
  intent.kind = WriteIntent::Kind::kTrain;
  intent.trained_config = SerializeIndexTable(index_name_, *index_config_, trained, true);
  intent.untrained_list0_count = token_index_->token_counts_.empty() ? 0 : token_index_->token_counts_[0];
  intent.data_labels = HashItemIds(training.ids, token_index_->data_key_.data());
  token_index_->RecordIntent(intent);
  CompleteTraining(intent, &training);
  // The switch wrote the head last (a new epoch and stamp); nothing may fail after it.
  writing.Dismiss();
}

void EncryptedIndex::CompleteTraining(const WriteIntent& intent, TrainingItems* given) {
  const SerializedIndex target = ReadSerializedIndex(intent.trained_config);
  if (CheckIndexShape(*index_config_, target.quantizers, true) != "" || !target.is_trained) {
    throw std::runtime_error("The interrupted training of index '" + index_name_ + "' cannot be finished: its lists do not fit the index");
  }
  TrainingItems read;
  TrainingItems& items = given != nullptr ? *given : read;
  if (given == nullptr) {
    read = ReadTrainingItems(intent);
    read.lists = EncodeListsUnderLock(read.vectors, target.quantizers.coarse);
  }

  // The re-filing is the upsert of every item on the trained path, and reports like one.
  log().info("Upserting " + std::to_string(items.ids.size()) + " items.");
  log().info("IngestTrained ");
  try {
    bool any_metadata = false;
    for (const std::string& text : items.metadata) any_metadata |= !text.empty();
    if (any_metadata) {
      try {
        filters::UpdateMetadata(*token_index_, items.metadata, items.lists, log());
      } catch (const std::exception& e) {
        const std::string text = std::string("Error updating metadata: ") + e.what();
        log().critical(text);
        throw std::runtime_error(text);
      }
    }
    try {
      token_index_->RefileItems(Batch(items.vectors, items.ids, items.metadata, items.lists), intent.untrained_list0_count);
    } catch (const std::exception& e) {
      const std::string text = std::string("Error ingesting: ") + e.what();
      log().critical(text);
      throw std::runtime_error(text);
    }
  } catch (const std::exception& e) {
    const std::string text = std::string("Error ingesting: ") + e.what();
    log().critical(text);
    throw std::runtime_error(text);
  }
  // The switch: loaders read the stored configuration, this object its own fields.
  token_index_->StoreIndexConfig(intent.trained_config);
  quantizers_->coarse = target.quantizers.coarse;
  is_trained_ = true;
  const EpochTag epoch = IndexHead::RandomTag();
  token_index_->ClearIntent(epoch);
  epoch_ = epoch;
}

std::vector<uint32_t> EncryptedIndex::EncodeListsUnderLock(const FloatMatrix& vectors,
                                                          const std::vector<QuantizerMatrix>& coarse) {
  if (vectors.rows <= kEncodeSlice) return EncodeLists(vectors, coarse);
  std::vector<uint32_t> lists;
  lists.reserve(vectors.rows);
  for (uint64_t s = 0; s < vectors.rows; s += kEncodeSlice) {
    const uint64_t e = std::min(vectors.rows, s + kEncodeSlice);
    FloatMatrix slice{e - s, vectors.cols, std::vector<float>(vectors.row(s), vectors.row(s) + (e - s) * vectors.cols)};
    const std::vector<uint32_t> part = EncodeLists(slice, coarse);
    lists.insert(lists.end(), part.begin(), part.end());
    token_index_->CheckWriterLock();
  }
  return lists;
}

EncryptedIndex::TrainingItems EncryptedIndex::ReadTrainingItems(const WriteIntent& intent) {
  std::vector<ItemEntry> entries = token_index_->ReadRecords(intent.data_labels);
  TrainingItems items;
  items.vectors.rows = entries.size();
  items.vectors.cols = index_config_->dimension();
  items.vectors.data.resize(items.vectors.rows * items.vectors.cols);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].payload.size() != items.vectors.cols * sizeof(float)) {
      throw std::runtime_error("A stored record of index '" + index_name_ + "' does not hold a vector of its dimension");
    }
    std::memcpy(items.vectors.row(i), entries[i].payload.data(), entries[i].payload.size());
    items.ids.push_back(std::move(entries[i].item_id));
    items.metadata.push_back(std::move(entries[i].metadata));
  }
  return items;
}

void EncryptedIndex::UndoTraining(const WriteIntent& intent) {
  TrainingItems items = ReadTrainingItems(intent);
  // Entries the interrupted re-filing may have written under other lists lie beyond their counts
  // once list 0 holds every item again, and are never read.
  items.lists.assign(items.ids.size(), 0);
  token_index_->RefileItems(Batch(items.vectors, items.ids, items.metadata, items.lists), intent.untrained_list0_count);
  token_index_->ClearIntent();
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
