// Fenced writes of RedisStoreConnection. A small write is one script per chunk that compares the
// lock key with this connection's token and renews its expiry before it writes, atomically, since
// the server runs a script as one step; the chunks are pipelined and every reply is read. A large
// write is one transaction instead: the lock key is watched and read, and only if it holds this
// connection's token are the renewal and the writes sent between MULTI and EXEC, which the server
// applies whole, or not at all when the watched key changed meanwhile. (A script copies every
// value twice on the server, into the script and out of it: a third more time for records of a
// few kilobytes.)
#include <algorithm>
#include <string>
#include <vector>

#include "stores/redis_store_connection.h"
#include "stores/sigpipe_guard.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

// KEYS[1] the lock, KEYS[2] the hash; ARGV[1] the token, ARGV[2] the expiry in ms, ARGV[3] the
// command, then its operands. A refusal is nil, which no command's count can be.
constexpr const char* kFenceScript =
    "if redis.call('GET', KEYS[1]) ~= ARGV[1] then return false end "
    "redis.call('PEXPIRE', KEYS[1], ARGV[2]) "
    "if ARGV[3] == 'DEL' then return redis.call('DEL', KEYS[2]) end "
    "local n = 0 "
    "for i = 4, #ARGV, 1000 do "
    "n = n + redis.call(ARGV[3], KEYS[2], unpack(ARGV, i, math.min(i + 999, #ARGV))) "
    "end "
    "return n";

// A chunk's bounds: whole field-value pairs, and a few MB at most, so that no single script holds
// the server for long or fills its query buffer.
constexpr size_t kMaxArgsPerScript = 4000;
constexpr size_t kMaxBytesPerScript = size_t{4} << 20;

constexpr const char kEmpty[] = "";

// Commands of a watched write: whole field-value pairs, a few thousand arguments each.
constexpr size_t kMaxArgsPerCommand = 128;

bool IsNoScript(const redisReply* reply) {
  return reply->type == REDIS_REPLY_ERROR && reply->len >= 8 && std::string(reply->str, 8) == "NOSCRIPT";
}

}  // namespace

const std::string& RedisStoreConnection::FenceScript() {
  if (!fence_sha_.empty()) return fence_sha_;
  RedisReply reply = TakeReply(redisCommand(context_.get(), "SCRIPT LOAD %s", kFenceScript));
  if (!reply || context_->err != 0 || reply->type != REDIS_REPLY_STRING) {
    throw Failure("Failed to load the writer lock's script", reply.get());
  }
  fence_sha_.assign(reply->str, reply->len);
  return fence_sha_;
}

long long RedisStoreConnection::FencedHashWrite(const char* command, FencedArg key, const std::vector<FencedArg>& args,
                                                const std::string& failure_start) {
  SigpipeGuard no_sigpipe;
  const std::string command_text = command;
  const size_t per_item = command_text == "HSET" ? 2 : 1;
  uint64_t total_bytes = 0;
  for (const FencedArg& a : args) total_bytes += a.size;
  if (command_text != "DEL" && total_bytes >= kWatchedBytes) {
    return WatchedHashWrite(command_text, per_item, key, args, failure_start);
  }
  // Chunk boundaries, in args.
  std::vector<size_t> bounds{0};
  if (command_text != "DEL") {
    size_t bytes = 0, start = 0;
    for (size_t i = 0; i < args.size(); i += per_item) {
      size_t item_bytes = 0;
      for (size_t j = i; j < i + per_item && j < args.size(); ++j) item_bytes += args[j].size;
      if (i > start && (i - start + per_item > kMaxArgsPerScript || bytes + item_bytes > kMaxBytesPerScript)) {
        bounds.push_back(i);
        start = i;
        bytes = 0;
      }
      bytes += item_bytes;
    }
    if (args.empty()) return 0;
  }
  bounds.push_back(args.size());
  const size_t chunks = bounds.size() - 1;

  const std::string expiry = std::to_string(expiry_.count());
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  std::string sha;
  auto append = [&](size_t chunk) {
    argv.assign({"EVALSHA", sha.data(), "2", lock_key_.data(), key.data, token_.data(), expiry.data(), command});
    lengths.assign({7, sha.size(), 1, lock_key_.size(), key.size, token_.size(), expiry.size(), command_text.size()});
    for (size_t i = bounds[chunk]; i < bounds[chunk + 1]; ++i) {
      argv.push_back(args[i].data != nullptr ? args[i].data : kEmpty);
      lengths.push_back(args[i].size);
    }
    if (redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()), argv.data(), lengths.data()) !=
        REDIS_OK) {
      throw Failure(failure_start);
    }
  };

  const auto sent_at = Clock::now();
  std::vector<size_t> pending(chunks);
  for (size_t c = 0; c < chunks; ++c) pending[c] = c;
  long long total = 0;
  bool refused = false;
  // A server that lost its scripts (flushed, or restarted under us) answers NOSCRIPT: those chunks
  // go once more, after the script is loaded again.
  for (int round = 0; !pending.empty(); ++round) {
    // Loaded before anything is queued: its own reply must not be taken for a queued one's.
    sha = FenceScript();
    size_t queued = 0;
    try {
      for (size_t c : pending) {
        append(c);
        ++queued;
      }
    } catch (...) {
      // What was queued must be answered now, or its replies would reach the next command.
      for (size_t i = 0; i < queued && !Broken(); ++i) {
        void* raw = nullptr;
        if (redisGetReply(context_.get(), &raw) != REDIS_OK) break;
        TakeReply(raw);
      }
      throw;
    }
    std::vector<size_t> again;
    std::string first_error;
    for (size_t c : pending) {
      void* raw = nullptr;
      const int status = redisGetReply(context_.get(), &raw);
      RedisReply reply = TakeReply(raw);
      // A failed read leaves the connection in its error state, reopened before the next command.
      if (status != REDIS_OK || !reply) throw Failure(failure_start);
      if (reply->type == REDIS_REPLY_INTEGER) {
        total += reply->integer;
      } else if (reply->type == REDIS_REPLY_NIL) {
        refused = true;
      } else if (IsNoScript(reply.get()) && round == 0) {
        again.push_back(c);
      } else if (first_error.empty()) {
        first_error = reply->type == REDIS_REPLY_ERROR ? std::string(reply->str, reply->len) : "unexpected reply";
      }
    }
    if (!first_error.empty()) throw CommandFailure(failure_start, first_error);
    if (!again.empty()) fence_sha_.clear();
    pending = std::move(again);
  }
  if (refused) throw FenceRefused();
  renewed_at_ = std::max(renewed_at_, sent_at);
  return total;
}

long long RedisStoreConnection::WatchedHashWrite(const std::string& command, size_t per_item, FencedArg key,
                                                 const std::vector<FencedArg>& args, const std::string& failure_start) {
  auto read = [&]() {
    void* raw = nullptr;
    const int status = redisGetReply(context_.get(), &raw);
    RedisReply reply = TakeReply(raw);
    // A failed read leaves the connection in its error state, reopened before the next command.
    if (status != REDIS_OK || !reply) throw Failure(failure_start);
    return reply;
  };
  const auto sent_at = Clock::now();
  // The lock's value, watched: should anyone change it from here on (another writer taking it,
  // its expiry), the transaction below is not applied at all.
  if (redisAppendCommand(context_.get(), "WATCH %s", lock_key_.c_str()) != REDIS_OK ||
      redisAppendCommand(context_.get(), "GET %s", lock_key_.c_str()) != REDIS_OK) {
    throw Failure(failure_start);
  }
  RedisReply watched = read();
  RedisReply holder = read();
  if (watched->type == REDIS_REPLY_ERROR) throw Failure(failure_start, watched.get());
  if (holder->type == REDIS_REPLY_ERROR) throw Failure(failure_start, holder.get());
  if (holder->type != REDIS_REPLY_STRING || std::string(holder->str, holder->len) != token_) {
    RedisReply unwatched = TakeReply(redisCommand(context_.get(), "UNWATCH"));
    if (!unwatched || context_->err != 0) throw Failure(failure_start);
    throw FenceRefused();
  }

  const std::string expiry = std::to_string(expiry_.count());
  size_t queued = 0;
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  bool appended = redisAppendCommand(context_.get(), "MULTI") == REDIS_OK &&
                  redisAppendCommand(context_.get(), "PEXPIRE %s %s", lock_key_.c_str(), expiry.c_str()) == REDIS_OK;
  const size_t step = kMaxArgsPerCommand / per_item * per_item;
  for (size_t start = 0; appended && start < args.size(); start += step) {
    const size_t end = std::min(args.size(), start + step);
    argv.assign({command.data(), key.data});
    lengths.assign({command.size(), key.size});
    for (size_t i = start; i < end; ++i) {
      argv.push_back(args[i].data != nullptr ? args[i].data : kEmpty);
      lengths.push_back(args[i].size);
    }
    appended =
        redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()), argv.data(), lengths.data()) == REDIS_OK;
    ++queued;
  }
  if (!appended || redisAppendCommand(context_.get(), "EXEC") != REDIS_OK) {
    // Nothing was sent yet: what is buffered goes with the connection, which is reopened.
    redisFree(context_.release());
    throw Failure(failure_start);
  }

  // MULTI, the renewal and each command are answered first (OK, QUEUED or a refusal), then EXEC.
  std::string first_error;
  for (size_t i = 0; i < queued + 2; ++i) {
    RedisReply reply = read();
    if (reply->type == REDIS_REPLY_ERROR && first_error.empty()) first_error = std::string(reply->str, reply->len);
  }
  RedisReply exec = read();
  if (!first_error.empty()) throw CommandFailure(failure_start, first_error);
  if (exec->type == REDIS_REPLY_NIL) throw FenceRefused();
  if (exec->type != REDIS_REPLY_ARRAY || exec->elements != queued + 1) {
    throw CommandFailure(failure_start,
                         exec->type == REDIS_REPLY_ERROR ? std::string(exec->str, exec->len) : "unexpected reply");
  }
  long long total = 0;
  for (size_t i = 1; i < exec->elements; ++i) {
    const redisReply* element = exec->element[i];
    if (element->type == REDIS_REPLY_ERROR)
      throw CommandFailure(failure_start, std::string(element->str, element->len));
    if (element->type == REDIS_REPLY_INTEGER) total += element->integer;
  }
  renewed_at_ = std::max(renewed_at_, sent_at);
  return total;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
