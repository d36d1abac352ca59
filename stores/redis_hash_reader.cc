#include "stores/redis_hash_reader.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

const std::string kFailed = "HMGET command failed";
// Fields of the first batch (one command: a read of a few keys, such as an upsert's, is one round
// trip; values of any size may come, megabytes each for contents, so it asks for no more), the
// most of a later one, and how many batches may be unanswered at once.
constexpr size_t kFirstBatchFields = kHashReadChunk;
constexpr size_t kMaxBatchFields = 64 * kHashReadChunk;
constexpr size_t kInFlight = 2;
// The least room a socket read is given: it may bring all the room the buffer has (a reused one:
// megabytes, in fewer reads than the client library's 16 kB ones), but a fresh buffer for a small
// read is not made larger than that.
constexpr size_t kReadRoom = size_t{64} << 10;

// Where a value lies in the buffer while it may still move (the buffer grows).
struct Slot {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The reply stream of one read, parsed where it lands in `buffer`.
class ReplyStream {
 public:
  ReplyStream(RedisStoreConnection& conn, ReadBuffer& buffer) : conn_(conn), c_(conn.get()), buffer_(buffer) {}

  // The replies of `chunks` HMGETs of the given field counts, in order; slots[first + i] gets
  // element i. Returns the first error reply's text, or "unexpected reply" for another shape, or
  // "" when every reply was an array of the expected length.
  std::string ReadReplies(const std::vector<size_t>& chunk_fields, std::vector<Slot>& slots, size_t first) {
    std::string failure;
    for (size_t expected : chunk_fields) {
      const Line head = NextLine();
      const char type = buffer_.data()[head.begin];
      if (type == '-') {
        if (failure.empty()) failure = Text(head, 1);
        continue;
      }
      if (type != '*') {
        SkipScalar(head);
        if (failure.empty()) failure = "unexpected reply";
        continue;
      }
      const long long n = Integer(head);
      for (long long i = 0; i < n; ++i) {
        const Line item = NextLine();
        const char item_type = buffer_.data()[item.begin];
        if (item_type != '$') {
          SkipScalar(item);
          if (failure.empty()) failure = "unexpected reply";
          continue;
        }
        const long long length = Integer(item);
        if (length < 0) continue;  // nil: no such field
        const uint64_t at = pos_;
        Need(at + static_cast<uint64_t>(length) + 2);
        if (buffer_.data()[at + length] != '\r' || buffer_.data()[at + length + 1] != '\n') Desync();
        pos_ = at + static_cast<uint64_t>(length) + 2;
        if (static_cast<size_t>(i) < expected)
          slots[first + static_cast<size_t>(i)] = {at, static_cast<uint64_t>(length)};
      }
      // Row i is filled from element i: a reply of another length would shift or lose rows.
      if (n != static_cast<long long>(expected) && failure.empty()) failure = "unexpected reply";
      first += expected;
    }
    return failure;
  }

  uint64_t parsed() const { return pos_; }

  // Bytes that arrived after the last reply belong to whatever comes next: the client library's
  // reader gets them, as if it had read them itself.
  void HandBackRest() {
    if (buffer_.size() > pos_) {
      redisReaderFeed(c_->reader, reinterpret_cast<const char*>(buffer_.data() + pos_), buffer_.size() - pos_);
    }
  }

 private:
  struct Line {
    uint64_t begin = 0, end = 0;  // without the CR LF
  };

  // Reads until the buffer holds `end` bytes.
  void Need(uint64_t end) {
    while (buffer_.size() < end) {
      const size_t want = std::max<size_t>(kReadRoom, end - buffer_.size());
      char* room = reinterpret_cast<char*>(buffer_.Reserve(want));
      const ssize_t n = c_->funcs->read(c_, room, buffer_.room());
      if (n < 0) throw conn_.Failure(kFailed);  // the connection has recorded why
      buffer_.Commit(static_cast<size_t>(n));
    }
  }

  Line NextLine() {
    uint64_t scan = pos_;
    while (true) {
      const uint8_t* base = buffer_.data();
      if (buffer_.size() > scan) {
        const void* cr = std::memchr(base + scan, '\r', buffer_.size() - scan);
        if (cr != nullptr) {
          const uint64_t at = static_cast<uint64_t>(static_cast<const uint8_t*>(cr) - base);
          Need(at + 2);
          if (buffer_.data()[at + 1] != '\n' || at == pos_) Desync();
          const Line line{pos_, at};
          pos_ = at + 2;
          return line;
        }
        scan = buffer_.size();
      }
      Need(buffer_.size() + 1);
    }
  }

  long long Integer(const Line& line) {
    const char* p = reinterpret_cast<const char*>(buffer_.data()) + line.begin + 1;
    const char* end = reinterpret_cast<const char*>(buffer_.data()) + line.end;
    bool negative = false;
    if (p < end && *p == '-') {
      negative = true;
      ++p;
    }
    if (p == end || end - p > 18) Desync();
    long long v = 0;
    for (; p < end; ++p) {
      if (*p < '0' || *p > '9') Desync();
      v = v * 10 + (*p - '0');
    }
    return negative ? -v : v;
  }

  std::string Text(const Line& line, uint64_t skip) const {
    return std::string(reinterpret_cast<const char*>(buffer_.data()) + line.begin + skip, line.end - line.begin - skip);
  }

  // A reply of one line (status, error, integer) or a bulk string, passed over; anything else
  // (an aggregate where none belongs) cannot be followed.
  void SkipScalar(const Line& line) {
    const char type = buffer_.data()[line.begin];
    if (type == '+' || type == '-' || type == ':') return;
    if (type != '$') Desync();
    const long long length = Integer(line);
    if (length < 0) return;
    Need(pos_ + static_cast<uint64_t>(length) + 2);
    pos_ += static_cast<uint64_t>(length) + 2;
  }

  [[noreturn]] void Desync() {
    c_->err = REDIS_ERR_PROTOCOL;
    std::snprintf(c_->errstr, sizeof c_->errstr, "%s", "Protocol error: a reply could not be read");
    throw conn_.Failure(kFailed);
  }

  RedisStoreConnection& conn_;
  redisContext* c_;
  ReadBuffer& buffer_;
  uint64_t pos_ = 0;
};

}  // namespace

void ReadHashFields(RedisStoreConnection& conn, const std::array<char, 8>& hash, const std::vector<uint64_t>& keys,
                    ValueViews& out) {
  out.values.clear();
  out.owned.clear();
  out.buffer.clear();
  const size_t n = keys.size();
  redisContext* c = conn.get();
  // Bytes nobody asked for mean the stream is out of step with the commands.
  if (c->reader->pos < c->reader->len) {
    c->err = REDIS_ERR_PROTOCOL;
    std::snprintf(c->errstr, sizeof c->errstr, "%s", "Protocol error: unexpected data before a reply");
    throw conn.Failure(kFailed);
  }

  std::vector<Slot> slots(n);
  std::vector<std::array<char, 8>> fields;
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  // A batch: the commands sent together, whose replies are read together.
  struct Batch {
    size_t begin = 0, fields = 0;
    std::vector<size_t> chunks;
  };
  std::deque<Batch> in_flight;
  const auto send = [&](size_t begin, size_t count) {
    Batch batch{begin, count, {}};
    fields.resize(count);
    for (size_t at = 0; at < count; at += kHashReadChunk) {
      const size_t chunk = std::min(kHashReadChunk, count - at);
      argv.assign({"HMGET", hash.data()});
      lengths.assign({5, hash.size()});
      for (size_t i = at; i < at + chunk; ++i) {
        const uint64_t key = keys[begin + i];
        for (size_t b = 0; b < 8; ++b) fields[i][b] = static_cast<char>((key >> (8 * b)) & 0xff);
        argv.push_back(fields[i].data());
        lengths.push_back(8);
      }
      if (redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
        // The connection goes: its queue holds commands whose replies nobody would read.
        c->err = REDIS_ERR_OOM;
        std::snprintf(c->errstr, sizeof c->errstr, "%s", "Out of memory");
        throw conn.Failure(kFailed);
      }
      batch.chunks.push_back(chunk);
    }
    int written = 0;
    while (written == 0) {
      if (redisBufferWrite(c, &written) != REDIS_OK) throw conn.Failure(kFailed);
    }
    in_flight.push_back(std::move(batch));
  };

  ReplyStream stream(conn, out.buffer);
  std::string failure;
  size_t sent = 0, done = 0;
  while (done < n && failure.empty()) {
    if (done != 0) conn.KeepLockAlive();  // nothing is outstanding between rounds
    const size_t round_begin = done;
    bool round_open = true;
    while (true) {
      // Batches go out while fewer than kInFlight are unanswered, so that the server always has the
      // next one when it has sent one, and its replies never pile up beyond a few batches.
      while (round_open && failure.empty() && sent < n && in_flight.size() < kInFlight &&
             (done != 0 || in_flight.empty())) {
        size_t count = kFirstBatchFields;
        uint64_t per_field = 0;
        if (done != 0) {
          per_field = std::max<uint64_t>(stream.parsed() / done, 1);
          count = static_cast<size_t>(std::clamp<uint64_t>(kHashReadBatchBytes / per_field, 1, kMaxBatchFields));
        }
        count = std::min(count, n - sent);
        send(sent, count);
        sent += count;
        // The first batch, before anything is known of the values, is a round of its own.
        round_open = done != 0 && (sent - round_begin) * per_field < kHashReadRoundBytes;
      }
      if (in_flight.empty()) break;
      const Batch& batch = in_flight.front();
      const std::string answer = stream.ReadReplies(batch.chunks, slots, batch.begin);
      if (!answer.empty() && failure.empty()) failure = answer;
      done = batch.begin + batch.fields;
      in_flight.pop_front();
    }
  }
  stream.HandBackRest();
  if (!failure.empty()) throw CommandFailure(kFailed, failure);

  out.values.resize(n);
  const uint8_t* base = out.buffer.data();
  for (size_t i = 0; i < n; ++i) {
    if (slots[i].length != 0) out.values[i] = {base + slots[i].offset, slots[i].length};
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
