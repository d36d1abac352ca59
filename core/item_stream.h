// StreamLayout and ItemStream: how a fetch hands its items to a caller that uses each one where
// it is opened (TokenIndex::StreamTokenItems) instead of receiving them as ItemRecords.
//
// Interfaces only; the contract of each call, what may throw and from which thread, is below.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ostrik {

// The rows of a streamed fetch (TokenIndex::StreamTokenItems), as the stream sees them before
// any item is opened. Rows are grouped in segments, one per distinct list of the request; request
// position p owns the rows of segment position_segment[p], in list order. A row that is never
// taken holds no item (a deleted item's position, or an item that moved to another list).
struct StreamLayout {
  std::vector<uint64_t> segment_rows;      // segment s: rows segment_rows[s] .. segment_rows[s + 1] - 1
  std::vector<uint32_t> position_segment;  // per request position
  // Unless lasting: row r's id and metadata together take at most text_ends[r] - text_ends[r - 1]
  // bytes (text_ends[-1] read as 0); one arena of text_ends.back() bytes holds every row's.
  std::vector<uint64_t> text_ends;
  uint64_t max_record = 0;                 // the largest plaintext one Room must hold
  int threads = 1;                         // the team of the pass; thread numbers are below it
  // True when the ids, payloads and metadata handed to Take stay valid until Complete returns;
  // false when they lie in the room the stream lent for the record (Room), its own memory.
  bool lasting = false;
};

// A caller's use of each item of a fetch where it is opened: Begin once, then from the fetch's
// parallel region Room and Take for each thread's rows (each row taken at most once, by one
// thread), End once by each thread of the region when there is one, then Complete once. Begin and
// Complete run on the calling thread and may throw; the others must neither throw nor allocate.
class ItemStream {
 public:
  virtual ~ItemStream() = default;
  virtual void Begin(const StreamLayout& layout) = 0;
  // Where `thread` opens its next record (layout.max_record bytes); a record not taken leaves the
  // room to the next. Not called when lasting.
  virtual uint8_t* Room(int thread) noexcept = 0;
  // `row` holds this item. Unless lasting, the views point into the room last handed to `thread`.
  virtual void Take(int thread, uint64_t row, std::string_view id, const uint8_t* payload,
                    std::string_view metadata) noexcept = 0;
  virtual void End(int thread) noexcept = 0;
  virtual void Complete() = 0;
};

}  // namespace ostrik
