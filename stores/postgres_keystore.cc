#include "stores/postgres_keystore.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/postgres_key_read.h"
#include "stores/postgres_table_setup.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

// Rows of up to this width are read as one result (see postgres_key_read.h).
constexpr uint64_t kSmallValue = 256;

// The keys as one text-array parameter, "{k1,k2,...}", in request order, duplicates included.
std::string KeyArrayLiteral(const std::vector<uint64_t>& keys) {
  std::string list;
  list.reserve(keys.size() * 21 + 2);
  list += '{';
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) list += ',';
    list += std::to_string(keys[i]);
  }
  list += '}';
  return list;
}

}  // namespace

PostgresKeystore::PostgresKeystore(const ostrik::DBConfig& config, const std::string& index_name,
                                   const uint64_t& index_name_hash, const int32_t& kind,
                                   StoreConnections& connections) {
  const std::string& connection_string = config.connection_string.value();
  index_name_ = index_name;
  const uint64_t tag = index_name_hash + static_cast<uint64_t>(static_cast<int64_t>(kind));
  // Bit 63 cleared so that the tag is a non-negative BIGINT.
  hashed_index_name_ = static_cast<int64_t>(tag & ~(uint64_t{1} << 63));
  table_name_ = config.table_name.value();
  store_kind_ = kind;
  CheckPostgresTableName(table_name_);

  conn_ = connections.Postgres(connection_string);
  SetUpPostgresTable(conn(), table_name_, store_kind_ == CONFIG);

  read_statement_ = KeyReadStatement(table_name_);
  if (store_kind_ != CONFIG) {
    upsert_statement_ =
        "INSERT INTO " + table_name_ + " (key, value, index_name) VALUES ($1, $2, $3)" + kItemUpsertConflict;
    // Prepared now so that an item store on a table of another layout fails at once.
    conn_->Run(store_kind_, [&] { conn_->Prepared(upsert_statement_, 3, "Failed to prepare batch insert statement: "); });
  }
}

PostgresKeystore::~PostgresKeystore() { UnlockIndex(); }

void PostgresKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  const std::string k = std::to_string(key);
  const std::string h = std::to_string(hashed_index_name_);
  EngineLogger().info("Postgres push_item key: " + k);
  if (value.size() > static_cast<size_t>(INT_MAX)) {
    // Lengths travel as 32-bit signed integers; a longer value would be cut silently.
    const std::string text = "Value of key " + k + " is too large for Postgres (" + std::to_string(value.size()) +
                             " bytes)";
    EngineLogger().error(text);
    throw std::invalid_argument(text);
  }
  // A binary parameter given as a null pointer would be SQL NULL: an empty value points at "".
  const char* values[3] = {k.c_str(), value.empty() ? "" : reinterpret_cast<const char*>(value.data()), h.c_str()};
  const int lengths[3] = {static_cast<int>(k.size()), static_cast<int>(value.size()), static_cast<int>(h.size())};
  const int formats[3] = {0, 1, 0};
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    static const std::string kStart = "Postgres put_item error: ";
    const std::string& name = conn_->Prepared(upsert_statement_, 3, kStart);
    if (fenced) {
      conn_->RunFenced({{&name, nullptr, 3, values, lengths, formats, &kStart}});
      return;
    }
    PgResult r(PQexecPrepared(conn(), name.c_str(), 3, values, lengths, formats, 0));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart);
  });
  EngineLogger().info("Item successfully pushed to Postgres");
}

std::vector<uint8_t> PostgresKeystore::GetItem(const uint64_t& key) {
  EngineLogger().info("Getting item from Postgres");
  const std::string k = std::to_string(key);
  const std::string h = std::to_string(hashed_index_name_);
  const std::string statement = "SELECT value FROM " + table_name_ + " WHERE key = $1 AND index_name = $2;";
  const char* values[2] = {k.c_str(), h.c_str()};
  std::vector<uint8_t> value = conn_->Run(store_kind_, [&] {
    PgResult r(PQexecParams(conn(), statement.c_str(), 2, nullptr, values, nullptr, nullptr, 1));
    // An empty answer means "absent" to the caller, so a failed read must not give one.
    if (PgStatus(r) != PGRES_TUPLES_OK) throw conn_->Failure("Postgres get_item error: ");
    std::vector<uint8_t> found;
    if (PQntuples(r.get()) > 0) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), 0, 0));
      found.assign(bytes, bytes + PQgetlength(r.get(), 0, 0));
    }
    return found;
  });
  EngineLogger().info("Item successfully retrieved from Postgres");
  return value;
}

void PostgresKeystore::DeleteItem(const uint64_t& key) {
  const std::string k = std::to_string(key);
  EngineLogger().info("Deleting item from Postgres with key: " + k);
  const std::string h = std::to_string(hashed_index_name_);
  const std::string statement = "DELETE FROM " + table_name_ + " WHERE key = $1 AND index_name = $2;";
  const char* values[2] = {k.c_str(), h.c_str()};
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    static const std::string kStart = "Delete Failed: ";
    if (fenced) {
      conn_->RunFenced({{nullptr, &statement, 2, values, nullptr, nullptr, &kStart}});
      return;
    }
    PgResult r(PQexecParams(conn(), statement.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart);
  });
  EngineLogger().info("Item successfully deleted from Postgres");
}

void PostgresKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  EngineLogger().info("Deleting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) return;
  const std::string list = KeyArrayLiteral(keys);
  const std::string h = std::to_string(hashed_index_name_);
  const std::string statement = "DELETE FROM " + table_name_ + " WHERE key = ANY($1) AND index_name = $2;";
  const char* values[2] = {list.c_str(), h.c_str()};
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    static const std::string kStart = "Batch delete failed: ";
    if (fenced) {
      conn_->RunFenced({{nullptr, &statement, 2, values, nullptr, nullptr, &kStart}});
      return;
    }
    PgResult r(PQexecParams(conn(), statement.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart);
  });
  EngineLogger().info("Items successfully deleted from Postgres");
}

void PostgresKeystore::SelectKeyValues(const std::vector<uint64_t>& keys, ValueViews& out, bool small_values) {
  try {
    conn_->Run(store_kind_,
               [&] { ReadKeyedValues(*conn_, read_statement_, hashed_index_name_, keys, out, small_values); });
  } catch (...) {
    out.values.clear();
    throw;
  }
}

std::vector<std::vector<uint8_t>> PostgresKeystore::BatchGetVariable(const std::vector<uint64_t>& keys) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    EngineLogger().warning("No keys provided for batch retrieval");
    return {};
  }
  SelectKeyValues(keys, read_scratch_);
  std::vector<std::vector<uint8_t>> result(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    result[i].assign(read_scratch_.values[i].begin(), read_scratch_.values[i].end());
  }
  read_scratch_.buffer.TrimAfterUse();
  EngineLogger().info("Items successfully retrieved from Postgres");
  return result;
}

void PostgresKeystore::BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    EngineLogger().warning("No keys provided for batch retrieval");
    out.values.clear();
    out.owned.clear();
    return;
  }
  SelectKeyValues(keys, out);
  EngineLogger().info("Items successfully retrieved from Postgres");
}

ostrik::ByteMatrix PostgresKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    EngineLogger().warning("No keys provided for batch retrieval");
    return ostrik::ByteMatrix();
  }
  // Index entries are 8 bytes: longer rows would be cut to value_size_ anyway.
  SelectKeyValues(keys, read_scratch_, value_size_ <= kSmallValue);
  ostrik::Bytes buffer(keys.size() * value_size_, 0);
  for (size_t i = 0; i < keys.size(); ++i) {
    // Each value fills its own row: a longer one is cut, a shorter one padded with zeros.
    const std::span<const uint8_t> value = read_scratch_.values[i];
    const size_t n = std::min<size_t>(value.size(), value_size_);
    if (n > 0) std::memcpy(buffer.data() + i * value_size_, value.data(), n);
  }
  read_scratch_.buffer.TrimAfterUse();
  EngineLogger().info("Items successfully retrieved from Postgres");
  return ostrik::ByteMatrix(std::move(buffer), value_size_);
}

void PostgresKeystore::PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) {
  if (store_kind_ != CONFIG) {
    EngineLogger().error("Cannot store config items in a non-config keystore");
    throw std::invalid_argument("Cannot store config items in a non-config keystore");
  }
  const std::string statement = "INSERT INTO " + table_name_ +
                                " (index_name, config) VALUES ($1, $2) ON CONFLICT (index_name) DO UPDATE SET "
                                "config = EXCLUDED.config;";
  const char* values[2] = {name.c_str(), value.empty() ? "" : reinterpret_cast<const char*>(value.data())};
  const int lengths[2] = {static_cast<int>(name.size()), static_cast<int>(value.size())};
  const int formats[2] = {0, 1};
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    static const std::string kStart = "Postgres put_item error: ";
    if (fenced) {
      try {
        conn_->RunFenced({{nullptr, &statement, 2, values, lengths, formats, &kStart}});
      } catch (CommandFailure& failure) {
        throw failure.Unlogged();
      }
      return;
    }
    PgResult r(PQexecParams(conn(), statement.c_str(), 2, nullptr, values, lengths, formats, 0));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart).Unlogged();
  });
}

bool PostgresKeystore::ConfigItemExists(const std::string& name) {
  const std::string statement = "SELECT EXISTS(SELECT 1 FROM " + table_name_ + " WHERE index_name = $1)";
  const char* values[1] = {name.c_str()};
  return conn_->Run(store_kind_, [&] {
    PgResult r(PQexecParams(conn(), statement.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
    if (PgStatus(r) != PGRES_TUPLES_OK) throw conn_->Failure("PostgreSQL query error: ");
    return PQntuples(r.get()) > 0 && std::string(PQgetvalue(r.get(), 0, 0)) == "t";
  });
}

std::vector<uint8_t> PostgresKeystore::LoadConfigItem(const std::string& name) {
  const std::string statement = "SELECT config FROM " + table_name_ + " WHERE index_name = $1;";
  const char* values[1] = {name.c_str()};
  PgResult r = conn_->Run(store_kind_, [&] {
    PgResult result(PQexecParams(conn(), statement.c_str(), 1, nullptr, values, nullptr, nullptr, 1));
    if (PgStatus(result) != PGRES_TUPLES_OK) throw conn_->Failure("Postgres get_item error: ");
    return result;
  });
  if (PQntuples(r.get()) != 1) {
    r.reset();
    EngineLogger().error("Index name '" + name + "' does not exist in Postgres.");
    const std::string index = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    throw std::runtime_error("Index name '" + index + "' does not exist in Postgres.");
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), 0, 0));
  return std::vector<uint8_t>(bytes, bytes + PQgetlength(r.get(), 0, 0));
}

void PostgresKeystore::DeleteIndex() {
  EngineLogger().info("Deleting index from Postgres");
  // Exactly this index's two config items: a prefix match would also take every index whose name
  // begins with this one's.
  const std::string state = index_name_ + ".oei";
  const std::string serialized = index_name_ + ".ovs";
  const std::string h = std::to_string(hashed_index_name_);
  const bool config = store_kind_ == CONFIG;
  const std::string statement = config ? "DELETE FROM " + table_name_ + " WHERE index_name IN ($1, $2);"
                                       : "DELETE FROM " + table_name_ + " WHERE index_name = $1;";
  const char* values[2] = {config ? state.c_str() : h.c_str(), serialized.c_str()};
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    static const std::string kStart = "Failed to delete index: ";
    if (fenced) {
      conn_->RunFenced({{nullptr, &statement, config ? 2 : 1, values, nullptr, nullptr, &kStart}});
      return;
    }
    PgResult r(PQexecParams(conn(), statement.c_str(), config ? 2 : 1, nullptr, values, nullptr, nullptr, 0));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw conn_->Failure(kStart);
  });
  EngineLogger().info("Index successfully deleted from Postgres");
}

uint64_t PostgresKeystore::NumItems() {
  // A config table has no item rows; its text index_name column cannot be compared with a tag.
  if (store_kind_ == CONFIG) return 0;
  const std::string h = std::to_string(hashed_index_name_);
  const std::string statement = "SELECT COUNT(*) FROM " + table_name_ + " WHERE index_name = $1;";
  const char* values[1] = {h.c_str()};
  return conn_->Run(store_kind_, [&]() -> uint64_t {
    PgResult r(PQexecParams(conn(), statement.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
    if (PgStatus(r) != PGRES_TUPLES_OK) throw conn_->Failure("Postgres count error: ");
    if (PQntuples(r.get()) < 1) return 0;
    return std::stoull(PQgetvalue(r.get(), 0, 0), nullptr, 10);
  });
}

void PostgresKeystore::SetValueSize(const uint64_t& size) { value_size_ = size; }

void PostgresKeystore::LockIndex(std::chrono::milliseconds timeout) {
  conn_->LockIndex(this, store_kind_, table_name_, hashed_index_name_, index_name_, timeout);
}

void PostgresKeystore::UnlockIndex() noexcept {
  if (conn_) conn_->UnlockIndex(this);
}

bool PostgresKeystore::HoldsIndexLock() const { return conn_ && conn_->HoldsLock(this); }

void PostgresKeystore::CheckIndexLock() {
  if (conn_) conn_->RefuseIfLost();
  if (!HoldsIndexLock()) {
    const std::string text = LostLockText(index_name_, "it is not held");
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
  conn_->CheckIndexLock(this);
}

void PostgresKeystore::SetLockGuard(uint64_t key, const std::vector<uint8_t>& value) {
  conn_->SetLockGuard(this, key, value);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
