// The batch writes of PostgresKeystore: one transaction of multi-row upserts of at most 1000 rows,
// so that a batch is stored entirely or not at all.
#include <climits>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/batch_push_checks.h"
#include "stores/postgres_keystore.h"
#include "stores/postgres_table_setup.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

constexpr size_t kRowsPerChunk = 1000;

// Lengths travel as 32-bit signed integers; a longer value would be cut silently.
void CheckValueLength(uint64_t key, size_t length) {
  if (length > static_cast<size_t>(INT_MAX)) {
    const std::string text = "Value of key " + std::to_string(key) + " is too large for Postgres (" +
                             std::to_string(length) + " bytes)";
    EngineLogger().error(text);
    throw std::invalid_argument(text);
  }
}

}  // namespace

void PostgresKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                         const std::vector<std::vector<uint8_t>>& values) {
  EngineLogger().info("Pushing " + std::to_string(keys.size()) + " items to Postgres");
  if (keys.empty()) {
    EngineLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.size() != keys.size()) {
    EngineLogger().error("Mismatch between number of keys and values");
    throw std::runtime_error("Mismatch between number of keys and values");
  }
  RowSet rows;
  rows.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (values[i].empty()) continue;
    CheckValueLength(keys[i], values[i].size());
    rows[keys[i]] = RowValue(values[i].data(), values[i].size());
  }
  WriteRowSet(rows);
}

void PostgresKeystore::BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) {
  CheckBatchPush(keys, values, value_size_, "Postgres");
  const uint64_t n = keys.size();
  CheckValueLength(keys[0], values.cols);
  // Rows point into the caller's matrix, which outlives the call.
  RowSet rows;
  rows.reserve(n);
  static const uint8_t kEmpty = 0;
  for (uint64_t i = 0; i < n; ++i) {
    rows[keys[i]] = RowValue(values.cols == 0 ? &kEmpty : values.row(i), values.cols);
  }
  WriteRowSet(rows);
}

void PostgresKeystore::WriteRowSet(const RowSet& rows) {
  // One transaction: after a broken connection it is repeated whole.
  conn_->Run(store_kind_, [&] { WriteRowSetOnce(rows); });
  EngineLogger().info("Items successfully pushed to Postgres");
}

void PostgresKeystore::WriteRowSetOnce(const RowSet& rows) {
  static const std::string kFailed = "Error executing Batch Push. Rolling back transaction.";
  BeginTransaction();
  try {
    const std::string h = std::to_string(hashed_index_name_);
    const std::string head = "INSERT INTO " + table_name_ + " (key, value, index_name) VALUES ";
    std::string statement;
    std::vector<std::string> key_texts;
    std::vector<const char*> params;
    std::vector<int> lengths;
    std::vector<int> formats;
    auto it = rows.begin();
    while (it != rows.end()) {
      statement = head;
      key_texts.clear();
      key_texts.reserve(kRowsPerChunk);  // no text may move while `params` points into it
      params.clear();
      lengths.clear();
      formats.clear();
      for (size_t j = 0; j < kRowsPerChunk && it != rows.end(); ++j, ++it) {
        key_texts.push_back(std::to_string(it->first));
        const std::string& k = key_texts.back();
        params.push_back(k.c_str());
        lengths.push_back(static_cast<int>(k.size()));
        formats.push_back(0);
        params.push_back(it->second.second == 0 ? "" : reinterpret_cast<const char*>(it->second.first));
        lengths.push_back(static_cast<int>(it->second.second));
        formats.push_back(1);
        params.push_back(h.c_str());
        lengths.push_back(static_cast<int>(h.size()));
        formats.push_back(0);
        if (j > 0) statement += ", ";
        statement += "($" + std::to_string(3 * j + 1) + ", $" + std::to_string(3 * j + 2) + ", $" +
                     std::to_string(3 * j + 3) + ")";
      }
      statement += kItemUpsertConflict;
      if (key_texts.size() == kRowsPerChunk) {
        ExecuteFullChunk(statement, params, lengths, formats);
      } else {
        ExecuteBatchInsert(statement, params, lengths, formats);
      }
    }
    CommitTransaction();
  } catch (const CommandFailure& failure) {
    PgResult rollback(PQexec(conn(), "ROLLBACK"));
    // The statement's own failure is logged here; the batch reports its own text, and the
    // reason only when the connection broke (it is then repeated or reported with the store).
    if (!conn_->Broken()) {
      EngineLogger().error(failure.what());
      throw CommandFailure(kFailed, "");
    }
    throw CommandFailure(kFailed, failure.reason());
  } catch (...) {
    PgResult rollback(PQexec(conn(), "ROLLBACK"));
    throw CommandFailure(kFailed, "");
  }
}

// Full chunks all have the same text: preparing it once per session spares the server parsing
// and planning 3000 parameters for every chunk.
void PostgresKeystore::ExecuteFullChunk(const std::string& statement, const std::vector<const char*>& values,
                                        const std::vector<int>& lengths, const std::vector<int>& formats) {
  static const std::string kStart = "Postgres query execution failed: ";
  const std::string& name = conn_->Prepared(statement, static_cast<int>(values.size()), kStart);
  PgResult r(PQexecPrepared(conn(), name.c_str(), static_cast<int>(values.size()), values.data(), lengths.data(),
                            formats.data(), 0));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart);
}

void PostgresKeystore::BeginTransaction() {
  PgResult r(PQexec(conn(), "BEGIN"));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure("Postgres BEGIN transaction error: ");
}

void PostgresKeystore::CommitTransaction() {
  PgResult r(PQexec(conn(), "COMMIT"));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure("Postgres COMMIT transaction error: ");
}

void PostgresKeystore::ExecuteBatchInsert(const std::string& statement, const std::vector<const char*>& values,
                                          const std::vector<int>& lengths, const std::vector<int>& formats) {
  PgResult r(PQexecParams(conn(), statement.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                          lengths.data(), formats.data(), 0));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure("Postgres query execution failed: ");
}

}  // namespace ostrik_encrypted_index::internal::backing_store
