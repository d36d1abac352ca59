#include "token_store/item_labels.h"
#include "token_store/token_index.h"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "core/aes_gcm.h"
#include "core/fork_state.h"
#include "core/sha3.h"
#include "schemas/token_index_state_generated.h"
#include "stores/keystore_factory.h"
#include "token_store/item_labels.h"

namespace ostrik_encrypted_index::internal::token_store {
namespace {

using backing_store::CreateKeystore;
using backing_store::StoreKind;

Key32 Hmac(const Key32& key, const std::string& message) {
  Key32 out{};
  const auto* begin = reinterpret_cast<const uint8_t*>(message.data());
  ostrik::ComputeHmacSha3(out.data(), key.data(), begin, begin + message.size());
  return out;
}

std::string LocationText(const ostrik::DBConfig& location) {
  return location.connection_string ? MaskConnectionString(*location.connection_string) : "Memory";
}

}  // namespace

void TokenIndex::InitCommon(const ostrik::IndexSetup& setup, ostrik::Logger* logger) {
  cpu_threads_ = setup.cpu_threads.value_or(1);
  gpu_ = setup.gpu_accelerate.value_or(false);
  token_counts_.clear();
  token_cache_ = TokenCache(setup.max_cache_size.value_or(0));
  index_key_ = setup.index_key;
  value_size_ = 8;
  index_name_.clear();
  state_text_.clear();
  logger_ = logger;
  ostrik::engine_logger = logger;
}

void TokenIndex::BuildStores(const ostrik::IndexSetup& setup) {
  index_name_ = setup.index_name;
  config_persistent_ = setup.config_location.location != ostrik::MEMORY;
  name_mac_ = Hmac(index_key_, index_name_);
  uint64_t name_hash = 0;
  for (int i = 0; i < 8; ++i) name_hash = (name_hash << 8) | name_mac_[i];

  backing_store::StoreConnections connections;  // stores on one server and database share a connection
  index_store_ = CreateKeystore(setup.index_location, index_name_, name_hash, StoreKind::INDEX, connections);
  data_store_ = CreateKeystore(setup.data_location, index_name_, name_hash, StoreKind::DATA, connections);
  config_store_ = CreateKeystore(setup.config_location, index_name_, name_hash, StoreKind::CONFIG, connections);
  items_store_ = CreateKeystore(setup.items_location, index_name_, name_hash, StoreKind::ITEMS, connections);
}

TokenIndex::TokenIndex(const ostrik::IndexSetup& setup, ostrik::Logger* logger) {
  InitCommon(setup, logger);
  tree_depth_ = setup.tree_depth;
  vocab_size_ = setup.vocab_size;
  payload_size_ = setup.payload_size;

  log().info("Creating new index with db: " + LocationText(setup.index_location));
  log().debug("New Index Params:\n  Index name: " + setup.index_name + "\n  Tree depth: " +
              std::to_string(tree_depth_) + "\n  Vocab size: " + std::to_string(vocab_size_) +
              "\n  Payload size: " + std::to_string(payload_size_) + "\n  CPU threads: " +
              std::to_string(cpu_threads_) + "\n  GPU accelerated: " + (gpu_ ? "1" : "0") +
              "\n  lru cache size: " + std::to_string(setup.max_cache_size.value_or(0)));
  if (vocab_size_ < 0) throw std::invalid_argument("Vocab size cannot be negative.");
  if (cpu_threads_ != 0) ostrik::SetThreadCount(static_cast<int>(cpu_threads_));

  log().info("Creating backing stores");
  BuildStores(setup);
  // Two processes creating one name take turns: the second finds the first one's state.
  BeginWrite(false);
  bool state_written = false;
  try {
    // Whatever the index location, a persistent config store may hold another engine's state.
    const std::string state_name = index_name_ + kStateSuffix;
    if (setup.config_location.location != ostrik::MEMORY && config_store_->ConfigItemExists(state_name)) {
      const std::string message = "Index name " + index_name_ + " already exists";
      log().error(message);
      throw std::runtime_error(message);
    }
    ClearLeftovers(setup);
    log().info("Backing stores successfully created");

    token_counts_.assign(static_cast<size_t>(vocab_size_), 0);
    state_written = true;
    PushConfig(state_name, SerializeState());
    DeriveKeys();
    // A head with a fresh epoch: other processes holding an earlier index of this name see that it
    // is another one.
    head_ = IndexHead();
    EndWrite();
  } catch (...) {
    if (state_written) {
      // Without its state removed the name could never be created again.
      try {
        config_store_->DeleteIndex();
        index_store_->DeleteIndex();
      } catch (const std::exception& e) {
        log().error(std::string("Failed to remove the config items of a failed index: ") + e.what());
      }
    }
    AbortWrite(false);
    throw;
  }
  log().info("Index successfully created");
}

void TokenIndex::ClearLeftovers(const ostrik::IndexSetup& setup) {
  struct Slot {
    Keystore* store;
    const ostrik::DBConfig* location;
  };
  const Slot slots[] = {{index_store_.get(), &setup.index_location},
                        {data_store_.get(), &setup.data_location},
                        {items_store_.get(), &setup.items_location}};
  // A Redis item hash is named by the name and key alone, whatever config table names the index:
  // values there belong to an index of this name kept in another table, and stay.
  for (const Slot& slot : slots) {
    if (slot.location->location == ostrik::REDIS && slot.store->NumItems() != 0) {
      const std::string message = "Index name " + index_name_ + " already exists";
      log().error(message + " (its items are kept in this Redis database under another config table)");
      throw std::runtime_error(message);
    }
  }
  // Elsewhere they are what a deletion interrupted before its config items left behind: no index
  // names them, and a new one must not find them (old contents under a new item).
  for (const Slot& slot : slots) {
    if (slot.location->location != ostrik::REDIS && slot.store->NumItems() != 0) {
      log().warning("Removing data left by an earlier index named " + index_name_);
      slot.store->DeleteIndex();
    }
  }
}

TokenIndex::TokenIndex(LoadTag, const ostrik::IndexSetup& setup, ostrik::Logger* logger) {
  InitCommon(setup, logger);
  log().info("Loading existing index with db: " + LocationText(setup.index_location));
  if (cpu_threads_ != 0) ostrik::SetThreadCount(static_cast<int>(cpu_threads_));

  log().info("Creating backing stores");
  BuildStores(setup);
  log().info("Backing store successfully created");

  const ostrik::Bytes state = LoadConfig(index_name_ + kStateSuffix);
  if (state.empty()) {
    const std::string message = "Could not deserialize index config: buffer is empty";
    log().error(message);
    throw std::invalid_argument(message);
  }
  flatbuffers::Verifier verifier(state.data(), state.size());
  const ostrik::schema::TokenIndexState* table =
      ostrik::schema::VerifyTokenIndexStateBuffer(verifier) ? ostrik::schema::GetTokenIndexState(state.data())
                                                             : nullptr;
  // Depth and vocabulary come from 32-bit setup fields; anything wider was not written by an engine.
  if (table == nullptr || table->tree_depth() > INT32_MAX || table->vocab_size() > INT32_MAX) {
    const std::string message = "Could not deserialize index config: buffer is invalid";
    log().error(message);
    throw std::runtime_error(message);
  }
  tree_depth_ = static_cast<int64_t>(table->tree_depth());
  vocab_size_ = static_cast<int64_t>(table->vocab_size());
  payload_size_ = table->payload_size();
  value_size_ = table->value_size();
  state_text_ = table->state_text() ? table->state_text()->str() : std::string();

  index_store_->SetValueSize(value_size_);
  LoadTokenCounts();
  DeriveKeys();
  log().info("Index successfully loaded");
}

std::unique_ptr<TokenIndex> TokenIndex::Load(const ostrik::IndexSetup& setup, ostrik::Logger* logger) {
  return std::unique_ptr<TokenIndex>(new TokenIndex(LoadTag{}, setup, logger));
}

TokenIndex::~TokenIndex() {
  if (writing_) ReleaseWrite();
  // An engine that has not changed the counts since it last read them must not write them back:
  // another engine may have saved newer ones since.
  if (counts_dirty_) {
    try {
      SaveTokenCounts();
    } catch (const std::exception& e) {
      ostrik::EngineLogger().error(std::string("Failed to save token counts: ") + e.what());
    } catch (...) {
      ostrik::EngineLogger().error("Failed to save token counts");
    }
  }
}

void TokenIndex::DeriveKeys() {
  data_key_ = Hmac(index_key_, index_name_ + ".data");
  content_key_ = Hmac(index_key_, index_name_ + ".content");
  centroid_metadata_key_ = Hmac(index_key_, index_name_ + ".centroid_metadata");
  staging_key_ = Hmac(index_key_, index_name_ + ".content.staging");
}

void TokenIndex::SaveTokenCounts() {
  if (token_counts_.empty()) throw std::invalid_argument("Data size must be a multiple of the number of columns");
  ostrik::Bytes bytes(token_counts_.size() * 4);
  for (size_t t = 0; t < token_counts_.size(); ++t) {
    const uint32_t c = token_counts_[t];
    bytes[4 * t] = static_cast<uint8_t>(c);
    bytes[4 * t + 1] = static_cast<uint8_t>(c >> 8);
    bytes[4 * t + 2] = static_cast<uint8_t>(c >> 16);
    bytes[4 * t + 3] = static_cast<uint8_t>(c >> 24);
  }
  const uint64_t cols = bytes.size();
  const ostrik::ByteMatrix encrypted = ostrik::EncryptMatrix(ostrik::ByteMatrix(std::move(bytes), cols), index_key_.data());
  index_store_->PushItem(kTokenCountsKey, encrypted.data);
  counts_dirty_ = false;
}

void TokenIndex::DeleteIndex(bool all) {
  log().info("Deleting index " + index_name_);
  auto check_empty = [this](Keystore& store, const char* name) {
    if (store.NumItems() != 0) {
      const std::string message = std::string("Some items in the ") + name + " backing store weren't deleted";
      log().error(message);
      throw std::runtime_error(message);
    }
  };
  // Cached lists describe items that are gone; the count test would catch most, not all.
  token_cache_.Clear();
  CheckWriterLock();
  data_store_->DeleteIndex();
  check_empty(*data_store_, "data");
  if (all) {
    CheckWriterLock();
    items_store_->DeleteIndex();
    check_empty(*items_store_, "items");
  }
  CheckWriterLock();
  index_store_->DeleteIndex();
  // The head went with the rest: an absent one is what a reconnect must find from now on.
  index_store_->SetLockGuard(kIndexHeadKey, {});
  check_empty(*index_store_, "index");
  token_counts_.assign(static_cast<size_t>(std::max<int64_t>(vocab_size_, 0)), 0);
  head_ = IndexHead();
  value_size_ = 8;
  if (all) {
    // Nothing may be written back: the stores must hold nothing of this index any more.
    counts_dirty_ = false;
    CheckWriterLock();
    config_store_->DeleteIndex();
    check_empty(*config_store_, "config");
    return;
  }
  counts_dirty_ = true;  // the destructor leaves the zeroed record behind
  PushConfig(index_name_ + kStateSuffix, SerializeState());
}

void TokenIndex::EnsureSeeds() {
  if (token_seeds_.empty()) {
    token_seeds_ = DeriveTokenSeeds(static_cast<uint64_t>(std::max<int64_t>(vocab_size_, 0)), index_key_.data(),
                                    name_mac_.data());
  }
}

void TokenIndex::CheckTokens(const std::vector<uint32_t>& tokens) const {
  for (uint32_t t : tokens) {
    if (static_cast<int64_t>(t) >= vocab_size_) {
      const std::string message =
          "Token " + std::to_string(t) + " is out of range: the index has " + std::to_string(vocab_size_) + " tokens";
      ostrik::EngineLogger().error(message);
      throw std::out_of_range(message);
    }
  }
}

void TokenIndex::DeleteItems(const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  WriteIntent intent;
  intent.kind = WriteIntent::Kind::kDelete;
  intent.data_labels = ItemLabels(ids, data_key_.data());
  intent.content_labels = ItemLabels(ids, content_key_.data());
  if (token_cache_.capacity() != 0) {
    token_cache_.EraseEntriesWithLabels(
        std::unordered_set<uint64_t>(intent.data_labels.begin(), intent.data_labels.end()));
  }
  // Records go first, contents after; should either step be cut short, the next writer finishes
  // both, so that no contents outlive their record to meet a later item of the same id.
  RecordIntent(intent);
  FinishIntent(intent);
  ClearIntent();
}

}  // namespace ostrik_encrypted_index::internal::token_store
