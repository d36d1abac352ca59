// PostgresKeystore: the store of the PostgreSQL location. One store's values live in a table shared
// with other stores; item rows carry the store's tag (index_name) and the table's key is
// (key, index_name), so a store never reads, overwrites or deletes another store's rows. Config
// items live in a config table under their names.
//
// Built only by CreateKeystore; the constructor takes its connection from the index's registry
// (store_connections.h: stores of one server and database share one), sets the table up and
// prepares the single-row upsert, and throws on any failure. Operations throw
// std::invalid_argument for refused arguments and std::runtime_error for failed statements (a failed
// read is never answered as "absent"); most log an ERROR line first through engine_logger. A broken
// connection is reopened and the statement (a batch: its whole transaction) repeated once; see
// store_connection.h for that and for the writer lock, held on the shared connection, which fences
// every write while it is held (postgres_store_connection.h). No logged or
// thrown text carries the connection's password (see connection_secrets.h).
// One blocking connection, no lock in the process: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/config.h"
#include "stores/keystore.h"
#include "stores/pg_result.h"
#include "stores/postgres_store_connection.h"
#include "stores/store_connections.h"

namespace ostrik_encrypted_index::internal::backing_store {

class PostgresKeystore : public Keystore {
 public:
  PostgresKeystore(const ostrik::DBConfig& config, const std::string& index_name, const uint64_t& index_name_hash,
                   const int32_t& kind, StoreConnections& connections);
  // Releases the writer lock when this store holds it.
  ~PostgresKeystore() override;

  PostgresKeystore(const PostgresKeystore&) = delete;
  PostgresKeystore& operator=(const PostgresKeystore&) = delete;

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

  int64_t hashed_index_name() const { return hashed_index_name_; }
  uint64_t value_size() const { return value_size_; }

 private:
  // A value to write: its bytes and length (the bytes belong to the caller for the call's time).
  using RowValue = std::pair<const uint8_t*, size_t>;
  using RowSet = std::unordered_map<uint64_t, RowValue>;

  // The values of `keys` into `out` (see postgres_key_read.h); logs and throws "Batch get failed: ".
  void SelectKeyValues(const std::vector<uint64_t>& keys, ValueViews& out, bool small_values = false);

  void BeginTransaction();
  void CommitTransaction();
  // Writes the row set in one transaction of chunked upserts; all or nothing.
  void WriteRowSet(const RowSet& rows);
  void WriteRowSetOnce(const RowSet& rows, bool fenced);

  PGconn* conn() const { return conn_->get(); }

  uint64_t value_size_ = 8;
  std::shared_ptr<PostgresStoreConnection> conn_;
  std::string index_name_;
  int64_t hashed_index_name_ = 0;
  std::string table_name_;
  int32_t store_kind_ = INDEX;
  // The single-row upsert (item kinds).
  std::string upsert_statement_;
  // The batch read, and the room BatchGetItems and BatchGetVariable read into.
  std::string read_statement_;
  ValueViews read_scratch_;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
