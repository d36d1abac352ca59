// PostgresStoreConnection: the libpq session that the PostgreSQL stores of one index on one server
// and database share. It reopens the session after it broke (after a failure PQstatus is
// CONNECTION_BAD, or the server has closed its end of the socket; see store_connection.h for what
// is repeated), names and prepares statements for the stores on it, and holds the index's writer lock: a session advisory lock keyed by a 64-bit hash
// of the table name and the locking store's tag (of the primary's identity, for a companion), which
// goes when the session does.
//
// Fenced writes run as one implicit transaction of a pipeline whose first statement fails unless
// this very session holds the lock: whatever became of the session the lock was taken on (a
// terminated backend, a reconnect, a pooler handing out another backend), nothing commits without
// the lock. The whole pipeline is one round trip.
//
// A large read may also use up to kReaderSessions - 1 sessions more (ReaderSessions), opened at the
// first such read with the same connection string and kept, so that several server processes look
// keys up at once; they read only, hold no lock and are given up (reads then use the main session
// alone) when one fails or the server refuses to open them.
//
// The constructor throws std::runtime_error "Postgres connection error: " + libpq message (logged at
// CRITICAL). Commands throw CommandFailure with the operation's text and libpq's message. No text
// carries the connection's password (see connection_secrets.h). Not synchronised: one thread at a
// time, like the stores on it.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "stores/pg_result.h"
#include "stores/store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {

class PostgresStoreConnection : public StoreConnection {
 public:
  explicit PostgresStoreConnection(const std::string& connection_string);
  ~PostgresStoreConnection() override;

  PGconn* get() const { return conn_.get(); }
  // libpq's message about the last failure, without the password.
  std::string Message() const;
  // The failure of a command whose text starts with `start`; libpq's message is the reason.
  CommandFailure Failure(const std::string& start) const { return CommandFailure(start, Message()); }

  // The name under which `statement` is prepared on the current session, preparing it when this
  // session has not. Names are the connection's own, so statements of stores on different tables
  // never share one. Throws Failure(failure_start).
  const std::string& Prepared(const std::string& statement, int params, const std::string& failure_start);

  // The writer lock (see Keystore::LockIndex); `table` and `tag` are those of the locking store,
  // whose row under the guard key is the guard.
  void LockIndex(const void* owner, int32_t role, const std::string& table, int64_t tag,
                 const std::string& index_name, std::chrono::milliseconds timeout);
  void UnlockIndex(const void* owner) noexcept;
  void CheckIndexLock(const void* owner);

  // One statement of a fenced write: prepared (its name) or not (its text), its parameters (kept
  // by the caller for the call's time), and the text its failure starts with.
  struct Statement {
    const std::string* prepared = nullptr;
    const std::string* text = nullptr;
    int n_params = 0;
    const char* const* values = nullptr;
    const int* lengths = nullptr;
    const int* formats = nullptr;
    const std::string* failure_start = nullptr;
  };
  // Inside RunWrite's op, when fenced: the statements in one transaction that commits only if this
  // session holds the writer lock. Throws FenceRefused when it does not (nothing commits) and
  // CommandFailure(the failing statement's start, libpq's message) when a statement fails.
  void RunFenced(const std::vector<Statement>& statements);

  // The advisory lock key of a table and tag.
  static int64_t LockKey(const std::string& table, int64_t tag);

  // The most sessions a read uses, the main one included.
  static constexpr size_t kReaderSessions = 4;
  // A session for reads beside the main one, with the statements prepared on it.
  struct ReaderSession {
    PgConnection conn;
    std::unordered_set<std::string> prepared;
  };
  // Up to `n` reading sessions besides the main one, opened when missing; fewer (none) when the
  // server refuses more, which is logged once at WARNING and not tried again on this connection.
  std::vector<ReaderSession*> ReaderSessions(size_t n);
  // Prepares `statement` on a reading session under its name here; false when that failed.
  bool PreparedOn(ReaderSession& session, const std::string& statement, int params);
  // The name `statement` is prepared under (Prepared or PreparedOn gave it one).
  const std::string& StatementName(const std::string& statement) const { return statement_names_.at(statement); }
  // Closes the reading sessions (a later read opens them again).
  void DropReaderSessions() noexcept;

 bool Broken() const override;

 protected:
  void Reopen() override;
  void TakeLockBack(bool wait) override;
  void LeaveParentSession() noexcept override;
  std::string VerifyLock() override;
  void TakeCompanionLock(uint64_t identity, const std::string& index_name, std::chrono::milliseconds timeout,
                         Clock::time_point deadline) override;
  void ReleaseCompanionLock() noexcept override;

 private:
  void AddSessionPassword();
  // One pg_try_advisory_lock; throws CommandFailure.
  bool TryLock(int64_t key);
  // Waits until the lock is taken or `deadline` passes; false when it passed.
  bool PollLock(int64_t key, std::chrono::steady_clock::time_point deadline);
  void Unlock(int64_t key);
  std::vector<uint8_t> ReadGuard() const;
  // Forgets the held lock and releases it on the server (a broken session has); logs instead of
  // throwing.
  void ReleaseHeld() noexcept;
  // The two parameters that name lock_key_ in pg_locks (classid and objid, as text).
  std::array<std::string, 2> LockKeyParts() const;

  PgConnection conn_;
  std::string connection_string_;
  std::vector<std::unique_ptr<ReaderSession>> readers_;
  bool readers_refused_ = false;
  std::vector<std::string> secrets_;
  // Statement text -> name, for the connection's life; the names prepared on the current session.
  std::unordered_map<std::string, std::string> statement_names_;
  std::unordered_set<std::string> prepared_;
  // The held lock's target (valid while lock_.owner is set).
  std::string lock_table_;
  int64_t lock_tag_ = 0;
  int64_t lock_key_ = 0;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
