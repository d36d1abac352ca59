// Fenced writes of PostgresStoreConnection: one pipeline, one implicit transaction, whose first
// statement divides by the number of this session's holds of the writer lock, so that a session
// without the lock fails it (division by zero) and the server skips and rolls back the rest.
#include <cstring>
#include <string>
#include <vector>

#include "stores/postgres_store_connection.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

constexpr const char* kFenceCheck =
    "SELECT 1 / (SELECT count(*)::int FROM pg_locks WHERE locktype = 'advisory' AND granted AND "
    "pid = pg_backend_pid() AND classid = $1::oid AND objid = $2::oid AND objsubid = 1)";
constexpr const char* kDivisionByZero = "22012";

bool IsDivisionByZero(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return state != nullptr && std::strcmp(state, kDivisionByZero) == 0;
}

}  // namespace

void PostgresStoreConnection::RunFenced(const std::vector<Statement>& statements) {
  static const std::string kStart = "Failed to check the writer lock: ";
  const std::string& check = Prepared(kFenceCheck, 2, kStart);
  const std::array<std::string, 2> parts = LockKeyParts();
  const char* check_values[2] = {parts[0].c_str(), parts[1].c_str()};

  PGconn* c = conn_.get();
  if (PQenterPipelineMode(c) != 1) throw Failure(kStart);
  // Every result is read before the pipeline is left, whatever failed: only then does the session
  // take other commands.
  struct Leave {
    PGconn* c;
    ~Leave() { PQexitPipelineMode(c); }
  } leave{c};

  bool sent = PQsendQueryPrepared(c, check.c_str(), 2, check_values, nullptr, nullptr, 0) == 1;
  for (size_t i = 0; sent && i < statements.size(); ++i) {
    const Statement& s = statements[i];
    sent = s.prepared != nullptr
               ? PQsendQueryPrepared(c, s.prepared->c_str(), s.n_params, s.values, s.lengths, s.formats, 0) == 1
               : PQsendQueryParams(c, s.text->c_str(), s.n_params, nullptr, s.values, s.lengths, s.formats, 0) == 1;
  }
  if (!sent || PQpipelineSync(c) != 1) throw Failure(kStart);

  // Results in order: the check, each statement, then the sync. A failure aborts what follows
  // (PGRES_PIPELINE_ABORTED) up to the sync, which rolls the transaction back.
  bool refused = false;
  std::string failed_start, failed_reason;
  for (size_t i = 0; i <= statements.size(); ++i) {
    PgResult r(PQgetResult(c));
    if (!r) throw Failure(i == 0 ? kStart : *statements[i - 1].failure_start);
    const ExecStatusType status = PQresultStatus(r.get());
    if (status == PGRES_FATAL_ERROR && failed_start.empty() && !refused) {
      if (i == 0 && IsDivisionByZero(r.get())) {
        refused = true;
      } else {
        failed_start = i == 0 ? kStart : *statements[i - 1].failure_start;
        failed_reason = Message();
      }
    }
    // Each query's results end with a null.
    while (PgResult(PQgetResult(c))) {
    }
  }
  PgResult sync(PQgetResult(c));
  if (PgStatus(sync) != PGRES_PIPELINE_SYNC) throw Failure(kStart);
  if (refused) throw FenceRefused();
  if (!failed_start.empty()) throw CommandFailure(failed_start, failed_reason);
}

}  // namespace ostrik_encrypted_index::internal::backing_store
