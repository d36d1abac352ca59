#include "stores/memory_keystore.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "core/team_size.h"
#include "stores/batch_push_checks.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

// Keys looked up per thread of a batch read's team: each lookup misses the cache (some 10-30 ns
// with the copy), so 1 and 2 threads break even only at 200-400 keys here.
constexpr uint64_t kThreadReads = 256;

// Lookups of a batch miss the cache at the slot and, for a value too long to be kept in it and
// copied out, again at the value: the slot of the key kSlotsAhead places on is asked for, and the
// value of the key kValuesAhead on (its slot in cache by then), so that each lookup finds both
// waiting. A read that copies no value off the heap (views, inline values) asks for slots only.
constexpr int64_t kSlotsAhead = 32;
constexpr int64_t kValuesAhead = 8;

inline void PrefetchAhead(const FlatValueMap& entry, const std::vector<uint64_t>& keys, int64_t i, int64_t count,
                          bool values) {
  if (i + kSlotsAhead < count) entry.Prefetch(keys[static_cast<size_t>(i + kSlotsAhead)]);
  if (values && i + kValuesAhead < count) {
    const FlatValueMap::Value* ahead = entry.Find(keys[static_cast<size_t>(i + kValuesAhead)]);
    if (ahead != nullptr && ahead->size() > FlatValueMap::Value::kInline) __builtin_prefetch(ahead->data());
  }
}

// Logs prefix + message at ERROR and throws std::runtime_error with the same text.
[[noreturn]] void Rethrow(const std::string& prefix, const std::exception& e) {
  const std::string text = prefix + e.what();
  EngineLogger().error(text);
  throw std::runtime_error(text);
}

// A push of variable values: its checks before the first change, then put(slot, value) for every
// non-empty value, the index's entry created at the first.
template <typename Values, typename Put>
void PushVariable(std::unordered_map<uint64_t, FlatValueMap>& map, uint64_t name, const std::vector<uint64_t>& keys,
                  Values& values, Put put) {
  const uint64_t n = keys.size();
  EngineLogger().info("Pushing " + std::to_string(n) + " items to Memory");
  if (n == 0) {
    EngineLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (values.size() != n) {
    EngineLogger().error("Mismatch between number of keys and batch size");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
  FlatValueMap* entry = nullptr;
  for (uint64_t i = 0; i < n; ++i) {
    if (values[i].empty()) continue;
    if (entry == nullptr) entry = &map[name];
    put((*entry)[keys[i]], values[i]);
  }
  EngineLogger().info("Items successfully pushed to Memory");
}

}  // namespace

MemoryKeystore::MemoryKeystore(const std::string& index_name, const uint64_t& index_name_hash,
                               const int32_t& kind)
    : hashed_index_name_(index_name_hash + static_cast<uint64_t>(static_cast<int64_t>(kind))),
      index_name_(index_name) {}

void MemoryKeystore::BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) {
  CheckBatchPush(keys, values, value_size_, "Memory");
  const uint64_t n = keys.size();
  if (values.cols != 0) {
    Entry& entry = map_[hashed_index_name_];
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* row = values.row(i);
      entry[keys[i]].assign(row, row + values.cols);
    }
  }
  EngineLogger().info("Items successfully pushed to Memory");
}

void MemoryKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                       const std::vector<std::vector<uint8_t>>& values) {
  PushVariable(map_, hashed_index_name_, keys, values,
               [](FlatValueMap::Value& slot, const std::vector<uint8_t>& value) { slot = value; });
}

void MemoryKeystore::BatchTakeVariable(const std::vector<uint64_t>& keys, std::vector<std::vector<uint8_t>>&& values) {
  PushVariable(map_, hashed_index_name_, keys, values,
               [](FlatValueMap::Value& slot, std::vector<uint8_t>& value) { slot.Adopt(std::move(value)); });
}

void MemoryKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  try {
    EngineLogger().info("Pushing item to Memory with key: " + std::to_string(key));
    map_[hashed_index_name_][key] = value;
    EngineLogger().info("Item successfully pushed to Memory");
  } catch (const std::exception& e) {
    Rethrow("Exception in PushItem: ", e);
  }
}

void MemoryKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  try {
    EngineLogger().info("Deleting " + std::to_string(keys.size()) + " items from Memory");
    if (keys.empty()) {
      EngineLogger().warning("No keys provided for batch deletion");
      return;
    }
    auto it = map_.find(hashed_index_name_);
    if (it != map_.end()) {
      for (uint64_t key : keys) it->second.Erase(key);
      if (it->second.empty()) map_.erase(it);
    } else {
      EngineLogger().warning("Index name for hashed_index_name_ does not exist.");
    }
    EngineLogger().info("Items successfully deleted from Memory");
  } catch (const std::exception& e) {
    Rethrow("Exception in BatchDeleteItems: ", e);
  }
}

void MemoryKeystore::DeleteItem(const uint64_t& key) {
  try {
    EngineLogger().info("Deleting item from Memory with key: " + std::to_string(key));
    auto it = map_.find(hashed_index_name_);
    if (it != map_.end()) {
      it->second.Erase(key);
      EngineLogger().info("Item successfully deleted from Memory");
    } else {
      EngineLogger().warning("Index name not found during DeleteItem");
    }
  } catch (const std::exception& e) {
    Rethrow("Exception in DeleteItem: ", e);
  }
}

std::vector<uint8_t> MemoryKeystore::GetItem(const uint64_t& key) {
  try {
    EngineLogger().info("Getting item from Memory");
    auto it = map_.find(hashed_index_name_);
    if (it == map_.end()) {
      EngineLogger().warning("Index name not found in MemoryKeystore");
      return {};
    }
    const FlatValueMap::Value* found = it->second.Find(key);
    if (found == nullptr) {
      EngineLogger().warning("Key not found in MemoryKeystore for index");
      return {};
    }
    EngineLogger().info("Item found in Memory");
    return found->ToVector();
  } catch (const std::exception& e) {
    EngineLogger().error(std::string("Exception in GetItem: ") + e.what());
    throw std::runtime_error(std::string("Failed to retrieve item from MemoryKeystore: ") + e.what());
  }
}

ostrik::ByteMatrix MemoryKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  try {
    const uint64_t n = keys.size();
    EngineLogger().info("Getting " + std::to_string(n) + " items from Memory");
    if (n == 0) {
      EngineLogger().warning("No keys provided for batch retrieval");
      return ostrik::ByteMatrix();
    }
    auto it = map_.find(hashed_index_name_);
    if (it == map_.end()) {
      EngineLogger().warning("Index not found in MemoryKeystore. Returning default values.");
      return ostrik::ByteMatrix(ostrik::Bytes(n * value_size_, 0), value_size_);
    }
    // Rows are disjoint and the map is only read, so lookups and copies run in parallel; a missing
    // key keeps its zero row. The first refused key in request order is the one reported.
    const Entry& entry = it->second;
    const uint64_t width = value_size_;
    const bool heap_values = width > FlatValueMap::Value::kInline;
    ostrik::Bytes data(n * width, 0);
    const int64_t count = static_cast<int64_t>(n);
    const int threads = ostrik::TeamSize(n, kThreadReads);
    int64_t refused = count;
#pragma omp parallel for schedule(static) reduction(min : refused) num_threads(threads) if (threads > 1)
    for (int64_t i = 0; i < count; ++i) {
      PrefetchAhead(entry, keys, i, count, heap_values);
      const FlatValueMap::Value* found = entry.Find(keys[static_cast<size_t>(i)]);
      if (found == nullptr) continue;
      if (found->size() != width) {
        refused = std::min(refused, i);
        continue;
      }
      if (width != 0) std::memcpy(data.data() + static_cast<uint64_t>(i) * width, found->data(), width);
    }
    if (refused < count) {
      const uint64_t key = keys[static_cast<size_t>(refused)];
      const std::string text = "Key " + std::to_string(key) + " has unexpected value size: " +
                               std::to_string(entry.Find(key)->size()) + " (expected " + std::to_string(width) + ")";
      EngineLogger().error(text);
      throw std::invalid_argument(text);
    }
    EngineLogger().info("Items successfully retrieved from Memory");
    return ostrik::ByteMatrix(std::move(data), value_size_);
  } catch (const std::exception& e) {
    Rethrow("Exception in BatchGetItems: ", e);
  }
}

std::vector<std::vector<uint8_t>> MemoryKeystore::BatchGetVariable(const std::vector<uint64_t>& keys) {
  try {
    const uint64_t n = keys.size();
    EngineLogger().info("Getting " + std::to_string(n) + " items from Memory");
    if (n == 0) {
      EngineLogger().warning("No keys provided for batch retrieval");
      return {};
    }
    std::vector<std::vector<uint8_t>> result;
    auto it = map_.find(hashed_index_name_);
    if (it == map_.end()) {
      EngineLogger().warning("Index not found in MemoryKeystore. Returning default empty vectors.");
      result.resize(n);
      return result;
    }
    // One output row per key, sized before the region; the map is only read. A failed copy is
    // reported after the region as the allocation failure it is.
    const Entry& entry = it->second;
    result.resize(n);
    const int64_t count = static_cast<int64_t>(n);
    const int threads = ostrik::TeamSize(n, kThreadReads);
    bool failed = false;
#pragma omp parallel for schedule(static) reduction(|| : failed) num_threads(threads) if (threads > 1)
    for (int64_t i = 0; i < count; ++i) {
      PrefetchAhead(entry, keys, i, count, true);
      const FlatValueMap::Value* found = entry.Find(keys[static_cast<size_t>(i)]);
      if (found == nullptr) continue;
      try {
        result[static_cast<size_t>(i)] = found->ToVector();
      } catch (...) {
        failed = true;
      }
    }
    if (failed) throw std::bad_alloc();
    EngineLogger().info("Items successfully retrieved from Memory");
    return result;
  } catch (const std::exception& e) {
    Rethrow("Exception in BatchGetVariable: ", e);
  }
}

void MemoryKeystore::BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) {
  out.values.clear();
  out.owned.clear();
  try {
    const uint64_t n = keys.size();
    EngineLogger().info("Getting " + std::to_string(n) + " items from Memory");
    if (n == 0) {
      EngineLogger().warning("No keys provided for batch retrieval");
      return;
    }
    out.values.resize(n);
    auto it = map_.find(hashed_index_name_);
    if (it == map_.end()) {
      EngineLogger().warning("Index not found in MemoryKeystore. Returning default empty vectors.");
      return;
    }
    // The map is only read and every view has its own slot, so the lookups run in parallel.
    const Entry& entry = it->second;
    const int64_t count = static_cast<int64_t>(n);
    const int threads = ostrik::TeamSize(n, kThreadReads);
#pragma omp parallel for schedule(static) num_threads(threads) if (threads > 1)
    for (int64_t i = 0; i < count; ++i) {
      PrefetchAhead(entry, keys, i, count, false);
      const FlatValueMap::Value* found = entry.Find(keys[static_cast<size_t>(i)]);
      if (found != nullptr) out.values[static_cast<size_t>(i)] = found->bytes();
    }
    EngineLogger().info("Items successfully retrieved from Memory");
  } catch (const std::exception& e) {
    out.values.clear();
    Rethrow("Exception in BatchGetViews: ", e);
  }
}

void MemoryKeystore::PushConfigItem(const std::string& /*name*/, const std::vector<uint8_t>& /*value*/) {}

std::vector<uint8_t> MemoryKeystore::LoadConfigItem(const std::string& /*name*/) {
  throw std::runtime_error("MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
}

bool MemoryKeystore::ConfigItemExists(const std::string& /*name*/) { return false; }

void MemoryKeystore::DeleteIndex() {
  try {
    EngineLogger().info("Deleting index from Memory");
    auto it = map_.find(hashed_index_name_);
    if (it != map_.end()) {
      map_.erase(it);
      EngineLogger().info("Index successfully deleted from Memory");
    } else {
      EngineLogger().warning("Cannot delete index. Index does not exist.");
    }
  } catch (const std::exception& e) {
    Rethrow("Exception in DeleteIndex: ", e);
  }
}

uint64_t MemoryKeystore::NumItems() { return map_[hashed_index_name_].size(); }

void MemoryKeystore::SetValueSize(const uint64_t& size) { value_size_ = size; }

}  // namespace ostrik_encrypted_index::internal::backing_store
