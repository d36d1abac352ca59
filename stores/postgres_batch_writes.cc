// The batch writes of PostgresKeystore: one transaction of multi-row upserts of at most 1000 rows,
// so that a batch is stored entirely or not at all (fenced: one pipelined transaction).
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
  conn_->RunWrite(store_kind_, [&](bool fenced) { WriteRowSetOnce(rows, fenced); });
  EngineLogger().info("Items successfully pushed to Postgres");
}

void PostgresKeystore::WriteRowSetOnce(const RowSet& rows, bool fenced) {
  static const std::string kFailed = "Error executing Batch Push. Rolling back transaction.";
  static const std::string kChunkFailed = "Postgres query execution failed: ";
  const std::string h = std::to_string(hashed_index_name_);
  // Every chunk's parameters, laid out before anything is sent; no text may move once `params`
  // points into it.
  std::vector<std::string> key_texts;
  key_texts.reserve(rows.size());
  std::vector<const char*> params;
  std::vector<int> lengths;
  std::vector<int> formats;
  params.reserve(3 * rows.size());
  lengths.reserve(3 * rows.size());
  formats.reserve(3 * rows.size());
  std::vector<size_t> chunk_rows;
  for (const auto& [key, value] : rows) {
    if (chunk_rows.empty() || chunk_rows.back() == kRowsPerChunk) chunk_rows.push_back(0);
    ++chunk_rows.back();
    key_texts.push_back(std::to_string(key));
    const std::string& k = key_texts.back();
    params.push_back(k.c_str());
    lengths.push_back(static_cast<int>(k.size()));
    formats.push_back(0);
    params.push_back(value.second == 0 ? "" : reinterpret_cast<const char*>(value.first));
    lengths.push_back(static_cast<int>(value.second));
    formats.push_back(1);
    params.push_back(h.c_str());
    lengths.push_back(static_cast<int>(h.size()));
    formats.push_back(0);
  }
  auto chunk_text = [&](size_t n) {
    std::string statement = "INSERT INTO " + table_name_ + " (key, value, index_name) VALUES ";
    for (size_t j = 0; j < n; ++j) {
      if (j > 0) statement += ", ";
      statement += "($" + std::to_string(3 * j + 1) + ", $" + std::to_string(3 * j + 2) + ", $" +
                   std::to_string(3 * j + 3) + ")";
    }
    return statement + kItemUpsertConflict;
  };
  std::string full_text, last_text;
  if (!chunk_rows.empty() && chunk_rows.front() == kRowsPerChunk) full_text = chunk_text(kRowsPerChunk);
  if (!chunk_rows.empty() && chunk_rows.back() != kRowsPerChunk) last_text = chunk_text(chunk_rows.back());

  if (!fenced) BeginTransaction();
  try {
    // Full chunks all have the same text: prepared once per session, it spares the server parsing
    // and planning 3000 parameters for every chunk.
    const std::string* full_name =
        full_text.empty() ? nullptr : &conn_->Prepared(full_text, 3 * kRowsPerChunk, kChunkFailed);
    if (fenced) {
      std::vector<PostgresStoreConnection::Statement> statements;
      size_t offset = 0;
      for (size_t n : chunk_rows) {
        PostgresStoreConnection::Statement st;
        if (n == kRowsPerChunk) {
          st.prepared = full_name;
        } else {
          st.text = &last_text;
        }
        st.n_params = static_cast<int>(3 * n);
        st.values = params.data() + offset;
        st.lengths = lengths.data() + offset;
        st.formats = formats.data() + offset;
        st.failure_start = &kChunkFailed;
        statements.push_back(st);
        offset += 3 * n;
      }
      // One implicit transaction: a failure rolls it back whole.
      conn_->RunFenced(statements);
      return;
    }
    size_t offset = 0;
    for (size_t n : chunk_rows) {
      const int count = static_cast<int>(3 * n);
      PgResult r(n == kRowsPerChunk
                     ? PQexecPrepared(conn(), full_name->c_str(), count, params.data() + offset,
                                      lengths.data() + offset, formats.data() + offset, 0)
                     : PQexecParams(conn(), last_text.c_str(), count, nullptr, params.data() + offset,
                                    lengths.data() + offset, formats.data() + offset, 0));
      if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kChunkFailed);
      offset += 3 * n;
    }
    CommitTransaction();
  } catch (const FenceRefused&) {
    throw;
  } catch (const CommandFailure& failure) {
    if (!fenced) PgResult rollback(PQexec(conn(), "ROLLBACK"));
    // The statement's own failure is logged here; the batch reports its own text, and the
    // reason only when the connection broke (it is then repeated or reported with the store).
    if (!conn_->Broken()) {
      EngineLogger().error(failure.what());
      throw CommandFailure(kFailed, "");
    }
    throw CommandFailure(kFailed, failure.reason());
  } catch (...) {
    if (!fenced) PgResult rollback(PQexec(conn(), "ROLLBACK"));
    throw CommandFailure(kFailed, "");
  }
}

void PostgresKeystore::BeginTransaction() {
  PgResult r(PQexec(conn(), "BEGIN"));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure("Postgres BEGIN transaction error: ");
}

void PostgresKeystore::CommitTransaction() {
  PgResult r(PQexec(conn(), "COMMIT"));
  if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure("Postgres COMMIT transaction error: ");
}

}  // namespace ostrik_encrypted_index::internal::backing_store
