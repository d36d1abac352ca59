// EncryptedIndex: one open index. It owns its name, its 32-byte key, a private copy of its
// configuration, its centroid lists, its trained flag and its engine (TokenIndex), and carries
// out every operation on the index: upsert, query, training, get, delete and deleting the index.
// Instances come only from Client (client.h), which hands each one to its caller as sole owner.
//
// Failures are exceptions of the documented types and texts, written through the index's logger
// first where the operation says so. An index whose engine is gone (after DeleteIndex) is not
// connected: every operation that needs the engine refuses with kNotConnectedMessage.
//
// Thread-safety: every public member takes the index's own mutex, so calls from several threads
// (the Python module releases the interpreter lock around long work) run one at a time. The
// module-wide current_logger and engine_logger are set by index creation and loading only.
//
// Several processes may share one index: every operation that changes it runs under the index's
// writer lock (kept on the server of its index store) and first finishes whatever write another
// process left unfinished; every operation reads the index's head (token_store/index_head.h) and
// follows a training done elsewhere, or refuses, naming the index, when it was deleted or
// re-created elsewhere since this object opened it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "core/matrix.h"
#include "index/index_records.h"
#include "kernels/kernel_records.h"
#include "token_store/index_head.h"

namespace ostrik_encrypted_index::internal::token_store {
class TokenIndex;
struct WriteIntent;
}

namespace ostrik {

struct IndexSetup;
using IndexKey = std::array<uint8_t, 32>;

inline constexpr const char* kNotConnectedMessage =
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling this function.";

// The stored index this object opened was deleted by another process since.
class IndexGoneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EncryptedIndex {
 public:
  // Saves the engine's token counts and closes its stores; never throws.
  ~EncryptedIndex();

  EncryptedIndex(const EncryptedIndex&) = delete;
  EncryptedIndex& operator=(const EncryptedIndex&) = delete;

  bool is_trained() const;
  std::string index_name() const;
  // A copy of the configuration. Not connected: CRITICAL line and std::runtime_error.
  std::unique_ptr<IndexConfig> index_config() const;
  // The configuration's embedding model name ("" when it has none); nullopt when not connected.
  // Writes nothing: a caller that meets a deleted index leaves the refusal to the operation.
  std::optional<std::string> embedding_model() const;

  // Adds items, or replaces those stored under the same ids. Untrained: every item in list 0;
  // trained: each in the list of its nearest centroid, metadata summaries first. Every check
  // comes before the stores are touched. contents and metadata are empty or one per item.
  void Upsert(const FloatMatrix& vectors, const std::vector<std::string>& ids, const std::vector<Bytes>& contents,
              const std::vector<std::string>& metadata);

  // The params.top_k nearest items of each query row. Trained: pre-filter, probe the nearest
  // lists, post-filter, search; untrained: post-filter and search every item.
  QueryResults Query(const FloatMatrix& queries, const QueryParams& params);

  // Trains the stored, untrained index in place on its own items. Whatever fails after the
  // stores were emptied, the index is put back untrained with every item before the rethrow.
  void TrainIndex(const TrainParams& params);

  // Trains centroids on `vectors` and returns the serialized, trained configuration (plain
  // bytes). delete_index false: the live index is left as it was; true: the stored data is
  // deleted and the index is left as DeleteIndex leaves it.
  Bytes TrainAndSerialize(const FloatMatrix& vectors, const TrainParams& params, bool delete_index);

  // The stored items among `ids`, in the order of `ids`, with the fields `include` selects
  // (GetInclude codes; none selects all).
  std::vector<GetResult> Get(const std::vector<std::string>& ids, const std::vector<int32_t>& include);
  // Removes the records and contents of `ids`; ids never stored are passed over.
  void Delete(const std::vector<std::string>& ids);

  // Deletes everything the index keeps in its four stores and disconnects it.
  void DeleteIndex();

  // The serialized configuration: name, configuration, centroid lists and trained flag.
  Bytes SerializeIndex() const;

 private:
  friend class Client;
  friend struct EncryptedIndexTestAccess;  // tests only: reaches the engine to inject store faults
  using TokenIndex = ostrik_encrypted_index::internal::token_store::TokenIndex;
  using WriteIntent = ostrik_encrypted_index::internal::token_store::WriteIntent;
  using EpochTag = ostrik_encrypted_index::internal::token_store::IndexHead::Tag;

  // One change of the index, under its writer lock: construction takes the lock, follows or refuses
  // what other processes did, finishes a write they left unfinished and stamps the head; Commit
  // ends the write; leaving without Commit marks it failed (its intent, if any, is finished by the
  // next writer). A scope made with `finish_only` holds the lock for a read and releases it
  // without a write of its own.
  class Writing {
   public:
    explicit Writing(EncryptedIndex& index, bool finish_only = false);
    ~Writing();
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;
    void Commit(const std::optional<EpochTag>& new_epoch = std::nullopt);
    // Releases the lock without a last write (the index is gone).
    void Dismiss();
    // True when the write this scope finished was an interrupted training brought to its end.
    bool finished_training() const { return finished_training_; }

   private:
    EncryptedIndex& index_;
    bool finish_only_;
    bool done_ = false;
    bool finished_training_ = false;
  };

  EncryptedIndex(std::string name, const IndexKey& key, Quantizers quantizers, bool trained, Logger* logger);

  // The assembly shared by a new and a deserialized index: checks, the configuration's clone,
  // the engine (which writes its state) and the stored serialized index. On failure nothing
  // assembled stays, and config items the new engine wrote are removed again.
  void Assemble(const IndexConfig& config, const IndexSetup& setup);

  Logger& log() const { return *logger_; }
  // The not-connected refusal: ERROR and std::logic_error for an upsert, CRITICAL and
  // std::runtime_error for everything else.
  [[noreturn]] void FailNotConnected(bool as_upsert) const;

  // Bodies of the public operations, called with mutex_ held.
  void UpsertLocked(const FloatMatrix& vectors, const std::vector<std::string>& ids, const std::vector<Bytes>& contents,
                    const std::vector<std::string>& metadata);
  // The list of each vector under the given centroids (index type checked, GPU variant when
  // asked for). Throws, after an ERROR line, on a wrong type or a wrong code count.
  std::vector<uint32_t> EncodeLists(const FloatMatrix& vectors, const std::vector<QuantizerMatrix>& coarse) const;
  // EncodeLists for a write under the lock: in slices, the lock kept alive between them.
  std::vector<uint32_t> EncodeListsUnderLock(const FloatMatrix& vectors, const std::vector<QuantizerMatrix>& coarse);
  // Trained ingestion of checked items: summaries first, then the engine. Failures carry their
  // step's prefix ("Error updating metadata: ", "Error ingesting: ").
  void AddTrained(const FloatMatrix& vectors, const std::vector<std::string>& ids, const std::vector<Bytes>& contents,
                  const std::vector<std::string>& metadata, std::vector<uint32_t> lists);
  // Hands checked items to the engine under the given lists.
  void AddToLists(const FloatMatrix& vectors, const std::vector<std::string>& ids, const std::vector<Bytes>& contents,
                  const std::vector<std::string>& metadata, std::vector<uint32_t> lists);
  QueryResults RetrieveTrained(const FloatMatrix& queries, const QueryParams& params);
  QueryResults RetrieveUntrained(const FloatMatrix& queries, const QueryParams& params);
  // Centroids trained on `embeddings` for this index's configuration; changes nothing.
  // `between_rounds`, when set, runs between k-means rounds (and may throw to stop them).
  std::vector<QuantizerMatrix> TrainQuantizers(const FloatMatrix& embeddings, const TrainParams& params,
                                               std::function<void()> between_rounds = nullptr) const;
  void DeleteIndexLocked();

  // Before a read: the head (and the counts, for a fetch); a write under way elsewhere is waited
  // for (or, when its writer is gone, finished); then what other processes did is followed or
  // refused.
  void RefreshForRead(bool with_counts);
  // Compares the stored head's epoch with the one this object knows and, when they differ, the
  // stored configuration with this one: a training elsewhere is followed, anything else refused.
  void Reconcile();
  // Finishes an interrupted write found by a Writing scope; true for a training brought to its end.
  bool FinishInterrupted(const WriteIntent& intent);
  // The switch of an index to its trained configuration, from its intent: items re-filed under
  // their trained lists, summaries, the trained configuration stored, the intent cleared under a
  // new epoch. `items` are the live items in the intent's order with their trained lists, or null
  // to read them by label.
  struct TrainingItems {
    FloatMatrix vectors;
    std::vector<std::string> ids;
    std::vector<std::string> metadata;
    std::vector<uint32_t> lists;
  };
  void CompleteTraining(const WriteIntent& intent, TrainingItems* items);
  // The items an interrupted training named, read back by label (lists not yet chosen).
  TrainingItems ReadTrainingItems(const WriteIntent& intent);
  // Takes an interrupted training back: every item re-filed under list 0.
  void UndoTraining(const WriteIntent& intent);

  mutable std::mutex mutex_;
  int32_t cpu_threads_ = 0;
  bool gpu_accelerate_ = false;
  std::string index_name_;
  std::unique_ptr<IndexConfig> index_config_;
  IndexKey index_key_{};
  std::unique_ptr<Quantizers> quantizers_;
  bool is_trained_ = false;
  std::unique_ptr<TokenIndex> token_index_;
  Logger* logger_;
  // The epoch of the stored index this object follows (absent: it had no head when read).
  std::optional<EpochTag> epoch_;
  // The candidates of the last query, kept so that the next one refills memory it already touched
  // (fresh pages cost more than the decryption). Larger fetches are not kept.
  ItemRecords candidates_;
};

}  // namespace ostrik
