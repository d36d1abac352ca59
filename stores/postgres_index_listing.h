// ListPostgresIndexes: the names of the indexes whose serialized configuration (a config item named
// by the index name + ".ovs") a PostgreSQL config table holds, in the server's row order.
//
// Opens a connection of its own for the one query and closes it on every path. Throws
// std::invalid_argument for a missing table name or connection string, or a table name that is not
// a plain SQL identifier; std::runtime_error when the connection or the query fails, its text
// without the connection's password. Logs through engine_logger. Runs on the calling thread and
// shares nothing.
#pragma once

#include <string>
#include <vector>

#include "core/config.h"

namespace ostrik_encrypted_index::internal::backing_store {

std::vector<std::string> ListPostgresIndexes(const ostrik::DBConfig& config);

}  // namespace ostrik_encrypted_index::internal::backing_store
