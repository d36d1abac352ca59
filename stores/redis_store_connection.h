// RedisStoreConnection: the blocking hiredis connection that the Redis stores of one index on one
// server and database share. It reopens the connection after it broke (the context's error set
// or no reply; see store_connection.h for what is repeated), TLS included, and holds the index's
// writer lock.
//
// The writer lock is the key "dz:lock:" + 16 hex digits of the locking store's tag (of the
// primary's identity, for a companion), set with SET NX PX to a random 16-byte token (hex) of this
// connection; only the holder renews it (PEXPIRE through a script that compares the token) or
// releases it (a compare-and-delete script). It expires 5 s after the last renewal. Every fenced
// write renews it; any other command sent while it is held renews it once more than 1.5 s have
// passed, and once the expiry has passed locally the next command takes it back (at once or not
// at all) and checks its guard before going on.
//
// Fenced writes compare the lock key with this connection's token, renew the expiry and apply the
// write in one atomic step on the server: a small one as a script per chunk, a large one as a
// MULTI/EXEC transaction under a WATCH of the lock key (see redis_fenced_writes.cc). A writer that
// stalled past its expiry cannot land anything once another writer holds the lock, whatever it
// had queued.
//
// The constructor throws what ConnectRedis throws. Commands throw CommandFailure with the
// operation's text and the reply text or the connection's own error. Not synchronised: one thread
// at a time, like the stores on it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "stores/redis_connection.h"
#include "stores/store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {

// Expiry and renewal age of Redis writer locks taken from now on, process-wide; for tests, which
// cannot wait for 5 s. Zero restores the defaults.
void SetRedisLockTimingForTesting(std::chrono::milliseconds expiry, std::chrono::milliseconds renew_after);

// The defaults: how long a lock lasts after its last renewal, and when a command renews it.
inline constexpr std::chrono::milliseconds kRedisLockExpiry{5000};
inline constexpr std::chrono::milliseconds kRedisLockRenewAfter{1500};

// One argument of a fenced write: bytes the caller keeps for the call's time.
struct FencedArg {
  const char* data;
  size_t size;
};

class RedisStoreConnection : public StoreConnection {
 public:
  explicit RedisStoreConnection(const RedisConnectionSettings& settings);
  ~RedisStoreConnection() override;

  redisContext* get() const { return context_.get(); }
  // The failure of a command whose text starts with `start`: the reason is the error reply's text
  // when `reply` is one, else the connection's own error (or "no reply").
  CommandFailure Failure(const std::string& start, const redisReply* reply = nullptr) const;

  // The writer lock (see Keystore::LockIndex); `tag` is the locking store's, whose item hash holds
  // the guard.
  void LockIndex(const void* owner, int32_t role, uint64_t tag, const std::string& index_name,
                 std::chrono::milliseconds timeout);
  void UnlockIndex(const void* owner) noexcept;
  void CheckIndexLock(int32_t role);

  // Inside RunWrite's op, when fenced: applies `command` ("HSET" with field-value pairs, "HDEL"
  // with fields, "DEL" with none) to the hash `key`, in chunks of one script each, pipelined, and
  // reads every reply. Returns the sum of the commands' integer replies. Throws FenceRefused when
  // the lock is not this connection's on the server (a refused chunk lands nothing) and
  // CommandFailure(failure_start, reason) for a failed command.
  long long FencedHashWrite(const char* command, FencedArg key, const std::vector<FencedArg>& args,
                            const std::string& failure_start);

  // "dz:lock:" + the tag as 16 lower-case hex digits.
  static std::string LockKeyOf(uint64_t tag);

 bool Broken() const override;

 protected:
  void Reopen() override;
  void BeforeCommand() override;
  void TakeLockBack(bool wait) override;
  void LeaveParentSession() noexcept override;
  std::string VerifyLock() override;
  void TakeCompanionLock(uint64_t identity, const std::string& index_name, std::chrono::milliseconds timeout,
                         Clock::time_point deadline) override;
  void ReleaseCompanionLock() noexcept override;

 private:
  enum class Taken { kNo, kAfresh, kStillOurs };
  // One attempt: SET NX PX, or else a renewal if the key is still ours. Throws CommandFailure.
  Taken TryLock();
  // Renews the key if it still holds our token; false when it does not.
  bool Renew();
  bool Release();
  std::vector<uint8_t> ReadGuard() const;
  // Takes the lock back, or loses it, once it may have lapsed; waits only when `wait`.
  void Retake(bool wait);
  // Polls TryLock until the lock is taken or `deadline` passes (then TimedOut); the time of the
  // successful attempt.
  Clock::time_point PollLock(const std::string& index_name, std::chrono::milliseconds timeout,
                             Clock::time_point deadline);
  // Releases the held lock (reopening a broken connection for it); logs instead of throwing.
  void ReleaseHeld(const std::string& index_name) noexcept;
  // The fencing script's SHA1 on this session, loaded when it has none. Throws CommandFailure.
  const std::string& FenceScript();
  // FencedHashWrite of a large write: a transaction under a watch of the lock key.
  long long WatchedHashWrite(const std::string& command, size_t per_item, FencedArg key,
                             const std::vector<FencedArg>& args, const std::string& failure_start);
  // From this many bytes of values on, a fenced write is watched rather than scripted.
  static constexpr uint64_t kWatchedBytes = uint64_t{64} << 10;

  RedisConnectionSettings settings_;
  RedisContext context_;
  std::string token_;  // this process's: a forked child makes its own
  // The held lock (valid while lock_.owner is set).
  std::string lock_key_;
  std::array<char, 8> lock_hash_{};
  std::chrono::milliseconds expiry_{0};
  std::chrono::milliseconds renew_after_{0};
  std::chrono::steady_clock::time_point renewed_at_;
  std::string fence_sha_;  // of this session; a new one has none loaded
};

}  // namespace ostrik_encrypted_index::internal::backing_store
