#include "stores/redis_hash_reader.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

const std::string kFailed = "HMGET command failed";
// Fields of the first round (values of any size may come: megabytes each, for contents), and
// the most of a later one.
constexpr size_t kFirstRoundFields = 16;
constexpr size_t kMaxRoundFields = 64 * kHashReadChunk;
// What one socket read may bring: fewer, larger reads than the client library's 16 kB.
constexpr size_t kReadRoom = size_t{1} << 20;

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
        if (static_cast<size_t>(i) < expected) slots[first + static_cast<size_t>(i)] = {at, static_cast<uint64_t>(length)};
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
  std::vector<std::array<char, 8>> fields(std::min(n, kMaxRoundFields));
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  std::vector<size_t> chunk_fields;
  ReplyStream stream(conn, out.buffer);
  size_t done = 0;
  while (done < n) {
    if (done != 0) conn.KeepLockAlive();
    // A round of about kHashReadRoundBytes of replies, by what the values so far weighed.
    size_t round = kFirstRoundFields;
    if (done != 0) {
      const uint64_t per_field = std::max<uint64_t>(stream.parsed() / done, 1);
      round = static_cast<size_t>(std::clamp<uint64_t>(kHashReadRoundBytes / per_field, 1, kMaxRoundFields));
    }
    round = std::min(round, n - done);
    chunk_fields.clear();
    for (size_t begin = 0; begin < round; begin += kHashReadChunk) {
      const size_t count = std::min(kHashReadChunk, round - begin);
      argv.assign({"HMGET", hash.data()});
      lengths.assign({5, hash.size()});
      for (size_t i = begin; i < begin + count; ++i) {
        const uint64_t key = keys[done + i];
        for (size_t b = 0; b < 8; ++b) fields[i][b] = static_cast<char>((key >> (8 * b)) & 0xff);
        argv.push_back(fields[i].data());
        lengths.push_back(8);
      }
      if (redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
        // Nothing of this round was sent yet: the queued commands go with the broken connection.
        c->err = REDIS_ERR_OOM;
        std::snprintf(c->errstr, sizeof c->errstr, "%s", "Out of memory");
        throw conn.Failure(kFailed);
      }
      chunk_fields.push_back(count);
    }
    int written = 0;
    while (written == 0) {
      if (redisBufferWrite(c, &written) != REDIS_OK) throw conn.Failure(kFailed);
    }
    const std::string failure = stream.ReadReplies(chunk_fields, slots, done);
    if (!failure.empty()) {
      stream.HandBackRest();
      throw CommandFailure(kFailed, failure);
    }
    done += round;
  }
  stream.HandBackRest();

  out.values.resize(n);
  const uint8_t* base = out.buffer.data();
  for (size_t i = 0; i < n; ++i) {
    if (slots[i].length != 0) out.values[i] = {base + slots[i].offset, slots[i].length};
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
