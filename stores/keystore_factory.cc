#include "stores/keystore_factory.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "core/logger.h"
#include "stores/connection_secrets.h"
#include "stores/memory_keystore.h"
#include "stores/postgres_keystore.h"
#include "stores/postgres_table_setup.h"
#include "stores/redis_keystore.h"

namespace ostrik_encrypted_index::internal::backing_store {

std::unique_ptr<Keystore> CreateKeystore(const ostrik::DBConfig& config, const std::string& index_name,
                                         const uint64_t& index_name_hash, const int32_t& kind,
                                         StoreConnections& connections) {
  using ostrik::EngineLogger;
  const int32_t location = config.location;
  if (location != ostrik::REDIS && location != ostrik::MEMORY && location != ostrik::POSTGRES &&
      location != ostrik::NONE) {
    EngineLogger().critical("Invalid location for backing store");
    throw std::invalid_argument("Invalid location for backing store");
  }
  const std::vector<std::string> secrets =
      config.connection_string ? ConnectionSecrets(*config.connection_string) : std::vector<std::string>();
  try {
    switch (location) {
      case ostrik::MEMORY:
        return std::make_unique<MemoryKeystore>(index_name, index_name_hash, kind);
      case ostrik::REDIS: {
        const ostrik::DBConfig copy = config;
        return std::make_unique<RedisKeystore>(copy, index_name, index_name_hash, kind, connections);
      }
      case ostrik::POSTGRES:
        return std::make_unique<PostgresKeystore>(config, index_name, index_name_hash, kind, connections);
      default:
        throw std::invalid_argument("Invalid location for backing store");
    }
  } catch (const InvalidTableName& e) {
    // Bad input, not an operational failure: it keeps its type.
    const std::string message = RedactSecrets(e.what(), secrets);
    EngineLogger().critical("Failed to create backing store: " + message);
    if (message == e.what()) throw;
    throw InvalidTableName(message);
  } catch (const std::exception& e) {
    // Whatever a store or its client library put in the text, the password stays out of it.
    const std::string message = RedactSecrets(e.what(), secrets);
    EngineLogger().critical("Failed to create backing store: " + message);
    throw std::runtime_error(message);
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
