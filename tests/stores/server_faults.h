// Real faults of the test servers, for the reconnect, lock and sharing suites: a second connection
// that drops a store's connection (pg_terminate_backend by application name, CLIENT KILL of every
// other client), counts connections, and the test servers' own stop/start/restart scripts. Each
// suite runs on PostgreSQL, plain Redis and TLS Redis.
//
// Helpers report failures through gtest assertions. One thread; the suites hold the test servers'
// resource lock, so nothing else uses the servers meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "store_fixtures.h"
#include "support/store_backends.h"
#include "stores/pg_result.h"
#include "stores/redis_connection.h"
#include "stores/redis_handles.h"

namespace dz_test {

enum class Server { Postgres, Redis, RedisTls };

inline std::string ServerName(const testing::TestParamInfo<Server>& info) {
  switch (info.param) {
    case Server::Postgres: return "Postgres";
    case Server::Redis: return "Redis";
    case Server::RedisTls: return "RedisTls";
  }
  return "Unknown";
}

inline const char* CtlVariable(Server s) {
  switch (s) {
    case Server::Postgres: return "DZ_PG_CTL";
    case Server::Redis: return "DZ_REDIS_CTL";
    case Server::RedisTls: return "DZ_REDIS_TLS_CTL";
  }
  return "";
}

// Runs the server's stop/start/restart script; true when it succeeded.
inline bool ServerCtl(Server s, const std::string& action) {
  const auto script = EnvVar(CtlVariable(s));
  if (!script) return false;
  return std::system((*script + " " + action).c_str()) == 0;
}

// Stops a server for the scope's time; it is started again at the end whatever happened.
class StoppedServer {
 public:
  explicit StoppedServer(Server s) : server_(s) { stopped_ = ServerCtl(s, "stop"); }
  ~StoppedServer() {
    if (stopped_) {
      EXPECT_TRUE(ServerCtl(server_, "start")) << "could not start the server again";
    }
  }
  bool stopped() const { return stopped_; }

 private:
  Server server_;
  bool stopped_ = false;
};

// A connection of the test's own to the PostgreSQL test cluster.
class PgAdmin {
 public:
  explicit PgAdmin(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    EXPECT_EQ(PQstatus(conn_.get()), CONNECTION_OK) << PQerrorMessage(conn_.get());
  }

  // Runs SQL with text parameters; the first value of the first row, if any.
  std::string Sql(const std::string& sql, const std::vector<std::string>& params = {}) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    ostrik_encrypted_index::internal::backing_store::PgResult r(PQexecParams(
        conn_.get(), sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
    const auto status = ostrik_encrypted_index::internal::backing_store::PgStatus(r);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(conn_.get());
    if (status == PGRES_TUPLES_OK && PQntuples(r.get()) > 0) return PQgetvalue(r.get(), 0, 0);
    return "";
  }

  int Backends(const std::string& application_name) {
    return std::stoi(Sql("SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = $1", {application_name}));
  }

  // Ends the backends of an application name and waits until they are gone; how many there were.
  int Terminate(const std::string& application_name) {
    return std::stoi(Sql("SELECT COUNT(*) FROM (SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                         "WHERE application_name = $1) AS t",
                         {application_name}));
  }

  // Waits (bounded) until an application name has `n` backends: a closed connection's backend
  // ends a moment after the client.
  int WaitForBackends(const std::string& application_name, int n) {
    int now = Backends(application_name);
    for (int i = 0; i < 200 && now != n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      now = Backends(application_name);
    }
    return now;
  }

 private:
  ostrik_encrypted_index::internal::backing_store::PgConnection conn_;
};

// A connection of the test's own to a Redis test server.
class RedisAdmin {
 public:
  explicit RedisAdmin(const std::string& store_conn_string) {
    namespace bs = ostrik_encrypted_index::internal::backing_store;
    context_ = bs::ConnectRedis(bs::ReadRedisConnectionSettings(store_conn_string));
  }

  template <typename... Args>
  ostrik_encrypted_index::internal::backing_store::RedisReply Command(const char* format, Args... args) {
    auto reply = ostrik_encrypted_index::internal::backing_store::TakeReply(
        redisCommand(context_.get(), format, args...));
    EXPECT_TRUE(reply && !context_->err) << format << ": " << context_->errstr;
    return reply;
  }

  // Drops every other normal client's connection; how many there were.
  long long KillOthers() {
    auto reply = Command("CLIENT KILL TYPE normal SKIPME yes");
    return reply && reply->type == REDIS_REPLY_INTEGER ? reply->integer : -1;
  }

  long long Info(const std::string& field) {
    auto reply = Command("INFO");
    if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_VERB)) return -1;
    const std::string text(reply->str, reply->len);
    const size_t at = text.find(field + ":");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + field.size() + 1));
  }

  // Clients other than this one, waiting (bounded) until there are `n`.
  long long WaitForOtherClients(long long n) {
    long long now = Info("connected_clients") - 1;
    for (int i = 0; i < 200 && now != n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      now = Info("connected_clients") - 1;
    }
    return now;
  }

 private:
  ostrik_encrypted_index::internal::backing_store::RedisContext context_;
};

// The store connection string of a server; for PostgreSQL with an application name of the test's
// own, so that its backends can be found and dropped.
inline std::optional<std::string> StoreConnString(Server s, const std::string& application_name) {
  switch (s) {
    case Server::Postgres: {
      auto conn = PostgresConnString();
      if (!conn) return std::nullopt;
      return *conn + " application_name=" + application_name;
    }
    case Server::Redis: return RedisConnString();
    case Server::RedisTls: return RedisTlsConnString();
  }
  return std::nullopt;
}

inline ostrik::DBConfig Location(Server s, const std::string& conn, const std::string& table) {
  return s == Server::Postgres ? PostgresLocation(conn, table) : RedisLocation(conn, table);
}

}  // namespace dz_test
