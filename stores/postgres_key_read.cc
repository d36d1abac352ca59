#include "stores/postgres_key_read.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "stores/pg_result.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

const std::string kFailed = "Batch get failed: ";

// "{k1,k2,...}".
std::string KeyArray(std::span<const uint64_t> keys) {
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

namespace {

// Distinct keys per session beyond which a read takes one more (up to kReaderSessions): below, one
// session answers within a few round trips anyway.
constexpr size_t kKeysPerSession = 64;

using ReaderSession = PostgresStoreConnection::ReaderSession;

// One session's share of a read: the sorted distinct keys [begin, end).
struct Part {
  PGconn* pg = nullptr;
  size_t begin = 0, end = 0;
  std::string list;
  bool done = false;
  std::optional<CommandFailure> failure;
};

// Takes the rows of one result of `part` into `out` and `slots`.
void TakeRows(const PGresult* raw, Part& part, std::vector<Slot>& slots, ValueViews& out) {
  const size_t count = part.end - part.begin;
  for (int row = 0; row < PQntuples(raw); ++row) {
    const uint64_t position = PQgetlength(raw, row, 0) == 8 ? BigEndian64(PQgetvalue(raw, row, 0)) : 0;
    if (position < 1 || position > count) {
      part.failure = CommandFailure(kFailed, "the server answered a row for no requested key");
      return;
    }
    const size_t length = static_cast<size_t>(PQgetlength(raw, row, 1));
    const uint64_t offset = out.buffer.size();
    if (length != 0) {
      std::memcpy(out.buffer.Reserve(length), PQgetvalue(raw, row, 1), length);
      out.buffer.Commit(length);
    }
    slots[part.begin + position - 1] = {offset, length};
  }
}

// Takes every result `part` has ready; the part is done at its last. A failed result is read to
// the end all the same, so that the session is idle again.
void TakeReady(Part& part, bool wait, std::vector<Slot>& slots, ValueViews& out,
               const std::function<CommandFailure()>& failure_of) {
  while (!part.done && (wait || PQisBusy(part.pg) == 0)) {
    PGresult* raw = PQgetResult(part.pg);
    if (raw == nullptr) {
      part.done = true;
      break;
    }
    const PgResult r(raw);
    const ExecStatusType status = PQresultStatus(raw);
    // One row at a time, then the end (no rows); all of them at once had single rows been refused.
    if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK) {
      if (!part.failure) part.failure = failure_of();
      continue;
    }
    if (!part.failure) TakeRows(raw, part, slots, out);
  }
}

// Sends part's statement; false when it could not be sent.
bool Send(Part& part, const std::string& name, const std::string& tag, bool small_values,
          const std::vector<uint64_t>& distinct) {
  part.list = KeyArray(std::span<const uint64_t>(distinct).subspan(part.begin, part.end - part.begin));
  const char* values[2] = {part.list.c_str(), tag.c_str()};
  if (PQsendQueryPrepared(part.pg, name.c_str(), 2, values, nullptr, nullptr, 1) == 0) return false;
  // Rows are taken one at a time: libpq would otherwise hold every value in an allocation of its
  // own until the last row is in.
  if (!small_values) PQsetSingleRowMode(part.pg);
  return true;
}

// The read shared by the main session and `readers`, all at once: the servers look keys up side
// by side while the rows of each are taken as they come. False when a reading session failed (the
// caller reads again on the main session alone); throws the main session's failure.
bool ReadInParts(PostgresStoreConnection& conn, const std::string& statement, const std::string& tag,
                 const std::vector<uint64_t>& distinct, const std::vector<ReaderSession*>& readers,
                 bool small_values, std::vector<Slot>& slots, ValueViews& out) {
  const size_t m = distinct.size(), n_parts = readers.size() + 1;
  const std::string& name = conn.Prepared(statement, 2, kFailed);
  std::vector<Part> parts(n_parts);
  for (size_t p = 0; p < n_parts; ++p) {
    parts[p].pg = p == 0 ? conn.get() : readers[p - 1]->conn.get();
    parts[p].begin = m * p / n_parts;
    parts[p].end = m * (p + 1) / n_parts;
  }
  bool readers_ok = true;
  for (size_t p = 1; p < n_parts; ++p) {
    if (!conn.PreparedOn(*readers[p - 1], statement, 2) || !Send(parts[p], name, tag, small_values, distinct)) {
      readers_ok = false;
      parts[p].done = true;
    }
  }
  if (!Send(parts[0], name, tag, small_values, distinct)) throw conn.Failure(kFailed);
  auto main_failure = [&] { return conn.Failure(kFailed); };
  std::vector<pollfd> polled;
  std::vector<size_t> polled_part;
  while (true) {
    polled.clear();
    polled_part.clear();
    for (size_t p = 0; p < n_parts; ++p) {
      if (parts[p].done) continue;
      polled.push_back({PQsocket(parts[p].pg), POLLIN, 0});
      polled_part.push_back(p);
    }
    if (polled.empty()) break;
    if (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR) {
      parts[0].failure = CommandFailure(kFailed, std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    for (size_t j = 0; j < polled.size(); ++j) {
      if (polled[j].revents == 0) continue;
      Part& part = parts[polled_part[j]];
      const bool main = polled_part[j] == 0;
      const auto failure_of = [&, main, pg = part.pg] {
        return main ? main_failure() : CommandFailure(kFailed, PQerrorMessage(pg));
      };
      // A session that cannot take its input is broken: what it still has comes as failed results.
      TakeReady(part, PQconsumeInput(part.pg) == 0, slots, out, failure_of);
    }
  }
  for (size_t p = 1; p < n_parts; ++p) readers_ok = readers_ok && !parts[p].failure;
  if (parts[0].failure) {
    conn.DropReaderSessions();
    throw *parts[0].failure;
  }
  return readers_ok;
}

// The read on the main session alone.
void ReadWhole(PostgresStoreConnection& conn, const std::string& statement, const std::string& tag,
               const std::vector<uint64_t>& distinct, bool small_values, std::vector<Slot>& slots, ValueViews& out) {
  Part part;
  part.pg = conn.get();
  part.end = distinct.size();
  const std::string& name = conn.Prepared(statement, 2, kFailed);
  if (!Send(part, name, tag, small_values, distinct)) throw conn.Failure(kFailed);
  TakeReady(part, /*wait=*/true, slots, out, [&] { return conn.Failure(kFailed); });
  if (part.failure) throw *part.failure;
}

}  // namespace

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
  const std::string h = std::to_string(tag);
  const size_t m = distinct.size();
  std::vector<Slot> slots(m);

  // A large read is shared between sessions: one server process answers a key in a few
  // microseconds, and a query of many probes asks for tens of thousands.
  const size_t wanted = std::min(PostgresStoreConnection::kReaderSessions, std::max<size_t>(1, m / kKeysPerSession));
  const std::vector<ReaderSession*> readers =
      wanted > 1 ? conn.ReaderSessions(wanted - 1) : std::vector<ReaderSession*>();
  if (readers.empty() || !ReadInParts(conn, statement, h, distinct, readers, small_values, slots, out)) {
    if (!readers.empty()) {
      // A reading session failed: they go, and the main session reads alone, as before.
      conn.DropReaderSessions();
      out.buffer.clear();
      slots.assign(m, Slot());
    }
    ReadWhole(conn, statement, h, distinct, small_values, slots, out);
  }

  out.values.resize(n);
  const uint8_t* base = out.buffer.data();
  for (size_t i = 0; i < n; ++i) {
    const Slot& slot = slots[place[i]];
    if (slot.length != 0) out.values[i] = {base + slot.offset, slot.length};
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
