// TokenIndex: the storage engine behind every open index. It keeps an encrypted multimap from token
// (inverted-list number, 0 .. vocab_size_ - 1) to items in four stores: masked entries under
// seed-tree labels in the index store, encrypted item records in the data store, encrypted contents
// in the items store and its own engine state in the config store. It derives the per-index keys,
// keeps per-token item counts (kTokenCountsKey in the index store) and an LRU token cache.
//
// Throws: std::invalid_argument for bad input and inconsistent sizes, std::out_of_range for a token
// at or beyond vocab_size_, std::runtime_error for store, cipher, state and record failures (most
// are logged first). A refused AddItems changes nothing; one that fails midway leaves every item of
// its batch in one list as its old or its new version (a new one absent or whole), and repeating
// the batch completes it. The destructor never throws.
//
// Thread-safety: none. An engine is used from one thread at a time; its parallel regions (labels,
// ciphers, decoding) start from that thread and never touch the stores or the cache.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/logger.h"
#include "core/matrix.h"
#include "stores/keystore.h"
#include "token_store/index_head.h"
#include "token_store/index_setup.h"
#include "token_store/label_cache.h"
#include "core/item_stream.h"
#include "token_store/token_cache.h"
#include "token_store/token_item_batch.h"
#include "token_store/token_labels.h"
#include "token_store/write_intent.h"

namespace ostrik_encrypted_index::internal::token_store {

using ostrik::ItemStream;
using ostrik::StreamLayout;

using Key32 = std::array<uint8_t, 32>;
using backing_store::Keystore;

// The index-store key of the encrypted token counts, the same in every index.
constexpr uint64_t kTokenCountsKey = ~uint64_t{0};
// Beside it: the head (index_head.h) and the intent of an unfinished write (write_intent.h).
constexpr uint64_t kIndexHeadKey = ~uint64_t{0} - 1;
constexpr uint64_t kIntentKey = ~uint64_t{0} - 2;
// How long a writer waits for another process's write to finish.
constexpr std::chrono::milliseconds kWriterLockTimeout{60000};

// Config item suffixes: engine state and serialized index configuration.
inline constexpr const char* kStateSuffix = ".oei";
inline constexpr const char* kIndexConfigSuffix = ".ovs";

struct FetchScratch;

class TokenIndex {
 public:
  // Creates a new index: builds the four stores (index, data, config, items), refuses a name whose
  // engine state is already kept by a persistent config store, writes a fresh engine state.
  TokenIndex(const ostrik::IndexSetup& setup, ostrik::Logger* logger);
  // Reopens an existing index from its stored engine state and token counts. Uses the setup's
  // name, key, locations, cpu_threads, gpu_accelerate and max_cache_size; depth, vocabulary and
  // payload width come from the state.
  static std::unique_ptr<TokenIndex> Load(const ostrik::IndexSetup& setup, ostrik::Logger* logger);

  // Saves the token counts when they changed since they were last loaded or saved, then closes
  // the stores. A failed save is logged and swallowed.
  ~TokenIndex();

  TokenIndex(const TokenIndex&) = delete;
  TokenIndex& operator=(const TokenIndex&) = delete;

  void DeriveKeys();
  // Empties the data and index stores, zeroes the counts and writes a fresh engine state; with
  // `all`, instead removes everything the index keeps: records first (so what an interruption
  // leaves reads as an index without items), then contents, the index store, and the config items
  // last (so an interrupted deletion leaves an index that loads and can be deleted again).
  void DeleteIndex(bool all);
  void SaveTokenCounts();
  // Missing record: vocab_size_ zeros. A record shorter than vocab_size_ is padded with zeros.
  // Reads the head with the counts (one store read): a stamp other than the last one this engine
  // saw or wrote means another process wrote since, and the token cache is dropped.
  void LoadTokenCounts();

  // Writes shared between processes. Every change of an index's stores happens between
  // BeginWrite and EndWrite (or AbortWrite), under the index's writer lock:
  // BeginWrite takes the lock (waiting at most writer_lock_timeout_), reads the counts, the head and
  // the intent record of an interrupted write, which it returns for the caller to finish (see
  // FinishIntent) before StampWrite marks the start of its own changes.
  // `read_counts` false: a new index, which has none.
  std::optional<WriteIntent> BeginWrite(bool read_counts = true);
  // The head as BeginWrite or LoadTokenCounts read it (or as this engine last wrote it).
  const IndexHead& head() const { return head_; }
  // Finishes an interrupted upsert or delete: each item ends in its new version where its new record
  // landed and in its old one elsewhere; a deletion is completed. Drops the token cache.
  void FinishIntent(const WriteIntent& intent);
  // The interrupted write is finished: the head stops being pending (and takes the new epoch, when
  // given) and the record goes.
  void ClearIntent(const std::optional<IndexHead::Tag>& new_epoch = std::nullopt);
  // Marks the start of this write's changes (a new stamp; a new epoch when the index had no head).
  void StampWrite();
  // Seals the intent and marks the head pending, before the write's first change that could tear
  // an item; EndWrite removes it.
  void RecordIntent(const WriteIntent& intent);
  // The write is whole: a new stamp (and epoch, when given), no intent, the lock released.
  void EndWrite(const std::optional<IndexHead::Tag>& new_epoch = std::nullopt);
  // After a failed write: a new stamp (unless `restamp` is false: the index was removed), pending
  // still when an intent was recorded (the next writer finishes it), the lock released. Never
  // throws.
  void AbortWrite(bool restamp = true) noexcept;
  // Releases the lock without writing anything more (a write that only finished another's, or an
  // index that was removed).
  void ReleaseWrite() noexcept;
  bool writing() const { return writing_; }
  // Reads the head alone (one store read), with LoadTokenCounts' rule for the cache.
  const IndexHead& ReadHead();
  // Renews the writer lock when due; throws when it was lost (stores/keystore.h).
  void CheckWriterLock() const;

  // Adds (or replaces, by id) every item of the batch, or refuses the whole batch unchanged; of an
  // id repeated in the batch the last occurrence is stored (an index's upsert has already kept the
  // first). A store failure midway is rethrown with its text; returning means the whole batch is
  // stored.
  void AddItems(const TokenItemBatch& batch);
  // The items of each requested token, one group per request position, in request order. A
  // deleted item's position yields a placeholder (empty id, zero payload, empty metadata). Parallel
  // work, store reads included, runs on cpu_threads_ threads (0: the OpenMP default).
  ostrik::ItemRecords GetTokenItems(const std::vector<uint32_t>& query_tokens);
  // The same into `out`, whose buffers are reused, so that repeated fetches of similar size touch
  // no fresh memory. After a failure `out` holds no items.
  void GetTokenItems(const std::vector<uint32_t>& query_tokens, ostrik::ItemRecords& out);
  // The same groups as shared, immutable lists, one per request position (a token requested twice
  // gives one list twice), read in place: cached lists are handed out without a copy and fetched
  // ones are cached as they are. REQUIRES: `out` is empty or holds an earlier answer of this
  // engine; its lists that nothing else holds are refilled. After a failure `out` is empty.
  void GetTokenLists(const std::vector<uint32_t>& query_tokens, std::vector<SharedTokenList>& out);
  // GetTokenItems' items handed to `stream` instead of copied into ItemRecords: with the cache off
  // each record is opened into the stream's room and taken there, in the pass that opens it; with
  // the cache on the lists GetTokenLists would give are taken in place. Placeholders are not taken.
  // The same checks, store reads, cache changes and failures as GetTokenItems; Complete runs only
  // when every record opened and decoded, and what the stream gathered is of no use after a throw.
  void StreamTokenItems(const std::vector<uint32_t>& query_tokens, ItemStream& stream);
  // Removes the records and contents of the ids and every cached list that holds one of them.
  // Positions and counts stay.
  void DeleteItems(const std::vector<std::string>& ids);

  // One decrypted metadata summary per field path, empty where none is stored.
  std::vector<ostrik::Bytes> GetCentroidMetadata(const std::vector<std::string>& field_names);

  ostrik::Bytes SerializeState() const;
  void PushConfig(const std::string& name, const ostrik::Bytes& bytes);
  ostrik::Bytes LoadConfig(const std::string& name);
  // Stores the serialized index configuration as index_name_ + ".ovs".
  void StoreIndexConfig(const ostrik::Bytes& bytes);

  uint64_t cache_capacity() const { return token_cache_.capacity(); }
  // False when the config store is the memory store, which keeps no config items (and belongs to
  // this process alone).
  bool config_persistent() const { return config_persistent_; }

  // Training's re-filing: every item of `items` gets the next position of its token counted from
  // zero, its entry and its record (naming its new token) are written, the counts replaced, and
  // the entries of list 0 from the new count up to `stale_list0_end` removed. Idempotent for the
  // same items in the same order. Contents are not touched. Drops the token cache.
  void RefileItems(const TokenItemBatch& items, uint32_t stale_list0_end);
  // The decoded records of the data labels (in order; absent ones skipped), read in chunks.
  std::vector<ItemEntry> ReadRecords(const std::vector<uint64_t>& data_labels);

  // Read directly by the client and filtering layers.
  int64_t tree_depth_ = 0;
  int64_t vocab_size_ = 0;
  int64_t cpu_threads_ = 1;
  bool gpu_ = false;
  uint64_t payload_size_ = 0;
  std::vector<uint32_t> token_counts_;
  TokenCache token_cache_;
  Key32 index_key_{};
  Key32 data_key_{};
  Key32 content_key_{};
  Key32 centroid_metadata_key_{};
  Key32 name_mac_{};
  // Labels the staged copies of contents that replace earlier ones (never a content label).
  Key32 staging_key_{};
  uint64_t value_size_ = 8;
  std::string index_name_;
  std::shared_ptr<Keystore> index_store_;
  std::shared_ptr<Keystore> data_store_;
  std::unique_ptr<Keystore> config_store_;
  std::unique_ptr<Keystore> items_store_;
  std::vector<TokenSeed> token_seeds_;
  // Labels and pads of the positions fetches have derived.
  TokenLabelCache label_cache_;
  std::string state_text_;
  ostrik::Logger* logger_ = nullptr;
  std::chrono::milliseconds writer_lock_timeout_ = kWriterLockTimeout;

 private:
  struct LoadTag {};
  TokenIndex(LoadTag, const ostrik::IndexSetup& setup, ostrik::Logger* logger);

  // Members common to both paths: everything but depth, vocabulary and payload width.
  void InitCommon(const ostrik::IndexSetup& setup, ostrik::Logger* logger);
  // name_mac_ and the store tag, then the four stores in the order index, data, config, items.
  void BuildStores(const ostrik::IndexSetup& setup);
  void EnsureSeeds();
  void CheckTokens(const std::vector<uint32_t>& tokens) const;
  // The start of every fetch: checks the request, brings the counts and seeds up to date and
  // hands out the fetch buffers.
  FetchScratch& BeginFetch(const std::vector<uint32_t>& query_tokens);
  // The masked entries of an add's new positions, then its records, in chunks of items.
  void PushIndexEntries(const TokenLabels& labels);
  // `sealed` is empty or holds, per item, its record's envelope when sealed ahead (taken over).
  void PushItemRecords(const std::vector<uint64_t>& data_labels, const TokenItemBatch& batch,
                       std::vector<ostrik::Bytes>& sealed);
  // Seals the records of the items `which` into sealed[i].
  void SealRecords(const TokenItemBatch& batch, const std::vector<uint64_t>& which,
                   std::vector<ostrik::Bytes>& sealed) const;
  // After a failed add: counts that may not have been saved go back to `before`, and the cached
  // lists of the batch's tokens go.
  void ForgetFailedAdd(const TokenItemBatch& batch, const std::vector<uint32_t>& before);
  ostrik::Logger& log() const { return logger_ ? *logger_ : ostrik::Logger::instance(); }

  // The counts were read for the next fetch or add, which need not read them again.
  bool TakeFreshCounts();
  // Applies a stored counts record (empty: none stored).
  void ApplyCounts(ostrik::Bytes value);
  // Writes the head and makes it the lock's guard.
  void WriteHead(const IndexHead& head);
  // Creating: refuses data left in Redis item hashes by another index of this name and key,
  // removes data left elsewhere by an interrupted deletion.
  void ClearLeftovers(const ostrik::IndexSetup& setup);

  // True when token_counts_ differ from what the index store was last seen to hold.
  bool counts_dirty_ = false;
  bool counts_fresh_ = false;
  IndexHead head_;
  bool writing_ = false;
  bool intent_stored_ = false;
  bool config_persistent_ = true;
  // Buffers of the fetch path, kept between fetches (get_token_items.cc).
  std::shared_ptr<FetchScratch> fetch_scratch_;
};

// Decodes the plaintext data-store records of a get by id, pairing record i with contents[i]
// (taken over when present and non-empty). An empty record (id not stored) yields no entry; a
// record whose declared lengths disagree with its size throws std::runtime_error.
std::vector<ItemEntry> DecodeItemRecords(const std::vector<ostrik::Bytes>& records,
                                         std::vector<ostrik::Bytes>& contents, uint64_t payload_size);

// The connection string as it may appear in a log line: every password it carries is masked as
// "****", everything else is kept (what counts as a password: stores/connection_secrets.h).
std::string MaskConnectionString(const std::string& connection_string);

}  // namespace ostrik_encrypted_index::internal::token_store
