#include "stores/postgres_index_listing.h"

#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/connection_secrets.h"
#include "stores/pg_result.h"
#include "stores/postgres_table_setup.h"

namespace ostrik_encrypted_index::internal::backing_store {

std::vector<std::string> ListPostgresIndexes(const ostrik::DBConfig& config) {
  using ostrik::EngineLogger;
  if (!config.table_name) {
    EngineLogger().error("table_name is not set in DBConfig.");
    throw std::invalid_argument("table_name is not set in DBConfig.");
  }
  if (!config.connection_string) {
    EngineLogger().error("Database connection string is missing in the configuration.");
    throw std::invalid_argument("Database connection string is missing in the configuration.");
  }
  const std::string& table = *config.table_name;
  try {
    CheckPostgresTableName(table);
  } catch (const std::exception& e) {
    EngineLogger().error(e.what());
    throw;
  }

  // The client library's parse errors echo the token they refused, a password included.
  const std::vector<std::string> secrets = ConnectionSecrets(*config.connection_string);
  PgConnection conn(PQconnectdb(config.connection_string->c_str()));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    const std::string text = "Failed to connect to PostgreSQL: " +
                             RedactSecrets(conn ? PQerrorMessage(conn.get()) : "out of memory", secrets);
    conn.reset();
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
  // Unquoted, like every other statement on the table, so that it names the same table.
  const std::string query = "SELECT index_name FROM " + table + ";";
  PgResult r(PQexec(conn.get(), query.c_str()));
  if (PgStatus(r) != PGRES_TUPLES_OK) {
    const std::string text = "Failed to execute query: " + RedactSecrets(PQerrorMessage(conn.get()), secrets);
    r.reset();
    conn.reset();
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
  static const std::string kSuffix = ".ovs";
  std::vector<std::string> names;
  const int rows = PQntuples(r.get());
  for (int i = 0; i < rows; ++i) {
    const std::string name = PQgetvalue(r.get(), i, 0);
    if (name.size() > kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
      names.push_back(name.substr(0, name.size() - kSuffix.size()));
    }
  }
  return names;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
