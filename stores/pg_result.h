// Small owners of libpq handles: PgResult releases a result with PQclear, PgConnection closes a
// connection with PQfinish, each exactly once and on every path.
//
// Nothing here throws. Not synchronised: an owner belongs to the one thread that uses its handle.
#pragma once

#include <libpq-fe.h>

#include <memory>

namespace ostrik_encrypted_index::internal::backing_store {

struct PgResultDeleter {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
struct PgConnectionDeleter {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};

using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;
using PgConnection = std::unique_ptr<PGconn, PgConnectionDeleter>;

// The status of a result; a null result (out of memory, lost connection) counts as a fatal error.
inline ExecStatusType PgStatus(const PgResult& r) {
  return r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
