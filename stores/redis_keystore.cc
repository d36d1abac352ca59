#include "stores/redis_keystore.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/batch_push_checks.h"
#include "stores/redis_connection.h"
#include "stores/redis_hash_reader.h"
#include "stores/sigpipe_guard.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

std::string ReplyText(const redisReply* reply) {
  return reply->str != nullptr ? std::string(reply->str, reply->len) : std::string();
}

bool IsError(const redisReply* reply) { return reply->type == REDIS_REPLY_ERROR; }

}  // namespace

RedisKeystore::RedisKeystore(const ostrik::DBConfig& config, const std::string& index_name,
                             const uint64_t& index_name_hash, const int32_t& kind, StoreConnections& connections)
    : index_name_(index_name),
      hashed_index_name_(index_name_hash + static_cast<uint64_t>(static_cast<int64_t>(kind))),
      store_kind_(kind),
      hash_key_(FieldOf(hashed_index_name_)) {
  table_name_ = config.table_name.value();
  if (!config.connection_string) throw std::runtime_error("Redis connection string not provided");
  conn_ = connections.Redis(ReadRedisConnectionSettings(*config.connection_string));
}

RedisKeystore::~RedisKeystore() { UnlockIndex(); }

RedisKeystore::Field RedisKeystore::FieldOf(uint64_t key) {
  Field field;
  for (size_t i = 0; i < 8; ++i) field[i] = static_cast<char>((key >> (8 * i)) & 0xff);
  return field;
}

void RedisKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Pushing item to Redis");
  const Field field = FieldOf(key);
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      conn_->FencedHashWrite("HSET", HashArg(), {{field.data(), field.size()}, Arg(value)}, "HSET command failed");
      return;
    }
    RedisReply reply = TakeReply(redisCommand(context(), "HSET %b %b %b", hash_key_.data(), hash_key_.size(),
                                              field.data(), field.size(), value.data(), value.size()));
    if (!reply || context()->err || IsError(reply.get())) throw conn_->Failure("HSET command failed", reply.get());
  });
  EngineLogger().info("Item successfully pushed to Redis");
}

void RedisKeystore::QueueHset(const uint64_t& key, const uint8_t* value, size_t length, uint64_t queued) {
  const Field field = FieldOf(key);
  if (redisAppendCommand(context(), "HSET %b %b %b", hash_key_.data(), hash_key_.size(), field.data(), field.size(),
                         value, length) != REDIS_OK) {
    // What was queued before must be answered now, or its replies would reach the next command.
    try {
      ReadPipelinedReplies(queued);
    } catch (const std::exception&) {
    }
    throw conn_->Failure("Failed to queue HSET command");
  }
}

void RedisKeystore::ReadPipelinedReplies(uint64_t count) {
  SigpipeGuard no_sigpipe;
  static const std::string kFailed = "HSET command failed in batch execution";
  std::string first_error;
  for (uint64_t i = 0; i < count; ++i) {
    void* raw = nullptr;
    const int status = redisGetReply(context(), &raw);
    RedisReply reply = TakeReply(raw);
    // A failed read leaves the connection in its error state: no later command can take a stray
    // reply, and the connection is reopened before the next one.
    if (status != REDIS_OK || !reply) throw conn_->Failure(kFailed);
    if (IsError(reply.get()) && first_error.empty()) first_error = ReplyText(reply.get());
  }
  if (!first_error.empty()) throw CommandFailure(kFailed, first_error);
}

void RedisKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                      const std::vector<std::vector<uint8_t>>& values) {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Pushing " + std::to_string(keys.size()) + " items to Redis");
  if (keys.empty()) {
    EngineLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.size() != keys.size()) {
    EngineLogger().error("Mismatch between number of keys (" + std::to_string(keys.size()) + ") and batch size (" +
                         std::to_string(values.size()) + ")");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
  // Every HSET is an upsert of a keyed value: after a broken connection the batch is sent again whole.
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      std::vector<Field> fields;
      fields.reserve(keys.size());
      std::vector<FencedArg> args;
      args.reserve(2 * keys.size());
      for (size_t i = 0; i < keys.size(); ++i) {
        if (values[i].empty()) continue;
        fields.push_back(FieldOf(keys[i]));
        args.push_back({fields.back().data(), fields.back().size()});
        args.push_back(Arg(values[i]));
      }
      conn_->FencedHashWrite("HSET", HashArg(), args, "HSET command failed in batch execution");
      return;
    }
    uint64_t queued = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (values[i].empty()) continue;
      QueueHset(keys[i], values[i].data(), values[i].size(), queued);
      ++queued;
    }
    ReadPipelinedReplies(queued);
  });
  EngineLogger().info("Items successfully pushed to Redis");
}

void RedisKeystore::BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) {
  SigpipeGuard no_sigpipe;
  CheckBatchPush(keys, values, value_size_, "Redis", false);
  const uint64_t n = keys.size();
  static const uint8_t kEmpty = 0;
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      std::vector<Field> fields(n);
      std::vector<FencedArg> args;
      args.reserve(2 * n);
      for (uint64_t i = 0; i < n; ++i) {
        fields[i] = FieldOf(keys[i]);
        args.push_back({fields[i].data(), fields[i].size()});
        args.push_back({reinterpret_cast<const char*>(value_size_ == 0 ? &kEmpty : values.row(i)), value_size_});
      }
      conn_->FencedHashWrite("HSET", HashArg(), args, "HSET command failed in batch execution");
      return;
    }
    for (uint64_t i = 0; i < n; ++i) {
      QueueHset(keys[i], value_size_ == 0 ? &kEmpty : values.row(i), value_size_, i);
    }
    ReadPipelinedReplies(n);
  });
  EngineLogger().info("Items successfully pushed to Redis");
}

void RedisKeystore::DeleteItem(const uint64_t& key) {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Deleting item from Redis");
  const Field field = FieldOf(key);
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      conn_->FencedHashWrite("HDEL", HashArg(), {{field.data(), field.size()}}, "HDEL command failed");
      return;
    }
    RedisReply reply = TakeReply(
        redisCommand(context(), "HDEL %b %b", hash_key_.data(), hash_key_.size(), field.data(), field.size()));
    if (!reply || context()->err || IsError(reply.get())) throw conn_->Failure("HDEL command failed", reply.get());
  });
  EngineLogger().info("Item successfully deleted from Redis");
}

void RedisKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Deleting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    EngineLogger().warning("No keys provided for batch deletion");
    return;
  }
  // One HDEL of many fields per round trip, not one per key: deleting a few thousand items one by
  // one costs a round trip each. Deleting again what is gone already is no error: after a broken
  // connection the whole list is sent again.
  constexpr size_t kFieldsPerCommand = 10000;
  std::vector<Field> fields;
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      fields.resize(keys.size());
      std::vector<FencedArg> args(keys.size());
      for (size_t i = 0; i < keys.size(); ++i) {
        fields[i] = FieldOf(keys[i]);
        args[i] = {fields[i].data(), fields[i].size()};
      }
      conn_->FencedHashWrite("HDEL", HashArg(), args, "HDEL command failed");
      return;
    }
    for (size_t start = 0; start < keys.size(); start += kFieldsPerCommand) {
      const size_t end = std::min(keys.size(), start + kFieldsPerCommand);
      fields.resize(end - start);
      argv.assign({"HDEL", hash_key_.data()});
      lengths.assign({4, hash_key_.size()});
      for (size_t i = start; i < end; ++i) {
        fields[i - start] = FieldOf(keys[i]);
        argv.push_back(fields[i - start].data());
        lengths.push_back(fields[i - start].size());
      }
      RedisReply reply =
          TakeReply(redisCommandArgv(context(), static_cast<int>(argv.size()), argv.data(), lengths.data()));
      if (!reply || context()->err || IsError(reply.get())) throw conn_->Failure("HDEL command failed", reply.get());
    }
  });
  EngineLogger().info("Items successfully deleted from Redis");
}

std::vector<uint8_t> RedisKeystore::GetItem(const uint64_t& key) {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Getting item from Redis");
  const Field field = FieldOf(key);
  std::vector<uint8_t> value = conn_->Run(store_kind_, [&] {
    RedisReply reply = TakeReply(
        redisCommand(context(), "HGET %b %b", hash_key_.data(), hash_key_.size(), field.data(), field.size()));
    if (!reply || context()->err) throw conn_->Failure("HGET command failed");
    std::vector<uint8_t> found;
    if (reply->type == REDIS_REPLY_STRING) {
      found.assign(reinterpret_cast<const uint8_t*>(reply->str),
                   reinterpret_cast<const uint8_t*>(reply->str) + reply->len);
    } else if (reply->type != REDIS_REPLY_NIL) {
      // Only a nil reply means "absent"; an error must not read as a new, empty record.
      throw conn_->Failure("HGET command failed", reply.get());
    }
    return found;
  });
  EngineLogger().info("Item successfully retrieved from Redis");
  return value;
}

void RedisKeystore::ReadFields(const std::vector<uint64_t>& keys, ValueViews& out) {
  SigpipeGuard no_sigpipe;
  try {
    conn_->Run(store_kind_, [&] { ReadHashFields(*conn_, hash_key_, keys, out); });
  } catch (...) {
    out.values.clear();
    throw;
  }
}

std::vector<std::vector<uint8_t>> RedisKeystore::BatchGetVariable(const std::vector<uint64_t>& keys) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) return {};
  ReadFields(keys, read_scratch_);
  std::vector<std::vector<uint8_t>> result(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    result[i].assign(read_scratch_.values[i].begin(), read_scratch_.values[i].end());
  }
  read_scratch_.buffer.TrimAfterUse();
  EngineLogger().info("Items successfully retrieved from Redis");
  return result;
}

void RedisKeystore::BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    out.values.clear();
    out.owned.clear();
    return;
  }
  ReadFields(keys, out);
  EngineLogger().info("Items successfully retrieved from Redis");
}

ostrik::ByteMatrix RedisKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  EngineLogger().info("Getting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    EngineLogger().warning("No keys provided for batch retrieval");
    return ostrik::ByteMatrix();
  }
  ReadFields(keys, read_scratch_);
  ostrik::Bytes buffer(keys.size() * value_size_, 0);
  for (size_t i = 0; i < keys.size(); ++i) {
    // Each value fills its own row: a longer one is cut, a shorter one padded with zeros.
    const std::span<const uint8_t> value = read_scratch_.values[i];
    const size_t n = std::min<size_t>(value.size(), value_size_);
    if (n > 0) std::memcpy(buffer.data() + i * value_size_, value.data(), n);
  }
  read_scratch_.buffer.TrimAfterUse();
  ostrik::ByteMatrix result(std::move(buffer), value_size_);
  EngineLogger().info("Items successfully retrieved from Redis");
  return result;
}

void RedisKeystore::PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) {
  SigpipeGuard no_sigpipe;
  conn_->RunWrite(store_kind_, [&](bool fenced) {
    if (fenced) {
      try {
        conn_->FencedHashWrite("HSET", {table_name_.data(), table_name_.size()},
                               {{name.data(), name.size()}, Arg(value)}, "Redis HSET error");
      } catch (const CommandFailure&) {
        if (!conn_->Broken()) throw;
        throw conn_->Failure("Redis set_item error: connection failure.")
            .Logged("Redis HSET error: connection failure.", ostrik::CRITICAL);
      }
      return;
    }
    RedisReply reply = TakeReply(redisCommand(context(), "HSET %s %b %b", table_name_.c_str(), name.data(),
                                              name.size(), value.data(), value.size()));
    if (!reply || context()->err) {
      throw conn_->Failure("Redis set_item error: connection failure.")
          .Logged("Redis HSET error: connection failure.", ostrik::CRITICAL);
    }
    if (IsError(reply.get())) throw conn_->Failure("Redis HSET error", reply.get());
  });
}

std::vector<uint8_t> RedisKeystore::LoadConfigItem(const std::string& name) {
  SigpipeGuard no_sigpipe;
  RedisReply reply = conn_->Run(store_kind_, [&] {
    RedisReply r = TakeReply(redisCommand(context(), "HGET %s %b", table_name_.c_str(), name.data(), name.size()));
    if (!r || context()->err) {
      throw conn_->Failure("Redis get_item error: connection failure.")
          .Logged("Redis HGET error: connection failure.", ostrik::CRITICAL);
    }
    if (IsError(r.get())) throw conn_->Failure("Redis HGET error", r.get());
    return r;
  });
  if (reply->type == REDIS_REPLY_NIL) {
    reply.reset();
    EngineLogger().error("Index name '" + name + "' does not exist in Redis.");
    const std::string index = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    throw std::runtime_error("Index name '" + index + "' does not exist in Redis.");
  }
  std::vector<uint8_t> value;
  if (reply->type == REDIS_REPLY_STRING) {
    value.assign(reinterpret_cast<const uint8_t*>(reply->str), reinterpret_cast<const uint8_t*>(reply->str) + reply->len);
  }
  return value;
}

bool RedisKeystore::ConfigItemExists(const std::string& name) {
  SigpipeGuard no_sigpipe;
  return conn_->Run(store_kind_, [&] {
    RedisReply reply =
        TakeReply(redisCommand(context(), "HEXISTS %s %b", table_name_.c_str(), name.data(), name.size()));
    if (!reply || context()->err) throw conn_->Failure("Redis HEXISTS error: connection failure.");
    if (IsError(reply.get())) throw conn_->Failure("Redis HEXISTS error", reply.get());
    return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
  });
}

void RedisKeystore::DeleteIndex() {
  SigpipeGuard no_sigpipe;
  EngineLogger().info("Deleting index from Redis");
  // Only this index's two items of the config hash: it is shared with every index on the same table.
  const std::string state = index_name_ + ".oei";
  const std::string serialized = index_name_ + ".ovs";
  const bool config = store_kind_ == CONFIG;
  const long long removed = conn_->RunWrite(store_kind_, [&](bool fenced) -> long long {
    if (fenced) {
      return config ? conn_->FencedHashWrite("HDEL", {table_name_.data(), table_name_.size()},
                                             {{state.data(), state.size()}, {serialized.data(), serialized.size()}},
                                             "DEL command failed")
                    : conn_->FencedHashWrite("DEL", HashArg(), {}, "DEL command failed");
    }
    RedisReply reply =
        config ? TakeReply(redisCommand(context(), "HDEL %s %b %b", table_name_.c_str(), state.data(), state.size(),
                                        serialized.data(), serialized.size()))
               : TakeReply(redisCommand(context(), "DEL %b", hash_key_.data(), hash_key_.size()));
    if (!reply || context()->err || IsError(reply.get())) throw conn_->Failure("DEL command failed", reply.get());
    return reply->type == REDIS_REPLY_INTEGER ? reply->integer : -1;
  });
  if (removed == 0) {
    EngineLogger().warning(config ? "No table found with name " + table_name_ + " to delete."
                                  : "No index found with name " + std::to_string(hashed_index_name_) + " to delete.");
  }
  EngineLogger().info("Index successfully deleted from Redis");
}

uint64_t RedisKeystore::NumItems() {
  SigpipeGuard no_sigpipe;
  return conn_->Run(store_kind_, [&]() -> uint64_t {
    RedisReply reply = TakeReply(redisCommand(context(), "HLEN %b", hash_key_.data(), hash_key_.size()));
    if (!reply || context()->err || IsError(reply.get())) throw conn_->Failure("HLEN command failed", reply.get());
    return reply->type == REDIS_REPLY_INTEGER ? static_cast<uint64_t>(reply->integer) : 0;
  });
}

void RedisKeystore::SetValueSize(const uint64_t& size) { value_size_ = size; }

void RedisKeystore::LockIndex(std::chrono::milliseconds timeout) {
  conn_->LockIndex(this, store_kind_, hashed_index_name_, index_name_, timeout);
}

void RedisKeystore::UnlockIndex() noexcept {
  if (conn_) conn_->UnlockIndex(this);
}

bool RedisKeystore::HoldsIndexLock() const { return conn_ && conn_->HoldsLock(this); }

void RedisKeystore::CheckIndexLock() {
  if (conn_) conn_->RefuseIfLost();
  if (!HoldsIndexLock()) {
    const std::string text = LostLockText(index_name_, "it is not held");
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
  conn_->CheckIndexLock(store_kind_);
}

void RedisKeystore::SetLockGuard(uint64_t key, const std::vector<uint8_t>& value) {
  conn_->SetLockGuard(this, key, value);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
