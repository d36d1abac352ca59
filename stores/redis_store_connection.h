// RedisStoreConnection: the blocking hiredis connection that the Redis stores of one index on one
// server and database share. It reopens the connection after it broke (the context's error set
// or no reply; see store_connection.h for what is repeated), TLS included, and holds the index's
// writer lock.
//
// The writer lock is the key "dz:lock:" + 16 hex digits of the locking store's tag, set with
// SET NX PX to a random 16-byte token (hex) of this connection; only the holder renews it
// (PEXPIRE through a script that compares the token) or releases it (a compare-and-delete
// script). It expires 30 s after the last renewal; any command sent while it is held renews it
// once more than 10 s have passed, and once the expiry has passed locally the next command takes
// it back (at once or not at all) and checks its guard before going on.
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
// cannot wait for 30 s. Zero restores the defaults.
void SetRedisLockTimingForTesting(std::chrono::milliseconds expiry, std::chrono::milliseconds renew_after);

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

  // "dz:lock:" + the tag as 16 lower-case hex digits.
  static std::string LockKeyOf(uint64_t tag);

 bool Broken() const override;

 protected:
  void Reopen() override;
  void BeforeCommand() override;
  void TakeLockBack(bool wait) override;
  void LeaveParentSession() noexcept override;

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

  RedisConnectionSettings settings_;
  RedisContext context_;
  std::string token_;  // this process's: a forked child makes its own
  // The held lock (valid while lock_.owner is set).
  std::string lock_key_;
  std::array<char, 8> lock_hash_{};
  std::chrono::milliseconds expiry_{0};
  std::chrono::milliseconds renew_after_{0};
  std::chrono::steady_clock::time_point renewed_at_;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
