// FusedSearch: the candidate search of a small query batch fed by a streamed fetch
// (ItemStream). Each item's distances to the queries that probe its list are computed
// where the fetch opens it, while its vector is still in cache, a block of items at a time; after
// the fetch each query's bounded heap replays them in its scan order. The results (ids,
// distances, order, ties, counts, metadata) are SearchCandidates' over the same fetch as
// GetTokenItems gives it with the placeholders dropped: the same clamp of top_k to the number of
// candidates, the same sums in dimension order, the same heap.
//
// Throws: std::invalid_argument from the constructor for queries that do not match the selection
// or an item width of other than 4 x queries.cols bytes, and from Begin for a position that names
// no list or for 2^32 candidates or more; std::runtime_error "Unsupported distance metric." from Complete when there is something
// to search; std::bad_alloc. Begin and Complete run on the fetch's calling thread, the other
// members inside its parallel region (they neither throw nor allocate). One search per object, and
// one at a time per calling thread: its buffers stay with the thread for the next search.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "kernels/kernel_records.h"
#include "core/item_stream.h"

namespace ostrik_encrypted_index::internal::kernels {

class FusedSearch final : public ostrik::ItemStream {
 public:
  // Batches of up to this many queries are searched this way; their distances are kept whole.
  static constexpr uint64_t kMaxQueries = 8;

  FusedSearch(const ostrik::ProbeSelection& probes, const ostrik::FloatMatrix& queries, uint32_t top_k,
              ostrik::DistanceMetric metric, const std::vector<int32_t>& include, uint64_t item_width);
  ~FusedSearch() override;
  FusedSearch(const FusedSearch&) = delete;
  FusedSearch& operator=(const FusedSearch&) = delete;

  // After Complete: the candidates, counted as SearchCandidates counts them (an item once per
  // request position that holds it), and the results.
  uint64_t candidates() const { return candidates_; }
  ostrik::QueryResults& results() { return results_; }

  void Begin(const ostrik::StreamLayout& layout) override;
  uint8_t* Room(int thread) noexcept override;
  void Take(int thread, uint64_t row, std::string_view id, const uint8_t* payload,
            std::string_view metadata) noexcept override;
  void End(int thread) noexcept override;
  void Complete() override;

 private:
  struct Worker;
  struct Buffers;

  static Buffers* ThreadBuffers();
  void Flush(Worker& w) noexcept;

  const ostrik::ProbeSelection& probes_;
  const ostrik::FloatMatrix& queries_;
  uint32_t top_k_;
  ostrik::DistanceMetric metric_;
  bool include_metadata_;
  const ostrik::StreamLayout* layout_ = nullptr;
  bool keep_metadata_ = false;  // kept for the heap's ties and the results
  uint64_t candidates_ = 0;
  ostrik::QueryResults results_;
  Buffers* buffers_;  // borrowed from the calling thread's, reused between searches
};

}  // namespace ostrik_encrypted_index::internal::kernels
