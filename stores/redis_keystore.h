// RedisKeystore: the store of the Redis location. Each store keeps its values in one hash whose key
// is the 8 bytes of hashed_index_name_ (little-endian), with the 8-byte little-endian item keys as
// fields; config items live in one hash named by the table name, shared by the indexes whose
// config location names it.
//
// Built only by CreateKeystore; the constructor takes its connection from the index's registry
// (store_connections.h: stores of one server and database share one; see redis_connection.h for
// connecting) and throws on failure. An error reply to any command is a failure of the operation
// that sent it (std::runtime_error with the operation's message and the reply's text); bad
// arguments are std::invalid_argument. A broken connection is reopened and the operation repeated
// once; see store_connection.h for that and for the writer lock, held on the shared connection,
// which fences every write while it is held (redis_store_connection.h).
// Logs through engine_logger. One blocking connection, no lock in the process: one thread at a
// time. Each operation blocks SIGPIPE on its thread while it talks to the server, so a server that
// has gone fails the operation instead of ending the process (see sigpipe_guard.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "stores/keystore.h"
#include "stores/redis_handles.h"
#include "stores/redis_store_connection.h"
#include "stores/store_connections.h"

namespace ostrik_encrypted_index::internal::backing_store {

class RedisKeystore : public Keystore {
 public:
  RedisKeystore(const ostrik::DBConfig& config, const std::string& index_name, const uint64_t& index_name_hash,
                const int32_t& kind, StoreConnections& connections);
  // Releases the writer lock when this store holds it.
  ~RedisKeystore() override;

  RedisKeystore(const RedisKeystore&) = delete;
  RedisKeystore& operator=(const RedisKeystore&) = delete;

  void BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) override;
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& key) override;
  std::vector<uint8_t> GetItem(const uint64_t& key) override;
  ostrik::ByteMatrix BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override;
  void BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) override;
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) override;
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t NumItems() override;
  void SetValueSize(const uint64_t& size) override;
  void LockIndex(std::chrono::milliseconds timeout) override;
  void UnlockIndex() noexcept override;
  bool HoldsIndexLock() const override;
  void CheckIndexLock() override;
  void SetLockGuard(uint64_t key, const std::vector<uint8_t>& value) override;

  uint64_t hashed_index_name() const { return hashed_index_name_; }
  uint64_t value_size() const { return value_size_; }

  // Reads `count` replies of queued commands. Every reply is read before a failure is reported, so
  // none is left for the next command to take. Throws CommandFailure (inside an operation only).
  void ReadPipelinedReplies(uint64_t count);

 private:
  using Field = std::array<char, 8>;
  static Field FieldOf(uint64_t key);
  // Queues one HSET of the store's hash; on failure, drains what was queued before and throws.
  void QueueHset(const uint64_t& key, const uint8_t* value, size_t length, uint64_t queued);

  redisContext* context() const { return conn_->get(); }
  FencedArg HashArg() const { return {hash_key_.data(), hash_key_.size()}; }
  static FencedArg Arg(const std::vector<uint8_t>& value) {
    return {reinterpret_cast<const char*>(value.data()), value.size()};
  }
  // The values of `keys` into `out` in pipelined chunks (see redis_hash_reader.h); logs and throws
  // "HMGET command failed".
  void ReadFields(const std::vector<uint64_t>& keys, ValueViews& out);

  uint64_t value_size_ = 8;
  std::shared_ptr<RedisStoreConnection> conn_;
  std::string index_name_;
  uint64_t hashed_index_name_ = 0;
  std::string table_name_;
  int32_t store_kind_ = INDEX;
  Field hash_key_{};
  // The room BatchGetItems and BatchGetVariable read into.
  ValueViews read_scratch_;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
