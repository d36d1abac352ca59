// The Redis connection of a store: the connection-string grammar, and the blocking connection with
// its connect timeout, optional TLS, database selection and liveness check.
//
// Connection strings are comma-separated key:value pairs, not trimmed, a later pair replacing an
// earlier one; host, port and db are required; ssl ("true" or "1"), ca_cert, ca_path, cert and key
// are optional. With ca_cert or ca_path the server's certificate is verified and its name checked
// against host; without either the connection is encrypted but unverified.
//
// Everything throws std::runtime_error with the texts of the store's construction, except a port
// that is not a number (std::invalid_argument or std::out_of_range "stoi"). A failed connection is
// released before the throw. Connecting blocks SIGPIPE on the calling thread (see sigpipe_guard.h).
// Not synchronised: a connection belongs to the stores of one index (redis_store_connection.h).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "stores/redis_handles.h"

namespace ostrik_encrypted_index::internal::backing_store {

// The pairs of a connection string, by the grammar above.
std::map<std::string, std::string> ParseRedisConnectionString(const std::string& connection_string);

struct RedisConnectionSettings {
  std::string host;
  int port = 0;
  int db = 0;
  bool tls = false;
  std::optional<std::string> ca_cert;
  std::optional<std::string> ca_path;
  std::optional<std::string> cert;
  std::optional<std::string> key;
};

// Checks the required keys and the db value and converts them.
RedisConnectionSettings ReadRedisConnectionSettings(const std::string& connection_string);

// Connects, sets up TLS when asked for, selects the database and sends PING.
RedisContext ConnectRedis(const RedisConnectionSettings& settings);

}  // namespace ostrik_encrypted_index::internal::backing_store
