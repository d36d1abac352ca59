#include "stores/redis_store_connection.h"

#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

// 16 random bytes as 32 hex digits: what tells this connection's lock from any other's.
std::string RandomToken() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    const uint32_t word = device();
    for (int b = 0; b < 4; ++b) {
      const auto byte = static_cast<uint8_t>(word >> (8 * b));
      token += kHex[byte >> 4];
      token += kHex[byte & 0xf];
    }
  }
  return token;
}

}  // namespace

RedisStoreConnection::RedisStoreConnection(const RedisConnectionSettings& settings)
    : settings_(settings), context_(ConnectRedis(settings_)), token_(RandomToken()) {}

RedisStoreConnection::~RedisStoreConnection() {
  if (Inherited()) LeaveParentSession();
}

// A child sharing the parent's token could renew or release the parent's lock as its own.
void RedisStoreConnection::LeaveParentSession() noexcept {
  if (context_) SilenceSocket(context_->fd);
  try {
    token_ = RandomToken();
  } catch (...) {
    // No entropy: a live process's id is unique among the lock's possible holders too.
    token_ = "pid" + std::to_string(getpid()) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

CommandFailure RedisStoreConnection::Failure(const std::string& start, const redisReply* reply) const {
  if (reply != nullptr && reply->type == REDIS_REPLY_ERROR) {
    return CommandFailure(start, reply->str != nullptr ? std::string(reply->str, reply->len) : std::string());
  }
  if (context_ && context_->err != 0) return CommandFailure(start, context_->errstr);
  return CommandFailure(start, reply == nullptr ? "no reply" : "unexpected reply");
}

bool RedisStoreConnection::Broken() const { return !context_ || context_->err != 0; }

// The broken context is released only once a new one is up.
void RedisStoreConnection::Reopen() {
  context_ = ConnectRedis(settings_);
  fence_sha_.clear();
}

}  // namespace ostrik_encrypted_index::internal::backing_store
