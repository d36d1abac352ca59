// Small owners of hiredis handles: RedisReply frees a reply with freeReplyObject, RedisContext
// releases a connection with redisFree, RedisSslContext frees a TLS context with
// redisFreeSSLContext, each exactly once and on every path.
//
// Nothing here throws. Not synchronised: an owner belongs to the one thread that uses its handle.
#pragma once

#include <hiredis/hiredis.h>
#include <hiredis/hiredis_ssl.h>

#include <memory>

namespace ostrik_encrypted_index::internal::backing_store {

struct RedisReplyDeleter {
  void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};
struct RedisContextDeleter {
  void operator()(redisContext* c) const noexcept { redisFree(c); }
};
struct RedisSslContextDeleter {
  void operator()(redisSSLContext* c) const noexcept { redisFreeSSLContext(c); }
};

using RedisReply = std::unique_ptr<redisReply, RedisReplyDeleter>;
using RedisContext = std::unique_ptr<redisContext, RedisContextDeleter>;
using RedisSslContext = std::unique_ptr<redisSSLContext, RedisSslContextDeleter>;

// Takes over the untyped reply that redisCommand and redisCommandArgv return.
inline RedisReply TakeReply(void* reply) { return RedisReply(static_cast<redisReply*>(reply)); }

}  // namespace ostrik_encrypted_index::internal::backing_store
