#include "stores/postgres_key_read.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>

#include "stores/pg_result.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

const std::string kFailed = "Batch get failed: ";

// "{k1,k2,...}".
std::string KeyArray(const std::vector<uint64_t>& keys) {
  std::string list(keys.size() * 21 + 2, '\0');
  char* at = list.data();
  *at++ = '{';
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) *at++ = ',';
    at = std::to_chars(at, list.data() + list.size(), keys[i]).ptr;
  }
  *at++ = '}';
  list.resize(static_cast<size_t>(at - list.data()));
  return list;
}

uint64_t BigEndian64(const char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

struct Slot {
  uint64_t offset = 0;
  uint64_t length = 0;
};

}  // namespace

std::string KeyReadStatement(const std::string& table) {
  // OFFSET 0 keeps the subquery a subquery: one primary-key look-up per key, never a hash join
  // over the table. The keys reach the plan through a subquery, so that the planner does not plan
  // (and compile, past the server's JIT threshold) each read anew for its number of keys: the
  // plan is one nested loop whatever the count.
  return "SELECT k.i, v.value FROM unnest((SELECT $1::text[])) WITH ORDINALITY AS k(key, i) CROSS JOIN LATERAL (SELECT "
         "value FROM " +
         table + " t WHERE t.key = k.key AND t.index_name = $2 OFFSET 0) v;";
}

void ReadKeyedValues(PostgresStoreConnection& conn, const std::string& statement, int64_t tag,
                     const std::vector<uint64_t>& keys, ValueViews& out, bool small_values) {
  out.values.clear();
  out.owned.clear();
  out.buffer.clear();
  const size_t n = keys.size();
  // Each key once, in ascending order: look-ups in key order find the upper pages of the primary
  // key where the last one left them (a quarter less server time than in request order).
  std::vector<std::pair<uint64_t, uint32_t>> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = {keys[i], static_cast<uint32_t>(i)};
  std::sort(order.begin(), order.end());
  std::vector<uint64_t> distinct;
  distinct.reserve(n);
  std::vector<uint32_t> place(n);  // per request position: its key's place in `distinct`
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || order[i].first != order[i - 1].first) distinct.push_back(order[i].first);
    place[order[i].second] = static_cast<uint32_t>(distinct.size() - 1);
  }
  const std::string list = KeyArray(distinct);
  const std::string h = std::to_string(tag);
  const char* values[2] = {list.c_str(), h.c_str()};
  const std::string& name = conn.Prepared(statement, 2, kFailed);
  PGconn* pg = conn.get();
  if (PQsendQueryPrepared(pg, name.c_str(), 2, values, nullptr, nullptr, 1) == 0) throw conn.Failure(kFailed);
  // Rows are taken one at a time: libpq would otherwise hold every value in an allocation of its
  // own until the last row is in.
  if (!small_values) PQsetSingleRowMode(pg);

  const size_t m = distinct.size();
  std::vector<Slot> slots(m);
  std::optional<CommandFailure> failure;
  while (PGresult* raw = PQgetResult(pg)) {
    const PgResult r(raw);
    const ExecStatusType status = PQresultStatus(raw);
    // One row at a time, then the end (no rows); all of them at once had single rows been refused.
    if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK) {
      if (!failure) failure = conn.Failure(kFailed);
      continue;  // the rest is read, so that the session is idle again
    }
    for (int row = 0; row < PQntuples(raw) && !failure; ++row) {
      const uint64_t position = PQgetlength(raw, row, 0) == 8 ? BigEndian64(PQgetvalue(raw, row, 0)) : 0;
      if (position < 1 || position > m) {
        failure = CommandFailure(kFailed, "the server answered a row for no requested key");
        break;
      }
      const size_t length = static_cast<size_t>(PQgetlength(raw, row, 1));
      const uint64_t offset = out.buffer.size();
      if (length != 0) {
        std::memcpy(out.buffer.Reserve(length), PQgetvalue(raw, row, 1), length);
        out.buffer.Commit(length);
      }
      slots[position - 1] = {offset, length};
    }
  }
  if (failure) throw *failure;

  out.values.resize(n);
  const uint8_t* base = out.buffer.data();
  for (size_t i = 0; i < n; ++i) {
    const Slot& slot = slots[place[i]];
    if (slot.length != 0) out.values[i] = {base + slot.offset, slot.length};
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
