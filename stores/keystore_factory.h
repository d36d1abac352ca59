// CreateKeystore: builds the store of one location and kind. It is the only way a store comes into
// being; for PostgreSQL it also connects and makes sure the store's table exists with the expected
// columns.
//
// Throws std::invalid_argument "Invalid location for backing store" for an unknown location code
// (logged at CRITICAL); every other failure (location NONE included) is logged at CRITICAL as
// "Failed to create backing store: " + message and thrown as std::runtime_error with the message.
// Every password the connection string carries is replaced by "****" in the logged and thrown
// texts (see connection_secrets.h).
// Never returns an empty pointer. Runs on the calling thread. The stores built with one registry
// (store_connections.h) share a connection where they name one server and database; the
// overloads without one give each store a connection of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/config.h"
#include "stores/keystore.h"
#include "stores/store_connections.h"

namespace ostrik_encrypted_index::internal::backing_store {

// kind is a StoreKind. The store is tagged with index_name_hash + kind (modulo 2^64). Pass the
// four stores of one index one registry.
std::unique_ptr<Keystore> CreateKeystore(const ostrik::DBConfig& config, const std::string& index_name,
                                         const uint64_t& index_name_hash, const int32_t& kind,
                                         StoreConnections& connections);

// A store with a connection of its own.
inline std::unique_ptr<Keystore> CreateKeystore(const ostrik::DBConfig& config, const std::string& index_name,
                                                const uint64_t& index_name_hash, const int32_t& kind) {
  StoreConnections own;
  return CreateKeystore(config, index_name, index_name_hash, kind, own);
}

// The same, for callers that hold the store in an existing pointer: `out` is replaced only on
// success.
inline void CreateKeystore(std::unique_ptr<Keystore>& out, const ostrik::DBConfig& config,
                           const std::string& index_name, const uint64_t& index_name_hash,
                           const int32_t& kind) {
  out = CreateKeystore(config, index_name, index_name_hash, kind);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
