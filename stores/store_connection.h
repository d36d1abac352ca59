// StoreConnection: one server connection that the stores of an index share (see
// store_connections.h), with what every kind of server connection does alike.
//
// Run(role, op) runs one store operation. op() runs once; when it throws CommandFailure and the
// connection turns out broken (the server went away, the connection was dropped), the connection
// is reopened and op() runs once more, which is safe because every store operation is a read, a
// delete or an idempotent upsert of keyed values. A failure that the server answered (the
// connection still up) is reported as the operation's own text and never repeated. When the
// reopening fails, or the repeat fails too, the text says which store failed (its role) and why:
// the operation's text, then "the <role> store could not reconnect: <reason>" or "the <role> store
// failed again after reconnecting: <reason>" (after ": ", or after a space where the operation's
// text ends a sentence, with "The"), logged at ERROR or the operation's own higher level.
//
// The writer lock of an index, when one is held on this connection, lives here rather than with
// the store that took it, because every store on the connection loses it with the session: before
// a repeat, the connection takes the lock back (waiting at most the timeout it was taken with) and
// checks the guard value; only if the lock is ours again and the guard unchanged is the operation
// repeated, otherwise it throws std::runtime_error "Lost the writer lock of index '<name>': <why>"
// (logged at ERROR) and the lock is no longer held. Without a lock an interrupted operation is
// repeated freely. If the reopening fails while a lock is held, the lock counts as lost.
//
// Writes are fenced: RunWrite(role, op) runs op(fenced), and while a lock is held on this
// connection the operation must send its writes in a form that the server applies only if the
// lock is still this connection's at that moment, atomically with the check (see the server
// kinds). A write the server refuses throws FenceRefused out of op; the lock is then taken back at
// once, guard checked, and the write sent again, or the lock is lost. The lock of an index spans
// every connection of its LockGroup (lock_group.h): the primary, taken by LockIndex of the index
// store, and a companion on each other server, taken right after it, whose writes its own server
// fences. A companion taken back afresh is trusted only while the server of the primary confirms
// the primary. Once any lock of the group is lost, no connection of the group sends a write
// (RunWrite throws the lost-lock error at once) until the holder unlocks.
//
// A process forked from the one that opened the connection inherits its socket, which is still
// the parent's session: the child's first operation lets go of it without writing to it (so the
// parent's session and lock are untouched), forgets any lock it seemed to hold, and opens a
// session of its own; its destructor writes nothing to it either.
//
// Not synchronised: the stores of one index run one operation at a time, from one thread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "stores/command_failure.h"
#include "stores/lock_group.h"

namespace ostrik_encrypted_index::internal::backing_store {

// The role of a store in messages: "index", "config", "items" or "data".
const char* StoreRoleName(int32_t kind);

// Tests only: `hook(role)` runs at the start of every write operation, after the lock checks and
// before anything is sent (where a writer that stalls does the most harm). Null removes it.
void SetBeforeWriteHookForTesting(std::function<void(int32_t role)> hook);
extern std::function<void(int32_t)>* before_write_hook_for_testing;

// A fenced write the server did not apply: the writer lock there is not this connection's. Never
// leaves RunWrite.
class FenceRefused : public std::runtime_error {
 public:
  FenceRefused() : std::runtime_error("the server refused a write: the writer lock is not held there") {}
};

class StoreConnection {
 public:
  StoreConnection();
  virtual ~StoreConnection();

  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  // `role` is the StoreKind of the calling store. op() fetches the connection handle itself on
  // each run (reopening may replace it) and throws CommandFailure for a failed command.
  template <typename Op>
  auto Run(int32_t role, Op&& op) -> decltype(op()) {
    last_role_ = role;
    if (Inherited()) OpenOwnSession(role);
    bool repeating = false;
    while (true) {
      try {
        BeforeCommand();
        return op();
      } catch (const CommandFailure& failure) {
        if (repeating) ReportFault(failure, role, "failed again after reconnecting", failure.reason());
        if (!Broken()) Report(failure);
        Recover(role, failure);
        repeating = true;
      }
    }
  }

  // Run for an operation that writes: op(fenced) sends its writes fenced when `fenced` (a lock is
  // held on this connection) and may throw FenceRefused then. Refuses at once, sending nothing,
  // when the group's write lost its lock.
  template <typename Op>
  auto RunWrite(int32_t role, Op&& op) -> decltype(op(true)) {
    return Run(role, [&]() -> decltype(op(true)) {
      RefuseIfLost();
      if (before_write_hook_for_testing != nullptr) (*before_write_hook_for_testing)(role);
      try {
        return op(Fenced());
      } catch (const FenceRefused&) {
        TakeRefusedLockBack();
      }
      try {
        return op(Fenced());
      } catch (const FenceRefused& refused) {
        LoseLock(refused.what());
      }
    });
  }

  // Whether writes on this connection are fenced: a lock (primary or companion) is held on it.
  bool Fenced() const { return lock_.owner != nullptr && !Inherited(); }
  // Throws the lost-lock error the group's write failed with, if it did.
  void RefuseIfLost() const;

  // Whether the connection is unusable after a failure.
  virtual bool Broken() const = 0;

  // For an operation that sends many commands (a read in rounds): renews a held lock that is due,
  // as before every operation. Call it only between commands, with no reply outstanding; throws
  // what Run's op may throw (CommandFailure), so call it inside op.
  void KeepLockAlive() {
    if (!Inherited()) BeforeCommand();
  }

  // Whether `owner` (a store) holds the writer lock on this connection.
  bool HoldsLock(const void* owner) const {
    return lock_.owner != nullptr && lock_.owner == owner && !Inherited();
  }
  // Names the guard of the held lock; nothing when `owner` does not hold it.
  void SetLockGuard(const void* owner, uint64_t key, const std::vector<uint8_t>& value);

  // Makes this connection a member of `group` (the registry of its index does, once).
  void JoinGroup(std::shared_ptr<LockGroup> group);

 protected:
  struct WriterLock {
    const void* owner = nullptr;  // the store that took it (the group, for a companion); null: none held
    bool companion = false;
    std::string index_name;
    std::chrono::milliseconds timeout{0};
    bool guarded = false;
    uint64_t guard_key = 0;
    std::vector<uint8_t> guard_value;
  };
  using Clock = std::chrono::steady_clock;

  // Opens the connection anew; throws std::runtime_error with the reason (no password in it).
  virtual void Reopen() = 0;
  // In a forked child: points the inherited handle's socket at /dev/null, so that closing or
  // resetting the handle never writes to the parent's session, and drops what must be this
  // process's own (a lock token).
  virtual void LeaveParentSession() noexcept = 0;
  // Whether this process did not open the connection (it was forked since).
  bool Inherited() const { return getpid() != opened_by_; }
  // Replaces `fd` by /dev/null; nothing for a negative fd.
  static void SilenceSocket(int fd) noexcept;
  // Runs before every operation (renewing a lock that expires, for one).
  virtual void BeforeCommand() {}
  // After Reopen with a lock held: takes it back, waiting at most its timeout when `wait`, and
  // checks its guard; calls LoseLock otherwise. Throws CommandFailure for a failed command.
  virtual void TakeLockBack(bool wait) = 0;
  // After the server refused a fenced write on a live connection: takes the lock back at once and
  // checks its guard, or calls LoseLock.
  virtual void TakeRefusedLockBack() { TakeLockBack(false); }
  // Whether the server confirms, now, that the held lock is this connection's: "" when it does,
  // else why not. Never throws.
  virtual std::string VerifyLock() = 0;
  // A companion of the primary lock whose identity is `identity`, for the index `index_name`:
  // taken by waiting until `deadline` (TimedOut after `timeout` otherwise), released without
  // throwing. Both run as operations of this connection.
  virtual void TakeCompanionLock(uint64_t identity, const std::string& index_name, std::chrono::milliseconds timeout,
                                 Clock::time_point deadline) = 0;
  virtual void ReleaseCompanionLock() noexcept = 0;

  // For the primary, once its own lock is taken: the group's write starts, and a companion is
  // taken on every other connection of the group; when one cannot be, those taken are released,
  // the write ends and the failure is rethrown (the caller releases its own lock).
  void TakeCompanions(const void* owner, uint64_t identity, Clock::time_point deadline);
  // Whether `owner`'s write holds the group through this connection (its primary), lost or not.
  bool PrimaryOf(const void* owner) const { return group_->primary() == this && group_owner_ == owner; }
  // For the primary's unlock: releases every companion and ends the group's write.
  void ReleaseCompanions() noexcept;
  // Records a companion taken on this connection.
  void HoldCompanion(const std::string& index_name, std::chrono::milliseconds timeout);

  // Why a lock just taken back cannot be trusted, "" when it can: `afresh` when it was out of our
  // hands meanwhile; `read_guard` reads the guard's stored value (throws CommandFailure).
  std::string DistrustedLock(bool afresh, const std::function<std::vector<uint8_t>()>& read_guard) const;
  // Forgets the lock, logs and throws the lost-lock error.
  [[noreturn]] void LoseLock(const std::string& why);
  // REQUIRES: no lock is held on this connection. Refuses a second lock on one connection.
  void CheckNoLockHeld(const void* owner) const;
  // Logs and throws the timeout of a lock wait.
  [[noreturn]] static void TimedOut(const std::string& index_name, std::chrono::milliseconds timeout);

  WriterLock lock_;
  std::shared_ptr<LockGroup> group_;
  // The role of the store whose operation ran last: companions take it for their messages.
  int32_t last_role_ = 0;

 private:
  [[noreturn]] static void Report(const CommandFailure& failure);
  [[noreturn]] static void ReportFault(const CommandFailure& failure, int32_t role, const std::string& what,
                                       const std::string& reason);
  void Recover(int32_t role, const CommandFailure& failure);
  // Leaves the parent's session and connects this process; throws std::runtime_error naming the
  // store when that fails.
  void OpenOwnSession(int32_t role);

  pid_t opened_by_ = getpid();
  const void* group_owner_ = nullptr;  // the owner of the group's write, on its primary
};

// The lost-lock text: "Lost the writer lock of index '<name>': <why>".
std::string LostLockText(const std::string& index_name, const std::string& why);

}  // namespace ostrik_encrypted_index::internal::backing_store
