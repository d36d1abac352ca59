// Keystore: the one interface through which the engine and the client reach a backing store, and
// StoreKind, the role of a store within its index.
//
// Values are opaque byte strings under 64-bit keys; config items are byte strings under names.
// Failures are exceptions: std::invalid_argument for bad arguments, std::runtime_error for a failed
// command on the server (each store documents its own texts). A server store whose connection broke
// reconnects on its next call and repeats the interrupted call once (see store_connection.h). A
// store is used by one thread at a time and takes no lock in the process; the writer lock below is
// one on the server, for writers in other processes.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "stores/read_buffer.h"

namespace ostrik_encrypted_index::internal::backing_store {

// The role of a store within its index. The value is added to the index's name hash to scope the
// store's items, so the four stores of one index carry four consecutive tags.
enum StoreKind : int32_t { INDEX = 0, CONFIG = 1, ITEMS = 2, DATA = 3 };

// The answer of a view read: values[i] is the value of key i, empty where the key has none. The
// views point into `owned`, into `buffer` (where a server store reads replies, its room kept for
// the next read) or into the store's own memory, and stay valid until the store is next changed or
// this record is next filled or destroyed.
struct ValueViews {
  std::vector<std::span<const uint8_t>> values;
  std::vector<std::vector<uint8_t>> owned;
  ReadBuffer buffer;
};

class Keystore {
 public:
  virtual ~Keystore() = default;

  // Stores row i (value_size_ bytes) under keys[i]. An empty key list is refused.
  virtual void BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) = 0;
  // Stores values[i] under keys[i]; an empty value is skipped (the key keeps what it held).
  virtual void BatchPushVariable(const std::vector<uint64_t>& keys,
                                 const std::vector<std::vector<uint8_t>>& values) = 0;
  // BatchPushVariable for values the caller is done with: a store that keeps values in memory keeps
  // these very buffers rather than copies. `values` is left valid but unspecified.
  virtual void BatchTakeVariable(const std::vector<uint64_t>& keys, std::vector<std::vector<uint8_t>>&& values) {
    BatchPushVariable(keys, values);
  }
  // Inserts or overwrites one value; an empty value is stored as such.
  virtual void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) = 0;
  // Keys without a value are passed over; an empty list is no error.
  virtual void BatchDeleteItems(const std::vector<uint64_t>& keys) = 0;
  virtual void DeleteItem(const uint64_t& key) = 0;
  // Empty when the key has no value (absent and empty are one answer).
  virtual std::vector<uint8_t> GetItem(const uint64_t& key) = 0;
  // One row of value_size_ bytes per key, in request order; zeros where a key has no value.
  virtual ostrik::ByteMatrix BatchGetItems(const std::vector<uint64_t>& keys) = 0;
  // One entry per key, in request order; empty where a key has no value.
  virtual std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) = 0;
  // BatchGetVariable's answer as views, without a copy per value where the store can lend its own
  // memory. `out` is refilled and its buffers reused; after a failure it holds no views. The
  // default keeps BatchGetVariable's answer in out.owned.
  virtual void BatchGetViews(const std::vector<uint64_t>& keys, ValueViews& out) {
    out.values.clear();
    out.owned = BatchGetVariable(keys);
    out.values.assign(out.owned.begin(), out.owned.end());
  }
  virtual void PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) = 0;
  // A missing item is a std::runtime_error.
  virtual std::vector<uint8_t> LoadConfigItem(const std::string& name) = 0;
  virtual bool ConfigItemExists(const std::string& name) = 0;
  // Removes what this store holds for its index (a config store: this index's config items).
  virtual void DeleteIndex() = 0;
  // The number of values held under this store's own tag.
  virtual uint64_t NumItems() = 0;
  virtual void SetValueSize(const uint64_t& size) = 0;

  // The writer lock of this store's index, kept on the store's server so that writers in several
  // processes serialise. A memory store belongs to one process, whose index serialises it: there
  // these do nothing. Only the index store of an index takes it; every store sharing its connection
  // (the data store always does) then has its interrupted calls repeated only under the lock taken
  // back with its guard unchanged, and the index's stores on other servers hold a companion lock
  // there (see store_connection.h). While it is held every write is fenced: the server applies it
  // only if the lock is still this writer's at that moment; once it is lost, the stores send no
  // write until UnlockIndex. After any failure HoldsIndexLock tells whether it is still held.
  //
  // Takes the lock, waiting at most `timeout`. PostgreSQL: a session advisory lock, polled, keyed by
  // a hash of the table name and the store's tag; it goes when the connection dies. Redis: a key
  // with a token and an expiry (see redis_store_connection.h). Throws std::runtime_error
  // "Timed out after <n> s waiting for the writer lock of index '<index_name>'" (logged at ERROR).
  // REQUIRES: this store does not hold it.
  virtual void LockIndex(std::chrono::milliseconds /*timeout*/) {}
  // Releases the lock if held. Never throws: a failure is logged at ERROR (an unreleased
  // PostgreSQL lock goes with its connection, a Redis one at its expiry).
  virtual void UnlockIndex() noexcept {}
  // True while the lock is believed held (taken and not known lost).
  virtual bool HoldsIndexLock() const { return false; }
  // Renews a Redis lock when due; no round trip when nothing is. Throws std::runtime_error
  // "Lost the writer lock of index '<index_name>': <why>" when the lock is no longer held and
  // cannot be taken back with its guard unchanged.
  virtual void CheckIndexLock() {}
  // Names the guard of the held lock: while this store holds it, the value under `key` in this
  // store is `value` unless another writer wrote since. Call it after reading or writing that
  // value; nothing happens when the lock is not held.
  virtual void SetLockGuard(uint64_t /*key*/, const std::vector<uint8_t>& /*value*/) {}
};

}  // namespace ostrik_encrypted_index::internal::backing_store
