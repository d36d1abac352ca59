// The batch read of a PostgreSQL item store: the values of many keys of one store's rows, by a
// plan that looks every key up in the primary key however many there are. A plain
// "key = ANY(list)" turns, from a few thousand keys on, into a sequential scan of the whole shared
// table with a hashed filter; here the keys are unnested with their positions and each is looked
// up on its own (a LATERAL subquery that the planner cannot flatten into a hash join), and rows
// come back in request order with their position, so that no key has to be parsed or matched
// here. Rows of values of some size are taken one at a time as they arrive and copied into the
// caller's reused ReadBuffer, instead of a result that holds one allocation per value until the
// last row is in.
//
// KeyReadStatement builds the statement of a table (its name checked by CheckPostgresTableName).
// ReadKeyedValues runs as (part of) the operation given to the connection's Run and throws
// CommandFailure("Batch get failed: ", libpq's message); every result of the statement is read
// and released before it returns or throws, so the session is idle again. After a failure `out`
// holds no views. Not synchronised: the connection's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stores/keystore.h"
#include "stores/postgres_store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {

// $1: the keys as a text array in request order; $2: the store's tag.
std::string KeyReadStatement(const std::string& table);

// out.values[i] is the value of keys[i] among the rows of `tag`; empty where there is none.
// `small_values`: the values are known to be a few bytes each (index entries), which libpq keeps
// packed in its result blocks: then one result of every row costs less than a result per row.
void ReadKeyedValues(PostgresStoreConnection& conn, const std::string& statement, int64_t tag,
                     const std::vector<uint64_t>& keys, ValueViews& out, bool small_values = false);

}  // namespace ostrik_encrypted_index::internal::backing_store
