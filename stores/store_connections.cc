#include "stores/store_connections.h"

#include <libpq-fe.h>

#include <optional>
#include <string_view>
#include <string>

#include "stores/postgres_store_connection.h"
#include "stores/redis_store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

// Each part with its length, so that no two lists of parts give one key.
void AddPart(std::string& key, std::string_view part) {
  key += std::to_string(part.size());
  key += ':';
  key += part;
}

void AddOptionalPart(std::string& key, const std::optional<std::string>& part) {
  if (!part) {
    key += '-';
    return;
  }
  key += '+';
  AddPart(key, *part);
}

// Every option the string sets, in libpq's fixed option order; empty when it does not parse.
std::string PostgresTarget(const std::string& connection_string) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(connection_string.c_str(), &error);
  if (error != nullptr) PQfreemem(error);
  if (options == nullptr) return {};
  std::string key = "pg";
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    AddPart(key, o->keyword);
    AddPart(key, o->val);
  }
  PQconninfoFree(options);
  return key;
}

std::string RedisTarget(const RedisConnectionSettings& s) {
  std::string key = "redis";
  AddPart(key, s.host);
  AddPart(key, std::to_string(s.port));
  AddPart(key, std::to_string(s.db));
  AddPart(key, s.tls ? "tls" : "plain");
  AddOptionalPart(key, s.ca_cert);
  AddOptionalPart(key, s.ca_path);
  AddOptionalPart(key, s.cert);
  AddOptionalPart(key, s.key);
  return key;
}

template <typename Connection, typename Open>
std::shared_ptr<Connection> Shared(std::map<std::string, std::weak_ptr<Connection>>& open, const std::string& key,
                                   const std::shared_ptr<LockGroup>& group, Open&& make) {
  for (auto it = open.begin(); it != open.end();) {
    it = it->second.expired() ? open.erase(it) : std::next(it);
  }
  if (auto it = open.find(key); !key.empty() && it != open.end()) return it->second.lock();
  std::shared_ptr<Connection> connection = make();
  connection->JoinGroup(group);
  if (!key.empty()) open.emplace(key, connection);
  return connection;
}

}  // namespace

StoreConnections::StoreConnections() = default;
StoreConnections::~StoreConnections() = default;

std::shared_ptr<PostgresStoreConnection> StoreConnections::Postgres(const std::string& connection_string) {
  return Shared(postgres_, PostgresTarget(connection_string), group_,
                [&] { return std::make_shared<PostgresStoreConnection>(connection_string); });
}

std::shared_ptr<RedisStoreConnection> StoreConnections::Redis(const RedisConnectionSettings& settings) {
  return Shared(redis_, RedisTarget(settings), group_, [&] { return std::make_shared<RedisStoreConnection>(settings); });
}

size_t StoreConnections::open() const {
  size_t n = 0;
  for (const auto& [key, connection] : postgres_) n += connection.expired() ? 0 : 1;
  for (const auto& [key, connection] : redis_) n += connection.expired() ? 0 : 1;
  return n;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
