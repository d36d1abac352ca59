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
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "core/matrix.h"
#include "index/index_records.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::token_store {
class TokenIndex;
}

namespace ostrik {

struct IndexSetup;
using IndexKey = std::array<uint8_t, 32>;

inline constexpr const char* kNotConnectedMessage =
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling this function.";

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
  std::vector<QuantizerMatrix> TrainQuantizers(const FloatMatrix& embeddings, const TrainParams& params) const;
  void DeleteIndexLocked();

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
  // The candidates of the last query, kept so that the next one refills memory it already touched
  // (fresh pages cost more than the decryption). Larger fetches are not kept.
  ItemRecords candidates_;
};

}  // namespace ostrik
