// PostgreSQL table set-up shared by the store factory, the PostgreSQL store and the index listing:
// the rule for table names, the creation of a store's table when it is missing, the check of its
// columns, the upgrade of an item table whose primary key is `key` alone, and the storage setting
// that keeps item values of up to half a page in their rows (toast_tuple_target), given to existing
// item tables too.
//
// Item tables are keyed by (key, index_name) so that stores sharing a table never touch each
// other's rows. Table names are plain SQL identifiers spliced unquoted (the server folds them to
// lower case); catalogue look-ups pass the folded name as a parameter.
//
// CheckPostgresTableName throws std::invalid_argument; the others throw std::runtime_error after
// an ERROR line through engine_logger. The connection is borrowed; nothing is synchronised.
#pragma once

#include <libpq-fe.h>

#include <stdexcept>
#include <string>

namespace ostrik_encrypted_index::internal::backing_store {

// A table name refused by CheckPostgresTableName; the factory lets it through as bad input.
class InvalidTableName : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The conflict clause of every item upsert; it follows the item table's primary key.
inline constexpr const char* kItemUpsertConflict =
    " ON CONFLICT (key, index_name) DO UPDATE SET value = EXCLUDED.value;";

// Refuses a name that is not a letter or underscore followed by letters, digits and underscores,
// at most 63 bytes: only such a name can be spliced into a statement without changing it.
void CheckPostgresTableName(const std::string& table);

// The name as the server stores an unquoted identifier: ASCII letters in lower case.
std::string FoldedTableName(const std::string& table);

// Creates the table when no schema holds one of that name, then checks its columns; upgrades an
// existing item table whose primary key is `key` alone, and gives it the storage setting unless
// it has a threshold of its own (a session that may not alter it logs a WARNING and goes on).
void SetUpPostgresTable(PGconn* conn, const std::string& table, bool config_layout);

// Throws when a column named as in the layout has another type; other columns pass.
void VerifyTableSchema(PGconn* conn, const std::string& table, bool config_layout);

}  // namespace ostrik_encrypted_index::internal::backing_store
