// The writer lock of PostgresStoreConnection: a session advisory lock, polled with
// pg_try_advisory_lock (a blocking pg_advisory_lock could not be given up at a timeout).
#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/logger.h"
#include "core/sha3.h"
#include "stores/postgres_store_connection.h"
#include "stores/postgres_table_setup.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kFirstBackoff{5};
constexpr std::chrono::milliseconds kMaxBackoff{100};

// A companion's key: the primary's identity under a text of its own, so that it never meets the
// key of a primary lock.
int64_t CompanionKey(uint64_t identity) {
  const std::string text = "dz companion writer lock\n";
  ostrik::Bytes input(text.begin(), text.end());
  for (int i = 0; i < 8; ++i) input.push_back(static_cast<uint8_t>(identity >> (8 * i)));
  return static_cast<int64_t>(ostrik::Sha3BytesToU64(input));
}

}  // namespace

int64_t PostgresStoreConnection::LockKey(const std::string& table, int64_t tag) {
  const std::string text = "dz writer lock\n" + FoldedTableName(table) + "\n";
  ostrik::Bytes input(text.begin(), text.end());
  const auto bits = static_cast<uint64_t>(tag);
  for (int i = 0; i < 8; ++i) input.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  return static_cast<int64_t>(ostrik::Sha3BytesToU64(input));
}

bool PostgresStoreConnection::TryLock(int64_t key) {
  const std::string k = std::to_string(key);
  const char* values[1] = {k.c_str()};
  PgResult r(PQexecParams(conn_.get(), "SELECT pg_try_advisory_lock($1::bigint);", 1, nullptr, values, nullptr,
                          nullptr, 0));
  if (PgStatus(r) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) throw Failure("Failed to take the writer lock: ");
  return PQgetvalue(r.get(), 0, 0)[0] == 't';
}

bool PostgresStoreConnection::PollLock(int64_t key, Clock::time_point deadline) {
  auto backoff = kFirstBackoff;
  while (true) {
    if (TryLock(key)) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(backoff, deadline - now));
    backoff = std::min(backoff * 2, kMaxBackoff);
  }
}

void PostgresStoreConnection::Unlock(int64_t key) {
  const std::string k = std::to_string(key);
  const char* values[1] = {k.c_str()};
  PgResult r(PQexecParams(conn_.get(), "SELECT pg_advisory_unlock($1::bigint);", 1, nullptr, values, nullptr,
                          nullptr, 0));
  if (PgStatus(r) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) throw Failure("Failed to release the writer lock: ");
  if (PQgetvalue(r.get(), 0, 0)[0] != 't') throw std::runtime_error("the session did not hold it");
}

std::vector<uint8_t> PostgresStoreConnection::ReadGuard() const {
  const std::string k = std::to_string(lock_.guard_key);
  const std::string h = std::to_string(lock_tag_);
  const std::string statement = "SELECT value FROM " + lock_table_ + " WHERE key = $1 AND index_name = $2;";
  const char* values[2] = {k.c_str(), h.c_str()};
  PgResult r(PQexecParams(conn_.get(), statement.c_str(), 2, nullptr, values, nullptr, nullptr, 1));
  if (PgStatus(r) != PGRES_TUPLES_OK) throw Failure("Failed to read the writer lock's guard: ");
  std::vector<uint8_t> value;
  if (PQntuples(r.get()) > 0) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), 0, 0));
    value.assign(bytes, bytes + PQgetlength(r.get(), 0, 0));
  }
  return value;
}

void PostgresStoreConnection::LockIndex(const void* owner, int32_t role, const std::string& table, int64_t tag,
                                        const std::string& index_name, std::chrono::milliseconds timeout) {
  CheckNoLockHeld(owner);
  const int64_t key = LockKey(table, tag);
  // One deadline, also when the wait is repeated on a reopened connection.
  const auto deadline = Clock::now() + timeout;
  Run(role, [&] {
    if (!PollLock(key, deadline)) TimedOut(index_name, timeout);
  });
  lock_ = WriterLock();
  lock_.owner = owner;
  lock_.index_name = index_name;
  lock_.timeout = timeout;
  lock_table_ = table;
  lock_tag_ = tag;
  lock_key_ = key;
  try {
    TakeCompanions(owner, static_cast<uint64_t>(key), deadline);
  } catch (...) {
    lock_ = WriterLock();
    try {
      if (!Broken()) Unlock(key);
    } catch (const std::exception&) {
      // It goes with the session at the latest.
    }
    throw;
  }
}

void PostgresStoreConnection::TakeCompanionLock(uint64_t identity, const std::string& index_name,
                                                std::chrono::milliseconds timeout, Clock::time_point deadline) {
  CheckNoLockHeld(group_.get());
  const int64_t key = CompanionKey(identity);
  Run(last_role_, [&] {
    if (!PollLock(key, deadline)) TimedOut(index_name, timeout);
  });
  HoldCompanion(index_name, timeout);
  lock_key_ = key;
}

void PostgresStoreConnection::ReleaseCompanionLock() noexcept {
  if (lock_.owner == nullptr || !lock_.companion || Inherited()) return;
  ReleaseHeld();
}

void PostgresStoreConnection::ReleaseHeld() noexcept {
  const std::string index_name = lock_.index_name;
  lock_ = WriterLock();
  // A broken session has released it already.
  if (Broken()) return;
  try {
    Unlock(lock_key_);
  } catch (const std::exception& e) {
    try {
      ostrik::EngineLogger().error("Failed to release the writer lock of index '" + index_name + "': " + e.what() +
                                   " (it goes with the connection)");
    } catch (...) {
    }
  }
}

std::array<std::string, 2> PostgresStoreConnection::LockKeyParts() const {
  const auto bits = static_cast<uint64_t>(lock_key_);
  return {std::to_string(bits >> 32), std::to_string(bits & 0xffffffffu)};
}

std::string PostgresStoreConnection::VerifyLock() {
  if (lock_.owner == nullptr || Inherited()) return "it is not held";
  if (Broken()) return "its connection is broken";
  const std::array<std::string, 2> parts = LockKeyParts();
  const char* values[2] = {parts[0].c_str(), parts[1].c_str()};
  PgResult r(PQexecParams(conn_.get(),
                          "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND "
                          "pid = pg_backend_pid() AND classid = $1::oid AND objid = $2::oid AND objsubid = 1",
                          2, nullptr, values, nullptr, nullptr, 0));
  if (PgStatus(r) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) return Message();
  return std::string(PQgetvalue(r.get(), 0, 0)) == "0" ? "this session does not hold it" : "";
}

void PostgresStoreConnection::UnlockIndex(const void* owner) noexcept {
  if (!PrimaryOf(owner) && !HoldsLock(owner)) return;
  ReleaseCompanions();
  if (HoldsLock(owner)) ReleaseHeld();
}

void PostgresStoreConnection::CheckIndexLock(const void* /*owner*/) {
  // A session lock cannot lapse while the session lives; a dead session shows at the next command.
}

void PostgresStoreConnection::TakeLockBack(bool wait) {
  // The lock went with the old session: the new one must take it afresh.
  const auto deadline = Clock::now() + (wait ? lock_.timeout : std::chrono::milliseconds(0));
  if (!PollLock(lock_key_, deadline)) LoseLock("another writer holds it");
  // The session's lock went with it: it was out of our hands.
  const std::string why = DistrustedLock(/*afresh=*/true, [this] { return ReadGuard(); });
  if (why.empty()) return;
  try {
    if (!Broken()) Unlock(lock_key_);
  } catch (const std::exception&) {
    // It goes with the session at the latest.
  }
  LoseLock(why);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
