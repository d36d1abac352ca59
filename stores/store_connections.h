// StoreConnections: the connections of one index's stores, so that stores naming the same server
// and database share one connection (an index runs one operation at a time, from one thread).
// Two PostgreSQL locations share when their connection strings parse (PQconninfoParse) to the
// same options, so the URI and keyword forms of one target meet; two Redis locations when their
// settings (host, port, db and the TLS settings) are equal. Stores hold their connection by
// shared_ptr and the registry only watches it, so a connection closes with its last store, and
// the registry may end before the stores it served.
//
// The connections of one registry form one LockGroup: the writer lock of the index spans them.
//
// Opening a connection throws what the connection's constructor throws
// (postgres_store_connection.h, redis_store_connection.h). Not synchronised: one registry per
// index, used by the thread that builds its stores.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "stores/lock_group.h"

namespace ostrik_encrypted_index::internal::backing_store {

class PostgresStoreConnection;
class RedisStoreConnection;
struct RedisConnectionSettings;

class StoreConnections {
 public:
  StoreConnections();
  ~StoreConnections();

  StoreConnections(const StoreConnections&) = delete;
  StoreConnections& operator=(const StoreConnections&) = delete;

  // The connection to the target of `connection_string`, opened when no live store of this
  // registry has one. A string libpq cannot parse is never shared (opening it reports why).
  std::shared_ptr<PostgresStoreConnection> Postgres(const std::string& connection_string);
  std::shared_ptr<RedisStoreConnection> Redis(const RedisConnectionSettings& settings);

  // How many connections of this registry are open.
  size_t open() const;

 private:
  std::map<std::string, std::weak_ptr<PostgresStoreConnection>> postgres_;
  std::map<std::string, std::weak_ptr<RedisStoreConnection>> redis_;
  std::shared_ptr<LockGroup> group_ = std::make_shared<LockGroup>();
};

}  // namespace ostrik_encrypted_index::internal::backing_store
