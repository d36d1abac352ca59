#include "stores/postgres_store_connection.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/connection_secrets.h"

namespace ostrik_encrypted_index::internal::backing_store {

PostgresStoreConnection::PostgresStoreConnection(const std::string& connection_string)
    : connection_string_(connection_string), secrets_(ConnectionSecrets(connection_string)) {
  conn_.reset(PQconnectdb(connection_string.c_str()));
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
    // The client library's parse errors echo the token they refused, a password included.
    const std::string message = RedactSecrets(conn_ ? PQerrorMessage(conn_.get()) : "out of memory", secrets_);
    conn_.reset();
    const std::string text = "Postgres connection error: " + message;
    ostrik::EngineLogger().critical(text);
    throw std::runtime_error(text);
  }
  AddSessionPassword();
}

// libpq says goodbye to the server on close: never on the parent's session.
PostgresStoreConnection::~PostgresStoreConnection() {
  if (Inherited()) LeaveParentSession();
}

// The reset that follows closes the silenced socket and connects anew.
void PostgresStoreConnection::LeaveParentSession() noexcept {
  if (conn_) SilenceSocket(PQsocket(conn_.get()));
  DropReaderSessions();
}

// The password may also come from the environment or a password file.
void PostgresStoreConnection::AddSessionPassword() {
  const char* password = PQpass(conn_.get());
  if (password != nullptr && *password != '\0' &&
      std::find(secrets_.begin(), secrets_.end(), password) == secrets_.end()) {
    secrets_.emplace_back(password);
  }
}

std::string PostgresStoreConnection::Message() const {
  return RedactSecrets(conn_ ? PQerrorMessage(conn_.get()) : "no connection", secrets_);
}

bool PostgresStoreConnection::Broken() const {
  if (!conn_ || PQstatus(conn_.get()) == CONNECTION_BAD) return true;
  // libpq marks a session bad only once it has read the end of the socket, which can come after a
  // command already failed for it ("server closed the connection unexpectedly" while sending): a
  // server that closed its end has ended the session. Polling reads nothing, so an inherited
  // socket is left alone.
  pollfd socket{PQsocket(conn_.get()), POLLRDHUP, 0};
  return socket.fd < 0 || (poll(&socket, 1, 0) == 1 && (socket.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
}

void PostgresStoreConnection::Reopen() {
  // A new session knows none of the old one's prepared statements; the reading sessions went the
  // way of the main one, or soon will.
  prepared_.clear();
  DropReaderSessions();
  if (!conn_) throw std::runtime_error("no connection");
  PQreset(conn_.get());
  if (PQstatus(conn_.get()) != CONNECTION_OK) throw std::runtime_error(Message());
  AddSessionPassword();
}

const std::string& PostgresStoreConnection::Prepared(const std::string& statement, int params,
                                                     const std::string& failure_start) {
  auto it = statement_names_.find(statement);
  if (it == statement_names_.end()) {
    // A counter, not the table name: a name may be 63 bytes, and so is a statement name at most.
    it = statement_names_.emplace(statement, "dz_stmt_" + std::to_string(statement_names_.size() + 1)).first;
  }
  if (prepared_.find(it->second) == prepared_.end()) {
    PgResult r(PQprepare(conn_.get(), it->second.c_str(), statement.c_str(), params, nullptr));
    if (PgStatus(r) != PGRES_COMMAND_OK) throw Failure(failure_start);
    prepared_.insert(it->second);
  }
  return it->second;
}

std::vector<PostgresStoreConnection::ReaderSession*> PostgresStoreConnection::ReaderSessions(size_t n) {
  while (readers_.size() < n && !readers_refused_) {
    auto reader = std::make_unique<ReaderSession>();
    reader->conn.reset(PQconnectdb(connection_string_.c_str()));
    if (!reader->conn || PQstatus(reader->conn.get()) != CONNECTION_OK) {
      // A server at its connection limit, say: reads go on one session, as they always could.
      readers_refused_ = true;
      const std::string why =
          RedactSecrets(reader->conn ? PQerrorMessage(reader->conn.get()) : "out of memory", secrets_);
      ostrik::EngineLogger().warning("Could not open a PostgreSQL session for reading beside the first (" + why +
                                     "); large reads use one session");
      break;
    }
    readers_.push_back(std::move(reader));
  }
  std::vector<ReaderSession*> out;
  for (size_t i = 0; i < readers_.size() && i < n; ++i) out.push_back(readers_[i].get());
  return out;
}

bool PostgresStoreConnection::PreparedOn(ReaderSession& session, const std::string& statement, int params) {
  auto it = statement_names_.find(statement);
  if (it == statement_names_.end()) {
    it = statement_names_.emplace(statement, "dz_stmt_" + std::to_string(statement_names_.size() + 1)).first;
  }
  if (session.prepared.count(it->second) == 0) {
    PgResult r(PQprepare(session.conn.get(), it->second.c_str(), statement.c_str(), params, nullptr));
    if (PgStatus(r) != PGRES_COMMAND_OK) return false;
    session.prepared.insert(it->second);
  }
  return true;
}

void PostgresStoreConnection::DropReaderSessions() noexcept {
  // libpq says goodbye on close: never on sockets a forked child shares with its parent.
  if (Inherited()) {
    for (auto& reader : readers_) SilenceSocket(PQsocket(reader->conn.get()));
  }
  readers_.clear();
}

}  // namespace ostrik_encrypted_index::internal::backing_store
