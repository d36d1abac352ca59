#include "kernels/fused_search.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#define DZ_FUSED_X86 1
#endif

#include "core/team_size.h"
#include "kernels/parallel_failure.h"
#include "core/default_init_allocator.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

// Items whose distances are computed together: two groups of eight lanes.
constexpr uint32_t kBlock = 16;
// The replay's team, as the candidate search sizes it: work in multiply-adds per thread, and a
// candidate's step through the heap.
constexpr uint64_t kThreadWork = 1 << 15;
constexpr uint64_t kHeapStepWork = 16;
// Buffers larger than this go back after the search instead of waiting for the next one.
constexpr uint64_t kKeptBytes = uint64_t{64} << 20;

struct HeapEntry {
  float distance;
  uint32_t row;
};

// sums[i] (i < 16) = the sum over j of (q[j] - x_i[j])^2 (squared) or of x_i[j] * q[j] (dot), and
// with norms, norms[i] = the sum over j of x_i[j]^2: every sum from 0 in dimension order, one
// rounding per operation, as the plain loops below.
void BlockScalar(const float* q, const uint8_t* const* x, uint64_t d, bool squared, bool norms, float* sums,
                 float* sq) {
  for (uint32_t i = 0; i < kBlock; ++i) {
    const uint8_t* row = x[i];
    float s = 0.0f, n = 0.0f;
    for (uint64_t j = 0; j < d; ++j) {
      float v;
      std::memcpy(&v, row + 4 * j, 4);
      if (squared) {
        const float t = q[j] - v;
        s += t * t;
      } else {
        s += v * q[j];
      }
      if (norms) n += v * v;
    }
    sums[i] = s;
    if (norms) sq[i] = n;
  }
}

#ifdef DZ_FUSED_X86

// Elements j .. j + 7 of eight rows as eight columns: c[m] lane i = rows[i][j + m]. Each 256-bit
// row is built from two 128-bit loads (rows i and i + 4), which leaves two of the three shuffle
// stages of a transpose.
__attribute__((target("avx2"))) inline void LoadColumns8(const uint8_t* const* rows, uint64_t j, __m256* c) {
  auto half = [rows, j](int i, int at) { return _mm_loadu_ps(reinterpret_cast<const float*>(rows[i]) + j + at); };
  __m256 r[8];
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(half(i, 0)), half(i + 4, 0), 1);
    r[i + 4] = _mm256_insertf128_ps(_mm256_castps128_ps256(half(i, 4)), half(i + 4, 4), 1);
  }
  for (int h = 0; h < 8; h += 4) {
    const __m256 t0 = _mm256_unpacklo_ps(r[h], r[h + 1]), t1 = _mm256_unpackhi_ps(r[h], r[h + 1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[h + 2], r[h + 3]), t3 = _mm256_unpackhi_ps(r[h + 2], r[h + 3]);
    c[h] = _mm256_shuffle_ps(t0, t2, 0x44);
    c[h + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    c[h + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
    c[h + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
}

template <bool kSquared, bool kNorms>
__attribute__((target("avx2"))) inline void AddTerms(__m256 qm, __m256 c, __m256& s, __m256& n) {
  if constexpr (kSquared) {
    const __m256 t = _mm256_sub_ps(qm, c);
    s = _mm256_add_ps(s, _mm256_mul_ps(t, t));
  } else {
    s = _mm256_add_ps(s, _mm256_mul_ps(c, qm));
  }
  if constexpr (kNorms) n = _mm256_add_ps(n, _mm256_mul_ps(c, c));
}

// One lane per item: each lane adds its terms one at a time in dimension order, as BlockScalar
// does, and the two groups of eight items keep two chains of additions going at once (one alone
// waits on the adder's latency). No fused multiply-add: this target has none, and the layer is
// built without contraction.
template <bool kSquared, bool kNorms>
__attribute__((target("avx2"))) void BlockAvx2(const float* q, const uint8_t* const* x, uint64_t d, float* sums,
                                               float* sq) {
  const uint64_t d8 = d & ~uint64_t{7};
  __m256 sa = _mm256_setzero_ps(), sb = _mm256_setzero_ps();
  __m256 na = _mm256_setzero_ps(), nb = _mm256_setzero_ps();
  for (uint64_t j = 0; j < d8; j += 8) {
    __m256 a[8], b[8];
    LoadColumns8(x, j, a);
    LoadColumns8(x + 8, j, b);
    for (int m = 0; m < 8; ++m) {
      const __m256 qm = _mm256_broadcast_ss(q + j + m);
      AddTerms<kSquared, kNorms>(qm, a[m], sa, na);
      AddTerms<kSquared, kNorms>(qm, b[m], sb, nb);
    }
  }
  for (uint64_t j = d8; j < d; ++j) {
    float v[kBlock];
    for (uint32_t i = 0; i < kBlock; ++i) std::memcpy(&v[i], x[i] + 4 * j, 4);
    const __m256 qm = _mm256_broadcast_ss(q + j);
    AddTerms<kSquared, kNorms>(qm, _mm256_loadu_ps(v), sa, na);
    AddTerms<kSquared, kNorms>(qm, _mm256_loadu_ps(v + 8), sb, nb);
  }
  _mm256_storeu_ps(sums, sa);
  _mm256_storeu_ps(sums + 8, sb);
  if constexpr (kNorms) {
    _mm256_storeu_ps(sq, na);
    _mm256_storeu_ps(sq + 8, nb);
  }
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

#endif  // DZ_FUSED_X86

// The block's sums: all kBlock pointers must be readable rows of d floats.
void BlockSums(const float* q, const uint8_t* const* x, uint64_t d, bool squared, bool norms, float* sums, float* sq) {
#ifdef DZ_FUSED_X86
  if (kHaveAvx2) {
    if (squared) {
      BlockAvx2<true, false>(q, x, d, sums, sq);
    } else if (norms) {
      BlockAvx2<false, true>(q, x, d, sums, sq);
    } else {
      BlockAvx2<false, false>(q, x, d, sums, sq);
    }
    return;
  }
#endif
  BlockScalar(q, x, d, squared, norms, sums, sq);
}

template <typename T>
using Uninit = ostrik::UninitVector<T>;

template <typename V>
void GrowTo(V& v, uint64_t n) {
  if (v.size() < n) v.resize(n);
}

template <typename V>
void Release(V& v) {
  if (v.capacity() * sizeof(typename V::value_type) > kKeptBytes) V().swap(v);
}

}  // namespace

// One per thread of the pass, each on cache lines of its own.
struct alignas(64) FusedSearch::Worker {
  uint8_t* slots = nullptr;  // kBlock + 1 rooms
  uint32_t next_slot = 0;
  uint32_t filled = 0;
  uint64_t segment = 0;  // of the block
  uint64_t cursor = 0;   // the segment last looked up
  uint64_t rows[kBlock];
  const uint8_t* payloads[kBlock];
};

// Everything a search sizes, kept by the calling thread between searches: every vector is only
// ever grown, so that a query touches no fresh memory once one of its size has run.
struct FusedSearch::Buffers {
  // Written before they are read, so never filled: memory a row does not reach stays untouched.
  Uninit<float> distances;             // per (segment, visiting query): one per row of the segment
  std::vector<uint8_t> kept;           // per row
  Uninit<const char*> ids;             // per kept row
  Uninit<uint32_t> id_lengths;
  Uninit<const char*> metadata;
  Uninit<uint32_t> metadata_lengths;
  Uninit<char> text;                   // the rows' ids (and metadata), when the fetch lends them briefly
  Uninit<uint8_t> slots;               // per thread: kBlock + 1 rooms
  std::vector<Worker> workers;
  std::vector<uint64_t> visitor_begin;  // per segment: its first visitor (a query that probes it)
  std::vector<uint64_t> visitor_end;
  std::vector<uint32_t> visitor_query;
  std::vector<uint64_t> visitor_slab;   // where the visitor's distances for the segment start
  std::vector<uint64_t> visit_slab;     // per (query, position): the same, for the replay
  std::vector<float> query_norms;       // per query: the square root of its squared norm (cosine)
  std::vector<uint64_t> segment_kept;
  std::vector<std::vector<HeapEntry>> heaps;  // per replay thread
  uint64_t slot_stride = 0;
};

FusedSearch::FusedSearch(const ostrik::ProbeSelection& probes, const ostrik::FloatMatrix& queries, uint32_t top_k,
                         ostrik::DistanceMetric metric, const std::vector<int32_t>& include, uint64_t item_width)
    : probes_(probes),
      queries_(queries),
      top_k_(top_k),
      metric_(metric),
      include_metadata_(std::find(include.begin(), include.end(),
                                  static_cast<int32_t>(ostrik::QueryInclude::METADATA)) != include.end()),
      buffers_(ThreadBuffers()) {
  if (probes.n_queries != queries.rows || probes.positions.rows != probes.n_queries ||
      probes.positions.data.size() != probes.positions.rows * probes.positions.cols ||
      queries.data.size() != queries.rows * queries.cols) {
    throw std::invalid_argument("Probe selection and queries do not match");
  }
  if (item_width != queries.cols * sizeof(float)) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
}

FusedSearch::~FusedSearch() {
  Buffers& b = *buffers_;
  Release(b.distances);
  Release(b.kept);
  Release(b.ids);
  Release(b.id_lengths);
  Release(b.metadata);
  Release(b.metadata_lengths);
  Release(b.text);
  Release(b.slots);
}

void FusedSearch::Begin(const ostrik::StreamLayout& layout) {
  layout_ = &layout;
  Buffers& b = *buffers_;
  const uint64_t n = probes_.n_queries;
  const uint64_t width = probes_.positions.cols;
  const int32_t* positions = probes_.positions.data.data();
  const uint64_t n_segments = layout.segment_rows.empty() ? 0 : layout.segment_rows.size() - 1;
  const uint64_t rows = n_segments == 0 ? 0 : layout.segment_rows.back();
  for (uint64_t i = 0; i < n * width; ++i) {
    if (positions[i] < 0 || static_cast<uint64_t>(positions[i]) >= layout.position_segment.size()) {
      throw std::invalid_argument("Probe position names no candidate group");
    }
  }
  if (rows > UINT32_MAX) throw std::invalid_argument("Too many candidates for one search.");
  // Metadata only decides between equal distances and ids, which a fetch without the cache never
  // holds for two different records (a data label names one id); cached lists may.
  keep_metadata_ = include_metadata_ || layout.lasting;

  // Each segment's visiting queries, each once, with the place of their distances.
  b.visitor_begin.assign(n_segments + 1, 0);
  for (uint64_t q = 0; q < n; ++q) {
    for (uint64_t p = 0; p < width; ++p) ++b.visitor_begin[layout.position_segment[positions[q * width + p]] + 1];
  }
  for (uint64_t s = 0; s < n_segments; ++s) b.visitor_begin[s + 1] += b.visitor_begin[s];
  GrowTo(b.visitor_query, b.visitor_begin[n_segments]);
  GrowTo(b.visitor_slab, b.visitor_begin[n_segments]);
  GrowTo(b.visit_slab, n * width);
  b.visitor_end.assign(b.visitor_begin.begin(), b.visitor_begin.end() - 1);
  std::vector<uint64_t>& fill = b.visitor_end;
  uint64_t slab = 0;
  for (uint64_t q = 0; q < n; ++q) {
    for (uint64_t p = 0; p < width; ++p) {
      const uint64_t s = layout.position_segment[positions[q * width + p]];
      uint64_t& at = fill[s];
      if (at > b.visitor_begin[s] && b.visitor_query[at - 1] == q) {  // the query names the list again
        b.visit_slab[q * width + p] = b.visitor_slab[at - 1];
        continue;
      }
      b.visitor_query[at] = static_cast<uint32_t>(q);
      b.visitor_slab[at] = slab;
      b.visit_slab[q * width + p] = slab;
      slab += layout.segment_rows[s + 1] - layout.segment_rows[s];
      ++at;
    }
  }
  b.segment_kept.assign(n_segments, 0);
  GrowTo(b.distances, slab);

  b.kept.assign(rows, 0);
  GrowTo(b.ids, rows);
  GrowTo(b.id_lengths, rows);
  if (keep_metadata_) {
    GrowTo(b.metadata, rows);
    GrowTo(b.metadata_lengths, rows);
  }
  if (!layout.lasting) GrowTo(b.text, layout.text_ends.empty() ? 0 : layout.text_ends.back());

  if (metric_ == ostrik::Cosine) {
    GrowTo(b.query_norms, n);
    for (uint64_t q = 0; q < n; ++q) {
      const float* v = queries_.row(q);
      float s = 0.0f;
      for (uint64_t j = 0; j < queries_.cols; ++j) s += v[j] * v[j];
      b.query_norms[q] = std::sqrt(s);
    }
  }

  const auto threads = static_cast<uint64_t>(std::max(layout.threads, 1));
  b.slot_stride = layout.lasting ? 0 : (std::max<uint64_t>(layout.max_record, 1) + 63) & ~uint64_t{63};
  GrowTo(b.slots, threads * (kBlock + 1) * b.slot_stride);
  b.workers.assign(threads, Worker{});
  for (uint64_t t = 0; t < threads; ++t) b.workers[t].slots = b.slots.data() + t * (kBlock + 1) * b.slot_stride;
}

uint8_t* FusedSearch::Room(int thread) noexcept {
  Worker& w = buffers_->workers[static_cast<size_t>(thread)];
  return w.slots + w.next_slot * buffers_->slot_stride;
}

void FusedSearch::Take(int thread, uint64_t row, std::string_view id, const uint8_t* payload,
                       std::string_view metadata) noexcept {
  if (id.empty()) return;  // a placeholder's: never a candidate
  Buffers& b = *buffers_;
  const ostrik::StreamLayout& layout = *layout_;
  Worker& w = b.workers[static_cast<size_t>(thread)];
  const std::vector<uint64_t>& segment_rows = layout.segment_rows;
  if (row < segment_rows[w.cursor] || row >= segment_rows[w.cursor + 1]) {
    w.cursor = static_cast<uint64_t>(std::upper_bound(segment_rows.begin(), segment_rows.end(), row) -
                                     segment_rows.begin()) - 1;
  }
  if (w.filled > 0 && (w.filled == kBlock || w.cursor != w.segment)) Flush(w);
  if (w.filled == 0) w.segment = w.cursor;
  w.rows[w.filled] = row;
  w.payloads[w.filled] = payload;
  ++w.filled;
  if (!layout.lasting) w.next_slot = (w.next_slot + 1) % (kBlock + 1);

  b.kept[row] = 1;
  if (layout.lasting) {
    b.ids[row] = id.data();
    b.metadata[row] = metadata.data();
    b.metadata_lengths[row] = static_cast<uint32_t>(metadata.size());
  } else {
    char* text = b.text.data() + (row == 0 ? 0 : layout.text_ends[row - 1]);
    std::memcpy(text, id.data(), id.size());
    b.ids[row] = text;
    if (keep_metadata_) {
      if (!metadata.empty()) std::memcpy(text + id.size(), metadata.data(), metadata.size());
      b.metadata[row] = text + id.size();
      b.metadata_lengths[row] = static_cast<uint32_t>(metadata.size());
    }
  }
  b.id_lengths[row] = static_cast<uint32_t>(id.size());
}

void FusedSearch::End(int thread) noexcept {
  Worker& w = buffers_->workers[static_cast<size_t>(thread)];
  if (w.filled > 0) Flush(w);
}

void FusedSearch::Flush(Worker& w) noexcept {
  Buffers& b = *buffers_;
  const uint64_t d = queries_.cols;
  const uint64_t first_row = layout_->segment_rows[w.segment];
  // A short block repeats its first item in the lanes it does not fill.
  for (uint32_t i = w.filled; i < kBlock; ++i) w.payloads[i] = w.payloads[0];
  const bool cosine = metric_ == ostrik::Cosine;
  float sums[kBlock], norms[kBlock];
  for (uint64_t v = b.visitor_begin[w.segment]; v < b.visitor_end[w.segment]; ++v) {
    const uint32_t q = b.visitor_query[v];
    // The item norms are the same for every query: summed with the first one's dot products.
    BlockSums(queries_.row(q), w.payloads, d, !cosine, cosine && v == b.visitor_begin[w.segment], sums, norms);
    float* out = b.distances.data() + b.visitor_slab[v];
    if (cosine) {
      const float qn = b.query_norms[q];
      for (uint32_t i = 0; i < w.filled; ++i) {
        const float norm = qn * std::sqrt(norms[i]);
        out[w.rows[i] - first_row] = norm == 0.0f ? 1.0f : 1.0f - sums[i] / norm;
      }
    } else {
      for (uint32_t i = 0; i < w.filled; ++i) out[w.rows[i] - first_row] = sums[i];
    }
  }
  w.filled = 0;
}

void FusedSearch::Complete() {
  Buffers& b = *buffers_;
  const ostrik::StreamLayout& layout = *layout_;
  const uint64_t n = probes_.n_queries;
  const uint64_t width = probes_.positions.cols;
  const int32_t* positions = probes_.positions.data.data();
  const uint64_t n_segments = layout.segment_rows.empty() ? 0 : layout.segment_rows.size() - 1;
  for (uint64_t s = 0; s < n_segments; ++s) {
    const uint8_t* kept = b.kept.data() + layout.segment_rows[s];
    b.segment_kept[s] = static_cast<uint64_t>(
        std::count(kept, kept + (layout.segment_rows[s + 1] - layout.segment_rows[s]), uint8_t{1}));
  }
  candidates_ = 0;
  for (uint32_t s : layout.position_segment) candidates_ += b.segment_kept[s];
  if (candidates_ == 0 || n == 0) {
    results_ = ostrik::QueryResults(n, 0);
    return;
  }
  const uint64_t k = std::min<uint64_t>(top_k_, candidates_);
  if (k == 0) {
    results_ = ostrik::QueryResults(n, 0);
    return;
  }
  if (metric_ != ostrik::Euclidean && metric_ != ostrik::SquaredEuclidean && metric_ != ostrik::Cosine) {
    throw std::runtime_error("Unsupported distance metric.");
  }
  results_ = ostrik::QueryResults(n, k);
  if (include_metadata_) {
    for (uint64_t q = 0; q < n; ++q) results_.metadata[q].resize(k);
  }

  uint64_t scanned = 0;
  for (uint64_t i = 0; i < n * width; ++i) {
    const uint32_t s = layout.position_segment[positions[i]];
    scanned += layout.segment_rows[s + 1] - layout.segment_rows[s];
  }
  const int team = ostrik::TeamSize(ostrik::WorkProduct(scanned, kHeapStepWork), kThreadWork, n);
  if (b.heaps.size() < static_cast<size_t>(team)) b.heaps.resize(static_cast<size_t>(team));
  for (auto& h : b.heaps) h.reserve(k);

  const char* const* ids = b.ids.data();
  const uint32_t* id_lengths = b.id_lengths.data();
  const char* const* texts = keep_metadata_ ? b.metadata.data() : nullptr;
  const uint32_t* text_lengths = keep_metadata_ ? b.metadata_lengths.data() : nullptr;
  auto id_of = [&](uint32_t row) { return std::string_view(ids[row], id_lengths[row]); };
  auto entry_less = [&](const HeapEntry& a, const HeapEntry& c) {
    if (a.distance < c.distance) return true;
    if (c.distance < a.distance) return false;
    const int order = id_of(a.row).compare(id_of(c.row));
    if (order != 0) return order < 0;
    if (texts == nullptr) return false;
    return std::string_view(texts[a.row], text_lengths[a.row]) < std::string_view(texts[c.row], text_lengths[c.row]);
  };
  ostrik::QueryResults& results = results_;
  const bool euclidean = metric_ == ostrik::Euclidean;
  ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) num_threads(team) if (team > 1)
  for (uint64_t q = 0; q < n; ++q) {
    failure.Run([&] {
      std::vector<HeapEntry>& heap = b.heaps[static_cast<size_t>(omp_get_thread_num())];
      heap.clear();
      for (uint64_t p = 0; p < width; ++p) {
        const uint32_t s = layout.position_segment[positions[q * width + p]];
        const uint64_t first = layout.segment_rows[s], end = layout.segment_rows[s + 1];
        const float* dist = b.distances.data() + b.visit_slab[q * width + p];
        for (uint64_t row = first; row < end; ++row) {
          if (b.kept[row] == 0) continue;
          const HeapEntry entry{dist[row - first], static_cast<uint32_t>(row)};
          if (heap.size() < k) {
            heap.push_back(entry);
            std::push_heap(heap.begin(), heap.end(), entry_less);
          } else if (entry.distance < heap.front().distance) {
            std::pop_heap(heap.begin(), heap.end(), entry_less);
            heap.back() = entry;
            std::push_heap(heap.begin(), heap.end(), entry_less);
          }
        }
      }
      const uint64_t found = heap.size();
      const uint64_t at = q * results.top_k;
      for (uint64_t pos = found; pos-- > 0;) {
        const HeapEntry& top = heap.front();
        results.distances.data[at + pos] = euclidean ? std::sqrt(top.distance) : top.distance;
        results.ids.data[at + pos].assign(id_of(top.row));
        if (include_metadata_) results.metadata[q][pos].assign(texts[top.row], text_lengths[top.row]);
        std::pop_heap(heap.begin(), heap.end(), entry_less);
        heap.pop_back();
      }
      results.result_counts[q] = static_cast<int32_t>(found);
    });
  }
  failure.Rethrow();
}

FusedSearch::Buffers* FusedSearch::ThreadBuffers() {
  thread_local Buffers buffers;
  return &buffers;
}

}  // namespace ostrik_encrypted_index::internal::kernels
