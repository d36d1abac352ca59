// MemoryKeystore: the store of the memory location. Keeps one index's values in a hash table
// inside the process (FlatValueMap); they end with the store. Keeps no config items: pushing one
// does nothing, asking for one says none exists, and loading one fails.
//
// Throws std::invalid_argument for refused batch pushes and std::runtime_error (with the
// operation's prefix) for failures inside the wrapped operations. Logs through engine_logger. Not
// synchronised: one thread at a time. Large batch reads split their lookups and copies over an
// OpenMP team started from the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "stores/flat_value_map.h"
#include "stores/keystore.h"

namespace ostrik_encrypted_index::internal::backing_store {

class MemoryKeystore : public Keystore {
 public:
  MemoryKeystore(const std::string& index_name, const uint64_t& index_name_hash, const int32_t& kind);
  ~MemoryKeystore() override = default;

  void BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) override;
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override;
  void BatchTakeVariable(const std::vector<uint64_t>& keys, std::vector<std::vector<uint8_t>>&& values) override;
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& key) override;
  std::vector<uint8_t> GetItem(const uint64_t& key) override;
  ostrik::ByteMatrix BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override;
  // Views straight into the stored values: nothing is copied.
  void BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) override;
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) override;
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t NumItems() override;
  void SetValueSize(const uint64_t& size) override;

  uint64_t hashed_index_name() const { return hashed_index_name_; }
  uint64_t value_size() const { return value_size_; }

 private:
  using Entry = FlatValueMap;

  uint64_t value_size_ = 8;
  // Outer key: hashed_index_name_. Only the store's own entry is ever created; whether it is
  // absent, empty or filled decides some of the log lines.
  std::unordered_map<uint64_t, Entry> map_;
  uint64_t hashed_index_name_;
  std::string index_name_;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
