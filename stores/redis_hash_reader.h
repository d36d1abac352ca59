// ReadHashFields: the values of many fields of one Redis hash, read as pipelined HMGETs of at most
// kHashReadChunk fields each, sent in batches whose replies come to about kHashReadBatchBytes (the
// first, before anything is known of the values' sizes, is one command; a value larger than a
// batch is a batch of its own), two batches unanswered at a time. A single reply of tens of
// megabytes would hold the single-threaded server for hundreds of milliseconds, build up there
// (and in this process, a reply object per value) before the first byte arrived; these replies are
// parsed as they arrive, straight into the caller's reused ReadBuffer, and the views point into
// it. Batches form rounds of about kHashReadRoundBytes: between rounds, with no reply outstanding,
// the connection renews a writer lock that is due (a training reads a whole index in one call).
//
// Runs as (part of) the operation given to the connection's Run: throws CommandFailure with the
// text "HMGET command failed" and the server's error reply, "unexpected reply" for a reply of
// another shape, or the connection's error; a reply stream that cannot be followed leaves the
// connection broken (so that it is reopened, not reused out of step). Every reply of a round is
// read before a failure is reported. After a failure `out` holds no views. Not synchronised: the
// connection's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "stores/keystore.h"
#include "stores/redis_store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {

inline constexpr size_t kHashReadChunk = 128;
inline constexpr uint64_t kHashReadBatchBytes = uint64_t{1} << 20;
inline constexpr uint64_t kHashReadRoundBytes = uint64_t{16} << 20;

// out.values[i] is the value of field keys[i] (8 bytes little-endian) of the hash whose key is
// `hash`; empty where the hash has none.
void ReadHashFields(RedisStoreConnection& conn, const std::array<char, 8>& hash, const std::vector<uint64_t>& keys,
                    ValueViews& out);

}  // namespace ostrik_encrypted_index::internal::backing_store
