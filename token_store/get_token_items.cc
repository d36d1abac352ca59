// Fetching items by token: cache lookup, label derivation over every (token, position) pair, one
// batch read per store, then one parallel pass that opens each record, decodes it and writes it
// where its group needs it, so that each group holds exactly the items whose latest record belongs
// to its token. With the cache off the pass writes straight into the caller's ItemRecords, or
// hands each record to a stream while it is still in cache; otherwise into one flat list per
// missed token, which the cache keeps as it is.
//
// Rows are laid out before any record is opened, as if every record named the token of each list
// it was found in; the few that name another token (an item that moved) are dropped afterwards.
// Missed tokens are fetched once however often they are requested.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "core/aes_gcm.h"
#include "core/team_size.h"
#include "core/thread_scope.h"
#include "token_store/encoded_item_record.h"
#include "token_store/engine_messages.h"
#include "token_store/label_table.h"
#include "token_store/merge_results.h"
#include "token_store/reserve_large.h"
#include "token_store/token_index.h"

namespace ostrik_encrypted_index::internal::token_store {

// Buffers of the fetch path. "Rows" are those of the missed tokens, token after token, each data
// label once per token at its first position there; "records" are the distinct data labels.
struct FetchScratch {
  TokenLabels labels;                    // every position of every missed token
  TokenLabels fresh;                     // the positions the label cache does not hold
  std::vector<uint64_t> fresh_starts;    // per missed token: its first position in `fresh`
  std::vector<uint32_t> tokens;          // missed tokens, each once, in request order
  std::vector<uint32_t> group_of;        // per missed request position: its place in `tokens`
  std::vector<uint32_t> token_place;     // per token: its place in `tokens` while being collected
  std::vector<uint64_t> unique_labels;   // per record: its data label
  LabelTable places;
  backing_store::ValueViews values;      // per record: its envelope (empty: the item was deleted)
  uint64_t max_plaintext = 0;            // of the records' envelopes
  uint64_t envelope_bytes = 0;           // of the records
  std::vector<uint64_t> text_ends;       // per row: where its id and metadata end, from the first row's
  std::vector<uint32_t> stamp;
  std::vector<uint64_t> group_rows;      // per missed token: its first row; then the end
  std::vector<uint32_t> row_record;      // per row: its record
  std::vector<uint32_t> first_row;       // per record: the row it is decoded into
  std::vector<std::pair<uint32_t, uint32_t>> extra_rows;  // (record, row) of its further rows
  std::vector<const char*> errors;       // per record: why it did not open
  UninitVector<uint8_t> keep;            // per row
  UninitVector<uint8_t> plaintexts;      // one record's room per thread
  std::vector<int64_t> bad_records;      // per thread: its lowest record that did not decode
  std::vector<std::string> bad_messages;
  std::vector<uint64_t> first_out;       // per missed token: its first output row (no cache)
  std::vector<uint64_t> final_begin;     // per missed token: its rows once compacted (no cache)
  std::vector<uint64_t> final_end;
  std::vector<std::shared_ptr<TokenList>> fetched;  // per missed token (cache on)
  std::vector<std::shared_ptr<TokenList>> spare;    // lists of an earlier answer, to refill
  std::vector<SharedTokenList> lists;    // per request position, merged into ItemRecords
  StreamLayout layout;                   // of a streamed fetch
};

namespace {

constexpr uint32_t kNoRow = UINT32_MAX;
constexpr uint64_t kEnvelopeOverhead = ostrik::GcmEnvelope::kOverhead;
// Envelope bytes of a record beyond its id, payload and metadata.
constexpr uint64_t kRecordFixed = kEnvelopeOverhead + kItemRecordFixedSize;

inline uint64_t GetLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Records are opened in list order, which is not the order their envelopes lie in memory: each
// would start with cache misses that the cipher waits for. The next ones are requested while the
// current one is opened.
constexpr uint64_t kPrefetchRows = 2;
constexpr uint64_t kPrefetchBytes = 2048;

// Work per thread of the decoding team, in envelope bytes, a row counting kRowWork more for its
// fixed costs: 1 and 2 threads break even at about 30 rows of dimension 128 and 12 of dimension
// 784 here (some 50,000 bytes by this count, about 8 us).
constexpr uint64_t kThreadBytes = uint64_t{1} << 15;
constexpr uint64_t kRowWork = 1024;

inline void PrefetchEnvelope(std::span<const uint8_t> envelope) {
  const uint64_t bytes = std::min<uint64_t>(envelope.size(), kPrefetchBytes);
  for (uint64_t at = 0; at < bytes; at += 64) __builtin_prefetch(envelope.data() + at);
}

// The missed token holding `row`.
uint64_t GroupOfRow(const std::vector<uint64_t>& group_rows, uint64_t row) {
  return static_cast<uint64_t>(std::upper_bound(group_rows.begin(), group_rows.end(), row) - group_rows.begin()) - 1;
}

// s.tokens: each missed token once, in order of first request; s.group_of: each missed position's
// place in it.
void CollectMisses(const std::vector<uint32_t>& misses, uint64_t vocab, FetchScratch& s) {
  if (s.token_place.size() < vocab) s.token_place.resize(vocab, kNoRow);
  s.tokens.clear();
  s.tokens.reserve(misses.size());  // nothing below may throw while token_place is in use
  s.group_of.resize(misses.size());
  for (size_t m = 0; m < misses.size(); ++m) {
    uint32_t& place = s.token_place[misses[m]];
    if (place == kNoRow) {
      place = static_cast<uint32_t>(s.tokens.size());
      s.tokens.push_back(misses[m]);
    }
    s.group_of[m] = place;
  }
  for (uint32_t t : s.tokens) s.token_place[t] = kNoRow;
}

// The label and pad of every position of s.tokens into s.labels: the cached ones copied, the rest
// derived (and cached).
void DeriveLabels(TokenIndex& e, FetchScratch& s) {
  const uint32_t depth = static_cast<uint32_t>(e.tree_depth_);
  TokenLabelCache& cache = e.label_cache_;
  cache.Match(depth, e.token_seeds_.size());
  const uint64_t n_tokens = s.tokens.size();
  TokenLabels& labels = s.labels;
  TokenLabels& fresh = s.fresh;
  fresh.offsets.assign(n_tokens + 1, 0);
  s.fresh_starts.resize(n_tokens);
  for (uint64_t k = 0; k < n_tokens; ++k) {
    const uint64_t count = labels.offsets[k + 1] - labels.offsets[k];
    const uint64_t known = std::min(cache.Known(s.tokens[k]), count);
    s.fresh_starts[k] = known;
    fresh.offsets[k + 1] = fresh.offsets[k] + (count - known);
  }
  fresh.labels.resize(fresh.offsets.back());
  fresh.masks.resize(fresh.offsets.back());
  DeriveTokenLabelsFrom(s.tokens, s.fresh_starts, e.token_seeds_, fresh, depth);
  for (uint64_t k = 0; k < n_tokens; ++k) {
    const uint32_t token = s.tokens[k];
    const uint64_t known = s.fresh_starts[k];
    const uint64_t at = labels.offsets[k];
    if (known != 0) {
      std::memcpy(labels.labels.data() + at, cache.Labels(token), known * 8);
      std::memcpy(labels.masks.data() + at, cache.Pads(token), known * 8);
    }
    const uint64_t from = fresh.offsets[k], count = fresh.offsets[k + 1] - from;
    if (count == 0) continue;
    std::memcpy(labels.labels.data() + at + known, fresh.labels.data() + from, count * 8);
    std::memcpy(labels.masks.data() + at + known, fresh.masks.data() + from, count * 8);
    if (cache.Known(token) == known) cache.Append(token, fresh.labels.data() + from, fresh.masks.data() + from, count);
  }
}

// Labels, both store reads and the row layout of s.tokens.
void PlanRows(TokenIndex& e, FetchScratch& s) {
  const uint64_t n_tokens = s.tokens.size();
  TokenLabels& labels = s.labels;
  labels.offsets.assign(n_tokens + 1, 0);
  for (uint64_t k = 0; k < n_tokens; ++k) labels.offsets[k + 1] = labels.offsets[k] + e.token_counts_[s.tokens[k]];
  const uint64_t total = labels.offsets.back();
  s.group_rows.assign(n_tokens + 1, 0);
  s.row_record.clear();
  s.unique_labels.clear();
  s.text_ends.clear();
  s.max_plaintext = 0;
  s.envelope_bytes = 0;
  if (total == 0) return;
  if (total >= UINT32_MAX) throw std::length_error("Too many positions in one fetch");
  labels.labels.resize(total);
  labels.masks.resize(total);
  DeriveLabels(e, s);

  const ostrik::ByteMatrix entries = e.index_store_->BatchGetItems(labels.labels);
  if (entries.cols != 8) {
    ostrik::EngineLogger().error("Invalid encrypted item ID size\nExpected: 8\nActual: " + std::to_string(entries.cols));
    throw std::invalid_argument("Invalid encrypted item ID size");
  }
  if (entries.rows != total || entries.data.size() != total * 8) {
    const std::string message = "Index store answered " + std::to_string(entries.rows) + " entries for " +
                                std::to_string(total) + " labels";
    ostrik::EngineLogger().error(message);
    throw std::runtime_error(message);
  }

  // One pass over the positions, token by token: each position's data label (its entry unmasked),
  // read once however many positions lead to it, and token k's rows: in position order, the first
  // position of each data label. A record gets one row to be decoded into (its first); its other
  // rows (in other tokens) are filled after decoding. Records are numbered in order of first visit,
  // so their first rows come in record order.
  const uint64_t* masks = labels.masks.data();
  const auto data_label = [&](uint64_t i) { return masks[i] ^ GetLe64(entries.row(i)); };
  s.places.Reset(total);
  s.unique_labels.resize(total);
  s.stamp.resize(total);  // a record's is written when it is first seen, before any read
  s.first_row.resize(total);
  s.row_record.resize(total);
  s.extra_rows.clear();
  constexpr uint64_t kAhead = 16;  // labels between a slot's prefetch and its probe
  for (uint64_t i = 0; i < std::min(kAhead, total); ++i) s.places.Prefetch(data_label(i));
  uint32_t found = 0, rows = 0;
  for (uint64_t k = 0; k < n_tokens; ++k) {
    const uint32_t mark = static_cast<uint32_t>(k + 1);
    for (uint64_t i = labels.offsets[k]; i < labels.offsets[k + 1]; ++i) {
      if (i + kAhead < total) s.places.Prefetch(data_label(i + kAhead));
      const uint64_t label = data_label(i);
      const auto [u, fresh] = s.places.FindOrInsert(label, found);
      if (fresh) {
        s.unique_labels[found++] = label;
        s.first_row[u] = rows;
      } else if (s.stamp[u] == mark) {
        continue;
      } else {
        s.extra_rows.emplace_back(u, rows);
      }
      s.stamp[u] = mark;
      s.row_record[rows++] = u;
    }
    s.group_rows[k + 1] = rows;
  }
  s.unique_labels.resize(found);
  s.row_record.resize(rows);
  std::sort(s.extra_rows.begin(), s.extra_rows.end());

  e.data_store_->BatchGetViews(s.unique_labels, s.values);
  if (s.values.values.size() != found) {
    const std::string message = "Data store answered " + std::to_string(s.values.values.size()) + " values for " +
                                std::to_string(found) + " labels";
    ostrik::EngineLogger().error(message);
    throw std::runtime_error(message);
  }
  // Each record checked at its first row, so in record order; a row's text is what its envelope
  // holds beyond the fixed fields and payload (nothing for a deleted item's).
  const uint64_t width = e.payload_size_;
  s.text_ends.resize(rows);
  uint64_t text_end = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint32_t u = s.row_record[r];
    const uint64_t size = s.values.values[u].size();
    if (s.first_row[u] == r) {
      ostrik::CheckEnvelopeSize(u, size);
      s.envelope_bytes += size;
      if (size > kEnvelopeOverhead) s.max_plaintext = std::max(s.max_plaintext, size - kEnvelopeOverhead);
    }
    text_end += size >= kRecordFixed && size - kRecordFixed >= width ? size - kRecordFixed - width : 0;
    s.text_ends[r] = text_end;
  }
}

void MoveRecordRow(ostrik::ItemRecords& out, uint64_t from, uint64_t to, uint64_t width) {
  out.item_ids[to].swap(out.item_ids[from]);
  out.metadata[to].swap(out.metadata[from]);
  if (width != 0) std::memcpy(out.payloads.row(to), out.payloads.row(from), width);
}

void CopyRecordRow(ostrik::ItemRecords& out, uint64_t from, uint64_t to, uint64_t width) {
  out.item_ids[to] = out.item_ids[from];
  out.metadata[to] = out.metadata[from];
  if (width != 0) std::memcpy(out.payloads.row(to), out.payloads.row(from), width);
}

// Where a thread opens its records when the sink keeps no room of its own: one record's room per
// thread, whole cache lines apart so that no two threads write to one.
class ThreadRooms {
 public:
  explicit ThreadRooms(FetchScratch& s) : s_(s) {}
  void Size(int threads) {
    stride_ = (std::max<uint64_t>(s_.max_plaintext, 1) + 63) & ~uint64_t{63};
    s_.plaintexts.resize(stride_ * static_cast<uint64_t>(threads));
  }
  uint8_t* Room(int t) { return s_.plaintexts.data() + static_cast<uint64_t>(t) * stride_; }

 private:
  FetchScratch& s_;
  uint64_t stride_ = 0;
};

// Writes rows straight into the caller's ItemRecords: missed token k's rows start at first_out[k].
class RecordsSink : public ThreadRooms {
 public:
  RecordsSink(FetchScratch& s, ostrik::ItemRecords& out, uint64_t width)
      : ThreadRooms(s), out_(out), first_out_(s.first_out), width_(width) {}

  void Write(int /*t*/, uint64_t k, uint64_t i, const EncodedItemRecord& rec, uint64_t /*label*/) {
    const uint64_t r = first_out_[k] + i;
    out_.item_ids[r].assign(rec.item_id);
    out_.metadata[r].assign(rec.metadata);
    if (width_ != 0) std::memcpy(out_.payloads.row(r), rec.payload, width_);
  }
  void Placeholder(int /*t*/, uint64_t k, uint64_t i, uint64_t /*label*/) {
    const uint64_t r = first_out_[k] + i;
    out_.item_ids[r].clear();
    out_.metadata[r].clear();
    if (width_ != 0) std::memset(out_.payloads.row(r), 0, width_);
  }
  void End(int /*t*/) {}

 private:
  ostrik::ItemRecords& out_;
  const std::vector<uint64_t>& first_out_;
  uint64_t width_;
};

// Writes rows into one list per missed token.
class ListSink : public ThreadRooms {
 public:
  explicit ListSink(FetchScratch& s) : ThreadRooms(s), lists_(s.fetched) {}

  void Write(int /*t*/, uint64_t k, uint64_t i, const EncodedItemRecord& rec, uint64_t label) {
    lists_[k]->SetRow(i, rec.item_id, rec.payload, rec.metadata, label);
  }
  void Placeholder(int /*t*/, uint64_t k, uint64_t i, uint64_t label) { lists_[k]->SetPlaceholder(i, label); }
  void End(int /*t*/) {}

 private:
  const std::vector<std::shared_ptr<TokenList>>& lists_;
};

// Hands each record to a stream in the room the stream lends; rows are the fetch's own.
class StreamSink {
 public:
  StreamSink(const FetchScratch& s, ItemStream& stream) : group_rows_(s.group_rows), stream_(stream) {}

  void Size(int /*threads*/) {}
  uint8_t* Room(int t) { return stream_.Room(t); }
  void Write(int t, uint64_t k, uint64_t i, const EncodedItemRecord& rec, uint64_t /*label*/) {
    stream_.Take(t, group_rows_[k] + i, rec.item_id, rec.payload, rec.metadata);
  }
  void Placeholder(int /*t*/, uint64_t /*k*/, uint64_t /*i*/, uint64_t /*label*/) {}
  void End(int t) { stream_.End(t); }

 private:
  const std::vector<uint64_t>& group_rows_;
  ItemStream& stream_;
};

// The team of a decoding pass: work in envelope bytes, each row counting kRowWork more.
int DecodeTeam(const FetchScratch& s) {
  const uint64_t rows = s.row_record.size();
  return ostrik::TeamSize(s.envelope_bytes + rows * kRowWork, kThreadBytes, rows);
}

// Opens, decodes and writes every row: one parallel region over disjoint rows, each record opened
// once, into the room its thread's sink gives, and written at the one row of the token it names
// (none when it names a token of no row it was found in). Failures are reported as DecryptItems
// reports them (then the first record that does not decode). Returns true when some row is to be
// dropped: s.keep[r] is 0 for it.
template <typename Sink>
bool DecodeRows(const TokenIndex& e, FetchScratch& s, Sink& sink, int threads) {
  const uint64_t rows = s.row_record.size();
  const uint64_t n_unique = s.unique_labels.size();
  if (rows == 0) return false;
  s.errors.assign(n_unique, nullptr);
  // A row can be kept by the thread that opens its record, which may not be the row's own: every
  // flag is cleared before the region and only ever set inside it.
  s.keep.assign(rows, 0);
  sink.Size(threads);
  s.bad_records.assign(static_cast<size_t>(threads), -1);
  s.bad_messages.assign(static_cast<size_t>(threads), std::string());
  const uint64_t width = e.payload_size_;
  const ostrik::GcmItemOpener::Algorithm algorithm;
  std::atomic<bool> failed{false};
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const uint64_t team = static_cast<uint64_t>(omp_get_num_threads());
    const int thread = omp_get_thread_num();
    const uint64_t t = static_cast<uint64_t>(thread);
    const uint64_t begin = rows * t / team, end = rows * (t + 1) / team;
    if (begin < end) {
      try {
        ostrik::GcmItemOpener opener(algorithm, e.data_key_.data());
        uint64_t k = GroupOfRow(s.group_rows, begin);
        for (uint64_t r = begin; r < end; ++r) {
          while (r >= s.group_rows[k + 1]) ++k;
          const uint64_t i = r - s.group_rows[k];
          const uint32_t u = s.row_record[r];
          const std::span<const uint8_t> envelope = s.values.values[u];
          if (envelope.empty()) {
            sink.Placeholder(thread, k, i, s.unique_labels[u]);
            s.keep[r] = 1;
            continue;
          }
          if (s.first_row[u] != r) continue;  // kept, if at all, by the thread that opens the record
          if (r + kPrefetchRows < end) PrefetchEnvelope(s.values.values[s.row_record[r + kPrefetchRows]]);
          uint8_t* plain = sink.Room(thread);
          const char* failure = opener.Open(envelope.data(), envelope.size(), plain);
          if (failure != nullptr) {
            s.errors[u] = failure;
            continue;
          }
          EncodedItemRecord rec;
          std::string message;
          if (!TryDecodeItemRecord(plain, envelope.size() - kEnvelopeOverhead, width, rec, message)) {
            if (s.bad_records[t] < 0 || u < s.bad_records[t]) {
              s.bad_records[t] = u;
              s.bad_messages[t] = std::move(message);
            }
            continue;
          }
          // Missed tokens are distinct, so a record belongs to at most one of the rows it was found
          // at: this one, or (an item that moved) a further row in the list of the token it names.
          uint64_t row = kNoRow, row_k = k;
          if (rec.token == s.tokens[k]) {
            row = r;
          } else {
            auto x = std::lower_bound(s.extra_rows.begin(), s.extra_rows.end(), std::make_pair(u, uint32_t{0}));
            for (; x != s.extra_rows.end() && x->first == u; ++x) {
              const uint64_t xk = GroupOfRow(s.group_rows, x->second);
              if (s.tokens[xk] == rec.token) {
                row = x->second;
                row_k = xk;
                break;
              }
            }
          }
          if (row == kNoRow) continue;
          sink.Write(thread, row_k, row - s.group_rows[row_k], rec, s.unique_labels[u]);
          s.keep[row] = 1;
        }
      } catch (...) {
        failed.store(true);
      }
    }
    sink.End(thread);
  }
  if (failed.load()) throw std::bad_alloc();
  ostrik::ThrowDecryptFailures(s.errors);
  int64_t bad = -1;
  size_t bad_thread = 0;
  for (size_t t = 0; t < s.bad_records.size(); ++t) {
    if (s.bad_records[t] >= 0 && (bad < 0 || s.bad_records[t] < bad)) {
      bad = s.bad_records[t];
      bad_thread = t;
    }
  }
  if (bad >= 0) {
    ostrik::EngineLogger().error(s.bad_messages[bad_thread]);
    throw std::runtime_error(s.bad_messages[bad_thread]);
  }
  return std::find(s.keep.begin(), s.keep.end(), 0) != s.keep.end();
}

// The engine checks that apply only when something is to be read.
void CheckFetchable(const TokenIndex& e) {
  if (e.gpu_) throw std::runtime_error(kCudaRequiredMessage);
  if ((static_cast<uint64_t>(e.tree_depth_) & 0xffffffffu) == 0) {
    ostrik::EngineLogger().error("The number of round should be at least 1.");
    throw std::invalid_argument("The number of round should be at lest 1.");
  }
}

// Every request position a miss, written straight into `out`: each position gets its token's rows
// in place, a repeated token's rows are copied from its first position, and dropped rows close up.
void FetchIntoRecords(TokenIndex& e, const std::vector<uint32_t>& misses, FetchScratch& s, ostrik::ItemRecords& out) {
  CollectMisses(misses, e.token_counts_.size(), s);
  PlanRows(e, s);
  const uint64_t n = misses.size();
  const uint64_t width = e.payload_size_;
  s.first_out.assign(s.tokens.size(), 0);
  uint64_t laid = 0;
  uint32_t next = 0;
  bool repeated = false;
  for (uint64_t p = 0; p < n; ++p) {
    const uint32_t k = s.group_of[p];
    if (k == next) {
      s.first_out[k] = laid;
      ++next;
    } else {
      repeated = true;
    }
    laid += s.group_rows[k + 1] - s.group_rows[k];
  }
  SizeItemRecords(out, laid, width);

  RecordsSink sink(s, out, width);
  const bool dropped = DecodeRows(e, s, sink, DecodeTeam(s));
  out.token_indices.assign(n + 1, 0);
  if (!dropped && !repeated) {
    for (uint64_t p = 0; p < n; ++p) {
      const uint32_t k = s.group_of[p];
      out.token_indices[p + 1] = out.token_indices[p] + (s.group_rows[k + 1] - s.group_rows[k]);
    }
    return;
  }
  // Rows only move towards the front: a position's rows never start later than laid out.
  s.final_begin.assign(s.tokens.size(), 0);
  s.final_end.assign(s.tokens.size(), 0);
  uint64_t cursor = 0;
  next = 0;
  for (uint64_t p = 0; p < n; ++p) {
    const uint32_t k = s.group_of[p];
    if (k == next) {
      ++next;
      s.final_begin[k] = cursor;
      for (uint64_t r = s.group_rows[k]; r < s.group_rows[k + 1]; ++r) {
        if (s.keep[r] == 0) continue;
        const uint64_t from = s.first_out[k] + (r - s.group_rows[k]);
        if (from != cursor) MoveRecordRow(out, from, cursor, width);
        ++cursor;
      }
      s.final_end[k] = cursor;
    } else {
      for (uint64_t from = s.final_begin[k]; from < s.final_end[k]; ++from) CopyRecordRow(out, from, cursor++, width);
    }
    out.token_indices[p + 1] = cursor;
  }
  out.item_ids.resize(cursor);
  out.metadata.resize(cursor);
  out.payloads.rows = cursor;
  out.payloads.data.resize(cursor * width);
}

// One list per request position: hits as cached, misses fetched into one list per missed token (in
// s.spare's lists first), which the cache then keeps as they are.
void FetchLists(TokenIndex& e, const std::vector<uint32_t>& query_tokens, FetchScratch& s,
                std::vector<SharedTokenList>& out) {
  const CacheLookup lookup = LookupTokenCache(e.token_cache_, query_tokens, e.token_counts_);
  const std::vector<uint32_t>& misses = lookup.cache_misses;
  s.fetched.clear();
  if (!misses.empty()) {
    CheckFetchable(e);
    CollectMisses(misses, e.token_counts_.size(), s);
    PlanRows(e, s);
    const uint64_t width = e.payload_size_;
    s.fetched.resize(s.tokens.size());
    for (uint64_t k = 0; k < s.tokens.size(); ++k) {
      std::shared_ptr<TokenList>& list = s.fetched[k];
      if (!s.spare.empty()) {
        list = std::move(s.spare.back());
        s.spare.pop_back();
      } else {
        list = std::make_shared<TokenList>();
      }
      const uint64_t first = s.group_rows[k];
      list->Shape(s.group_rows[k + 1] - first, width, [&](uint64_t i) -> uint64_t {
        const uint64_t r = first + i;
        return s.text_ends[r] - (r == 0 ? 0 : s.text_ends[r - 1]);
      });
    }
    s.spare.clear();
    ListSink sink(s);
    if (DecodeRows(e, s, sink, DecodeTeam(s))) {
      for (uint64_t k = 0; k < s.tokens.size(); ++k) {
        const uint8_t* keep = s.keep.data() + s.group_rows[k];
        const uint64_t rows = s.group_rows[k + 1] - s.group_rows[k];
        if (std::find(keep, keep + rows, 0) != keep + rows) s.fetched[k]->KeepRows(keep);
      }
    }
  }
  s.spare.clear();

  // In request order: a missed token is cached at its first position, and a later position of it
  // (or of one evicted meanwhile) touches or caches it again.
  const bool caching = e.token_cache_.capacity() != 0;
  out.resize(query_tokens.size());
  uint64_t hit = 0, miss = 0;
  for (uint64_t p = 0; p < query_tokens.size(); ++p) {
    if (lookup.hit_and_miss[p]) {
      out[p] = lookup.cache_hit[hit++];
      continue;
    }
    const std::shared_ptr<TokenList>& list = s.fetched[s.group_of[miss++]];
    out[p] = list;
    if (!caching) continue;
    const uint32_t token = query_tokens[p];
    if (!e.token_cache_.Contains(token)) {
      e.token_cache_.InsertList(token, list);
    } else {
      e.token_cache_.Touch(token);
    }
  }
  s.fetched.clear();
}

// A streamed fetch with the cache off: the rows of FetchIntoRecords, each record taken by the
// stream in the pass that opens it.
void StreamRecords(TokenIndex& e, const std::vector<uint32_t>& query_tokens, FetchScratch& s, ItemStream& stream) {
  if (!query_tokens.empty()) CheckFetchable(e);
  CollectMisses(query_tokens, e.token_counts_.size(), s);
  PlanRows(e, s);
  const int threads = DecodeTeam(s);
  StreamLayout& layout = s.layout;
  layout.segment_rows = s.group_rows;
  layout.position_segment = s.group_of;
  layout.text_ends.swap(s.text_ends);
  layout.max_record = s.max_plaintext;
  layout.threads = threads;
  layout.lasting = false;
  stream.Begin(layout);
  StreamSink sink(s, stream);
  DecodeRows(e, s, sink, threads);
  stream.Complete();
}

// Work per thread of a pass over lists, in payload bytes (each row counting kRowWork more): the
// stream's own work on a row is of the order of reading its payload once.
constexpr uint64_t kListThreadBytes = uint64_t{1} << 17;

// A streamed fetch with the cache on: the lists GetTokenLists gives, each distinct list once, taken
// in place from one parallel region.
void StreamLists(TokenIndex& e, const std::vector<uint32_t>& query_tokens, FetchScratch& s, ItemStream& stream) {
  FetchLists(e, query_tokens, s, s.lists);
  StreamLayout& layout = s.layout;
  layout.segment_rows.assign(1, 0);
  layout.position_segment.resize(s.lists.size());
  std::vector<const TokenList*> segments;
  for (size_t p = 0; p < s.lists.size(); ++p) {
    const TokenList* list = s.lists[p].get();
    const auto seen = std::find(segments.begin(), segments.end(), list);
    layout.position_segment[p] = static_cast<uint32_t>(seen - segments.begin());
    if (seen != segments.end()) continue;
    segments.push_back(list);
    layout.segment_rows.push_back(layout.segment_rows.back() + list->size());
  }
  const uint64_t rows = layout.segment_rows.back();
  const uint64_t width = e.payload_size_;
  const int threads = ostrik::TeamSize(ostrik::WorkProduct(rows, width + kRowWork), kListThreadBytes, rows);
  layout.text_ends.clear();
  layout.max_record = 0;
  layout.threads = threads;
  layout.lasting = true;
  stream.Begin(layout);
  if (rows != 0) {
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
      const uint64_t team = static_cast<uint64_t>(omp_get_num_threads());
      const int thread = omp_get_thread_num();
      const uint64_t t = static_cast<uint64_t>(thread);
      const uint64_t begin = rows * t / team, end = rows * (t + 1) / team;
      if (begin < end) {
        uint64_t g = GroupOfRow(layout.segment_rows, begin);
        for (uint64_t r = begin; r < end; ++r) {
          while (r >= layout.segment_rows[g + 1]) ++g;
          const TokenList& list = *segments[g];
          const uint64_t i = r - layout.segment_rows[g];
          if (list.id(i).empty()) continue;  // a deleted item's place
          stream.Take(thread, r, list.id(i), list.payload(i), list.metadata(i));
        }
      }
      stream.End(thread);
    }
  }
  stream.Complete();
}

// What must not outlive a fetch: copies of the stored values (stores that lend none; the room a
// server store read them into stays for the next fetch, unless a whole index was read), and lists,
// which the cache alone should hold so that appending to a cached list needs no copy.
class ReleaseAfterFetch {
 public:
  explicit ReleaseAfterFetch(FetchScratch& s) : s_(s) {}
  ~ReleaseAfterFetch() {
    s_.values.values.clear();
    s_.values.owned.clear();
    s_.values.buffer.TrimAfterUse();
    s_.fetched.clear();
    s_.spare.clear();
    s_.lists.clear();
  }
  ReleaseAfterFetch(const ReleaseAfterFetch&) = delete;
  ReleaseAfterFetch& operator=(const ReleaseAfterFetch&) = delete;

 private:
  FetchScratch& s_;
};

}  // namespace

FetchScratch& TokenIndex::BeginFetch(const std::vector<uint32_t>& query_tokens) {
  CheckTokens(query_tokens);
  if (!TakeFreshCounts()) LoadTokenCounts();
  EnsureSeeds();
  if (!fetch_scratch_) fetch_scratch_ = std::make_shared<FetchScratch>();
  return *fetch_scratch_;
}

ostrik::ItemRecords TokenIndex::GetTokenItems(const std::vector<uint32_t>& query_tokens) {
  ostrik::ItemRecords out;
  GetTokenItems(query_tokens, out);
  return out;
}

void TokenIndex::GetTokenItems(const std::vector<uint32_t>& query_tokens, ostrik::ItemRecords& out) {
  const ostrik::ThreadCountScope threads(cpu_threads_);
  try {
    FetchScratch& s = BeginFetch(query_tokens);
    const ReleaseAfterFetch release(s);
    if (token_cache_.capacity() == 0) {
      if (!query_tokens.empty()) CheckFetchable(*this);
      FetchIntoRecords(*this, query_tokens, s, out);
      return;
    }
    FetchLists(*this, query_tokens, s, s.lists);
    try {
      MergeResults(s.lists, payload_size_, out);
    } catch (const std::exception& e) {
      const std::string text = std::string("Error in MergeResults: ") + e.what();
      log().error(text);
      throw std::runtime_error(text);
    }
  } catch (...) {
    ClearItemRecords(out);
    throw;
  }
}

void TokenIndex::StreamTokenItems(const std::vector<uint32_t>& query_tokens, ItemStream& stream) {
  const ostrik::ThreadCountScope threads(cpu_threads_);
  FetchScratch& s = BeginFetch(query_tokens);
  const ReleaseAfterFetch release(s);
  if (token_cache_.capacity() == 0) {
    StreamRecords(*this, query_tokens, s, stream);
  } else {
    StreamLists(*this, query_tokens, s, stream);
  }
}

void TokenIndex::GetTokenLists(const std::vector<uint32_t>& query_tokens, std::vector<SharedTokenList>& out) {
  const ostrik::ThreadCountScope threads(cpu_threads_);
  try {
    FetchScratch& s = BeginFetch(query_tokens);
    const ReleaseAfterFetch release(s);
    // Lists of the earlier answer that nothing else holds are refilled instead of fresh ones. Each
    // is taken out before its count is read, so one held at two positions is taken at its second.
    s.spare.clear();
    for (SharedTokenList& held : out) {
      SharedTokenList list = std::move(held);
      if (list != nullptr && list.use_count() == 1 && list != EmptyTokenList()) {
        s.spare.push_back(std::const_pointer_cast<TokenList>(std::move(list)));
      }
    }
    FetchLists(*this, query_tokens, s, out);
  } catch (...) {
    out.clear();
    throw;
  }
}

}  // namespace ostrik_encrypted_index::internal::token_store
