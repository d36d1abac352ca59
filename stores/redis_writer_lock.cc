// The writer lock of RedisStoreConnection: a key with a token and an expiry, taken with SET NX PX
// and renewed or released only through scripts that compare the token first.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/logger.h"
#include "stores/redis_store_connection.h"
#include "stores/sigpipe_guard.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDefaultExpiry = kRedisLockExpiry;
constexpr milliseconds kDefaultRenewAfter = kRedisLockRenewAfter;
constexpr milliseconds kFirstBackoff{5};
constexpr milliseconds kMaxBackoff{100};

std::atomic<long long> expiry_ms{kDefaultExpiry.count()};
std::atomic<long long> renew_after_ms{kDefaultRenewAfter.count()};

constexpr const char* kRenewScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('PEXPIRE', KEYS[1], ARGV[2]) end return 0";
constexpr const char* kReleaseScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";

std::array<char, 8> LittleEndian(uint64_t v) {
  std::array<char, 8> bytes;
  for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return bytes;
}

}  // namespace

void SetRedisLockTimingForTesting(milliseconds expiry, milliseconds renew_after) {
  expiry_ms = expiry.count() > 0 ? expiry.count() : kDefaultExpiry.count();
  renew_after_ms = renew_after.count() > 0 ? renew_after.count() : kDefaultRenewAfter.count();
}

std::string RedisStoreConnection::LockKeyOf(uint64_t tag) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(tag));
  return std::string("dz:lock:") + hex;
}

RedisStoreConnection::Taken RedisStoreConnection::TryLock() {
  const long long expiry = expiry_.count();
  RedisReply reply =
      TakeReply(redisCommand(context_.get(), "SET %s %s NX PX %lld", lock_key_.c_str(), token_.c_str(), expiry));
  if (!reply || context_->err != 0 || reply->type == REDIS_REPLY_ERROR) {
    throw Failure("Failed to take the writer lock", reply.get());
  }
  if (reply->type == REDIS_REPLY_STATUS) return Taken::kAfresh;
  // Held already: by this connection, when an earlier hold outlived what was known of it.
  return Renew() ? Taken::kStillOurs : Taken::kNo;
}

bool RedisStoreConnection::Renew() {
  RedisReply reply = TakeReply(redisCommand(context_.get(), "EVAL %s 1 %s %s %lld", kRenewScript, lock_key_.c_str(),
                                            token_.c_str(), static_cast<long long>(expiry_.count())));
  if (!reply || context_->err != 0 || reply->type != REDIS_REPLY_INTEGER) {
    throw Failure("Failed to renew the writer lock", reply.get());
  }
  return reply->integer == 1;
}

bool RedisStoreConnection::Release() {
  RedisReply reply =
      TakeReply(redisCommand(context_.get(), "EVAL %s 1 %s %s", kReleaseScript, lock_key_.c_str(), token_.c_str()));
  if (!reply || context_->err != 0 || reply->type != REDIS_REPLY_INTEGER) {
    throw Failure("Failed to release the writer lock", reply.get());
  }
  return reply->integer == 1;
}

std::vector<uint8_t> RedisStoreConnection::ReadGuard() const {
  const std::array<char, 8> field = LittleEndian(lock_.guard_key);
  RedisReply reply = TakeReply(redisCommand(context_.get(), "HGET %b %b", lock_hash_.data(), lock_hash_.size(),
                                            field.data(), field.size()));
  if (!reply || context_->err != 0) throw Failure("Failed to read the writer lock's guard", reply.get());
  if (reply->type == REDIS_REPLY_NIL) return {};
  if (reply->type != REDIS_REPLY_STRING) throw Failure("Failed to read the writer lock's guard", reply.get());
  const auto* bytes = reinterpret_cast<const uint8_t*>(reply->str);
  return std::vector<uint8_t>(bytes, bytes + reply->len);
}

Clock::time_point RedisStoreConnection::PollLock(const std::string& index_name, milliseconds timeout,
                                                  Clock::time_point deadline) {
  SigpipeGuard no_sigpipe;
  auto backoff = kFirstBackoff;
  while (true) {
    const auto attempt_at = Clock::now();
    if (TryLock() != Taken::kNo) return attempt_at;
    const auto now = Clock::now();
    if (now >= deadline) TimedOut(index_name, timeout);
    std::this_thread::sleep_for(std::min<Clock::duration>(backoff, deadline - now));
    backoff = std::min(backoff * 2, kMaxBackoff);
  }
}

void RedisStoreConnection::LockIndex(const void* owner, int32_t role, uint64_t tag, const std::string& index_name,
                                     milliseconds timeout) {
  CheckNoLockHeld(owner);
  lock_key_ = LockKeyOf(tag);
  lock_hash_ = LittleEndian(tag);
  expiry_ = milliseconds(expiry_ms.load());
  renew_after_ = milliseconds(renew_after_ms.load());
  // One deadline, also when the wait is repeated on a reopened connection, and for the companions.
  const auto deadline = Clock::now() + timeout;
  Clock::time_point taken_at;
  Run(role, [&] { taken_at = PollLock(index_name, timeout, deadline); });
  lock_ = WriterLock();
  lock_.owner = owner;
  lock_.index_name = index_name;
  lock_.timeout = timeout;
  renewed_at_ = taken_at;
  try {
    TakeCompanions(owner, tag, deadline);
  } catch (...) {
    lock_ = WriterLock();
    ReleaseHeld(index_name);
    throw;
  }
}

void RedisStoreConnection::TakeCompanionLock(uint64_t identity, const std::string& index_name, milliseconds timeout,
                                             Clock::time_point deadline) {
  CheckNoLockHeld(group_.get());
  lock_key_ = LockKeyOf(identity);
  expiry_ = milliseconds(expiry_ms.load());
  renew_after_ = milliseconds(renew_after_ms.load());
  Clock::time_point taken_at;
  Run(last_role_, [&] { taken_at = PollLock(index_name, timeout, deadline); });
  HoldCompanion(index_name, timeout);
  renewed_at_ = taken_at;
}

void RedisStoreConnection::ReleaseCompanionLock() noexcept {
  if (lock_.owner == nullptr || !lock_.companion || Inherited()) return;
  const std::string index_name = lock_.index_name;
  lock_ = WriterLock();
  ReleaseHeld(index_name);
}

void RedisStoreConnection::UnlockIndex(const void* owner) noexcept {
  if (!PrimaryOf(owner) && !HoldsLock(owner)) return;
  ReleaseCompanions();
  // Lost already: it is another writer's now, or nobody's.
  if (!HoldsLock(owner)) return;
  const std::string index_name = lock_.index_name;
  lock_ = WriterLock();
  ReleaseHeld(index_name);
}

void RedisStoreConnection::ReleaseHeld(const std::string& index_name) noexcept {
  SigpipeGuard no_sigpipe;
  try {
    bool released = false;
    // Released on a reopened connection when need be, so that other writers need not wait for
    // the expiry.
    try {
      if (Broken()) Reopen();
      released = Release();
    } catch (const CommandFailure&) {
      if (!Broken()) throw;
      Reopen();
      released = Release();
    }
    if (!released) {
      ostrik::EngineLogger().warning("The writer lock of index '" + index_name + "' had lapsed before its release");
    }
  } catch (const std::exception& e) {
    try {
      ostrik::EngineLogger().error("Failed to release the writer lock of index '" + index_name + "': " + e.what() +
                                   " (it goes at its expiry)");
    } catch (...) {
    }
  }
}

std::string RedisStoreConnection::VerifyLock() {
  if (lock_.owner == nullptr || Inherited()) return "it is not held";
  SigpipeGuard no_sigpipe;
  try {
    if (Broken()) return "its connection is broken";
    const auto attempt_at = Clock::now();
    if (!Renew()) return "it is no longer this writer's";
    renewed_at_ = attempt_at;
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

void RedisStoreConnection::CheckIndexLock(int32_t role) {
  Run(role, [] {});
}

void RedisStoreConnection::BeforeCommand() {
  if (lock_.owner == nullptr) return;
  SigpipeGuard no_sigpipe;
  try {
    const auto now = Clock::now();
    if (now - renewed_at_ >= expiry_) {
      // It may have gone to another writer meanwhile: take it back at once or not at all.
      Retake(/*wait=*/false);
      return;
    }
    if (now - renewed_at_ < renew_after_) return;
    if (Renew()) {
      renewed_at_ = now;
      return;
    }
    Retake(/*wait=*/false);
  } catch (const CommandFailure& failure) {
    // A broken connection is reopened by the caller, which then takes the lock back.
    if (Broken()) throw;
    LoseLock(std::string("renewing it failed: ") + failure.what());
  }
}

void RedisStoreConnection::TakeLockBack(bool wait) {
  SigpipeGuard no_sigpipe;
  Retake(wait);
}

void RedisStoreConnection::Retake(bool wait) {
  const auto deadline = Clock::now() + (wait ? lock_.timeout : milliseconds(0));
  auto backoff = kFirstBackoff;
  Taken taken = Taken::kNo;
  while (true) {
    const auto attempt_at = Clock::now();
    taken = TryLock();
    if (taken != Taken::kNo) {
      renewed_at_ = attempt_at;
      break;
    }
    const auto now = Clock::now();
    if (now >= deadline) LoseLock("another writer holds it");
    std::this_thread::sleep_for(std::min<Clock::duration>(backoff, deadline - now));
    backoff = std::min(backoff * 2, kMaxBackoff);
  }
  const std::string why = DistrustedLock(taken == Taken::kAfresh, [this] { return ReadGuard(); });
  if (why.empty()) return;
  try {
    if (!Broken()) Release();
  } catch (const std::exception&) {
    // It goes at its expiry.
  }
  LoseLock(why);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
