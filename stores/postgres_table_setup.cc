#include "stores/postgres_table_setup.h"

#include <iostream>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/connection_secrets.h"
#include "stores/pg_result.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

// Rows of up to half a page stay whole: no compression attempt, no TOAST chunks, and two rows
// still share a page (a row of up to a whole page would take one alone, and its overwrites cost
// twice the pages of a TOASTed one).
constexpr const char* kItemTableStorage = "toast_tuple_target = 4080";

std::string ConnMessage(PGconn* conn) {
  const char* password = PQpass(conn);
  return RedactSecrets(PQerrorMessage(conn), {password != nullptr ? password : ""});
}

[[noreturn]] void Fail(const std::string& logged, const std::string& thrown) {
  EngineLogger().error(logged);
  throw std::runtime_error(thrown);
}

PgResult ExecText(PGconn* conn, const std::string& sql, const std::string& param) {
  const char* values[1] = {param.c_str()};
  return PgResult(PQexecParams(conn, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
}

// Columns of the primary key of the table the unquoted name resolves to (through the search
// path, as every statement does), joined by ","; empty when it has none. Also gives the
// constraint's name, quoted for splicing.
struct PrimaryKey {
  std::string columns;
  std::string quoted_name;
};

PrimaryKey ReadPrimaryKey(PGconn* conn, const std::string& table) {
  static const std::string kQuery =
      "SELECT quote_ident(c.conname), array_to_string(ARRAY("
      "SELECT a.attname FROM unnest(c.conkey) WITH ORDINALITY AS k(num, ord) "
      "JOIN pg_attribute a ON a.attrelid = c.conrelid AND a.attnum = k.num ORDER BY k.ord), ',') "
      "FROM pg_constraint c WHERE c.conrelid = to_regclass($1) AND c.contype = 'p';";
  PgResult r = ExecText(conn, kQuery, table);
  if (PgStatus(r) != PGRES_TUPLES_OK) {
    const std::string text = "Failed to read the primary key of table " + table + ": " + ConnMessage(conn);
    Fail(text, text);
  }
  PrimaryKey pk;
  if (PQntuples(r.get()) > 0) {
    pk.quoted_name = PQgetvalue(r.get(), 0, 0);
    pk.columns = PQgetvalue(r.get(), 0, 1);
  }
  return pk;
}

bool CommandOk(PGconn* conn, const std::string& sql) {
  PgResult r(PQexec(conn, sql.c_str()));
  return PgStatus(r) == PGRES_COMMAND_OK;
}

// Tables made before items were keyed per store have `key` alone as their primary key, so equal
// keys of two stores would overwrite each other. The composite key replaces it in one
// transaction, under a lock that keeps a concurrent set-up from racing the change.
void UpgradeItemPrimaryKey(PGconn* conn, const std::string& table) {
  if (ReadPrimaryKey(conn, table).columns != "key") return;
  EngineLogger().warning("Table " + table +
                         " has its primary key on key alone; upgrading it to (key, index_name) so that "
                         "stores sharing the table stay apart.");
  const std::string prefix = "Failed to upgrade the primary key of table " + table + " to (key, index_name): ";
  if (!CommandOk(conn, "BEGIN")) {
    const std::string text = prefix + ConnMessage(conn);
    Fail(text, text);
  }
  try {
    if (!CommandOk(conn, "LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE;")) {
      throw std::runtime_error(ConnMessage(conn));
    }
    const PrimaryKey pk = ReadPrimaryKey(conn, table);
    if (pk.columns == "key" &&
        !CommandOk(conn, "ALTER TABLE " + table + " DROP CONSTRAINT " + pk.quoted_name +
                             ", ADD PRIMARY KEY (key, index_name);")) {
      throw std::runtime_error(ConnMessage(conn));
    }
    if (!CommandOk(conn, "COMMIT")) throw std::runtime_error(ConnMessage(conn));
  } catch (const std::exception& e) {
    PgResult rollback(PQexec(conn, "ROLLBACK"));
    const std::string text = prefix + e.what();
    Fail(text, text);
  }
}

// Item values of a few kilobytes (a vector's record) would otherwise lie out of line in TOAST
// chunks that every read looks up and joins again. Only the threshold changes, not the layout;
// it applies to rows written from now on, and a row written before moves into the row with its
// next write (an upsert, a training). A table whose owner set a threshold of its own keeps it; one
// this session may not alter is read as it is.
void KeepValuesInRow(PGconn* conn, const std::string& table) {
  PgResult r = ExecText(conn,
                        "SELECT EXISTS (SELECT FROM pg_class c, unnest(c.reloptions) o WHERE c.oid = to_regclass($1) "
                        "AND split_part(o, '=', 1) = 'toast_tuple_target');",
                        table);
  if (PgStatus(r) != PGRES_TUPLES_OK || PQntuples(r.get()) < 1 || PQgetvalue(r.get(), 0, 0)[0] == 't') return;
  r.reset();
  const std::string alter = "ALTER TABLE " + table + " SET (" + kItemTableStorage + ");";
  if (!CommandOk(conn, alter)) {
    EngineLogger().warning("Table " + table + " keeps its values of more than 2 kB out of line: " + ConnMessage(conn));
  }
}

bool IsIdentifierStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentifierChar(char c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9'); }

}  // namespace

void CheckPostgresTableName(const std::string& table) {
  bool ok = !table.empty() && table.size() <= 63 && IsIdentifierStart(table[0]);
  for (size_t i = 1; ok && i < table.size(); ++i) ok = IsIdentifierChar(table[i]);
  if (!ok) {
    throw InvalidTableName("Invalid PostgreSQL table name '" + table +
                                "': expected a letter or underscore followed by letters, digits and "
                                "underscores, at most 63 bytes");
  }
}

std::string FoldedTableName(const std::string& table) {
  std::string folded = table;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

void SetUpPostgresTable(PGconn* conn, const std::string& table, bool config_layout) {
  const std::string folded = FoldedTableName(table);
  bool exists = false;
  {
    PgResult r = ExecText(conn, "SELECT EXISTS (SELECT FROM information_schema.tables WHERE table_name = $1);",
                          folded);
    if (PgStatus(r) != PGRES_TUPLES_OK) {
      Fail("Failed to check if table exists: " + ConnMessage(conn), ConnMessage(conn));
    }
    exists = PQntuples(r.get()) > 0 && PQgetvalue(r.get(), 0, 0)[0] == 't';
  }
  if (!exists) {
    const std::string create =
        config_layout ? "CREATE TABLE " + table + " (index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL);"
                      : "CREATE TABLE " + table +
                            " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT NOT NULL, "
                            "PRIMARY KEY (key, index_name)) WITH (" +
                            kItemTableStorage + ");";
    PgResult r(PQexec(conn, create.c_str()));
    if (PgStatus(r) != PGRES_COMMAND_OK) {
      const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
      if (state != nullptr && std::string(state) == "42P07") {
        // Made by someone else between the check and the creation: it may be of the old form.
        exists = true;
        EngineLogger().warning("Table " + table + " already exists.");
        std::cerr << "Table " << table << " already exists." << std::endl;
      } else {
        const std::string text = "Failed to create postgres table: " + ConnMessage(conn);
        Fail(text, text);
      }
    }
    VerifyTableSchema(conn, table, config_layout);
  }
  if (exists && !config_layout) {
    UpgradeItemPrimaryKey(conn, table);
    KeepValuesInRow(conn, table);
  }
}

void VerifyTableSchema(PGconn* conn, const std::string& table, bool config_layout) {
  PgResult r = ExecText(conn, "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = $1;",
                        FoldedTableName(table));
  if (PgStatus(r) != PGRES_TUPLES_OK) {
    const std::string text = "Failed to verify schema for table " + table + ": " + ConnMessage(conn);
    Fail(text, text);
  }
  const int rows = PQntuples(r.get());
  for (int i = 0; i < rows; ++i) {
    const std::string column = PQgetvalue(r.get(), i, 0);
    const std::string type = PQgetvalue(r.get(), i, 1);
    bool ok = true;
    if (config_layout) {
      if (column == "index_name") ok = type == "character varying";
      if (column == "config") ok = type == "bytea";
    } else {
      if (column == "key") ok = type == "character varying";
      if (column == "value") ok = type == "bytea";
      if (column == "index_name") ok = type == "bigint";
    }
    if (!ok) {
      const std::string text = "Table " + table + " exists but does not match the expected schema.";
      Fail(text, text);
    }
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
