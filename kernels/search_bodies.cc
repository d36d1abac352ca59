#include "kernels/search_bodies.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/team_size.h"
#include "kernels/parallel_failure.h"

namespace ostrik_encrypted_index::internal::kernels {
namespace {

enum class Metric { kSquaredEuclidean, kEuclidean, kCosine };

// Lanes of one query tile. Distances are computed for a tile of queries against one candidate at
// a time: each lane keeps its own sum in dimension order, so the result is exactly the plain
// sequential sum while the work is still vectorised.
constexpr uint64_t kLanes = 8;
// Candidates per work item.
constexpr uint64_t kChunk = 1024;
// Floats of per-query distance rows held at once; query batches are cut to fit.
constexpr uint64_t kBufferBudget = uint64_t{1} << 22;
// Least distances per part when a query's replay is split over threads.
constexpr uint64_t kReplayPart = 1 << 13;
// Work per thread of the team, in multiply-adds: one query over a few hundred candidates runs
// as fast on one thread as on two (they break even at 30,000-60,000 here, about 10 us), and a
// team larger than its work spends the difference waiting at the barriers.
constexpr uint64_t kThreadWork = 1 << 15;
// A candidate's step through the bounded heap, in multiply-adds.
constexpr uint64_t kHeapStepWork = 16;

typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));

// A macro, not a function: returning the vector type by value differs in ABI between the clones.
#define LOAD_LANES(var, ptr) \
  Lanes var;                 \
  std::memcpy(&var, (ptr), sizeof(Lanes))

// out[i * kLanes + l] = sum over j of (qt[j * kLanes + l] - x_i[j])^2. No fused multiply-add is
// available to either clone, so every step rounds as the scalar sum does.
__attribute__((target_clones("avx2", "default"))) void TileSquaredDistances(
    const float* qt, const float* x, uint64_t d, uint64_t count, float* out) {
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const float* x0 = x + i * d;
    const float* x1 = x0 + d;
    const float* x2 = x1 + d;
    const float* x3 = x2 + d;
    Lanes a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (uint64_t j = 0; j < d; ++j) {
      LOAD_LANES(q, qt + j * kLanes);
      const Lanes t0 = q - x0[j];
      const Lanes t1 = q - x1[j];
      const Lanes t2 = q - x2[j];
      const Lanes t3 = q - x3[j];
      a0 += t0 * t0;
      a1 += t1 * t1;
      a2 += t2 * t2;
      a3 += t3 * t3;
    }
    std::memcpy(out + (i + 0) * kLanes, &a0, sizeof(a0));
    std::memcpy(out + (i + 1) * kLanes, &a1, sizeof(a1));
    std::memcpy(out + (i + 2) * kLanes, &a2, sizeof(a2));
    std::memcpy(out + (i + 3) * kLanes, &a3, sizeof(a3));
  }
  for (; i < count; ++i) {
    const float* x0 = x + i * d;
    Lanes a0 = {};
    for (uint64_t j = 0; j < d; ++j) {
      LOAD_LANES(q, qt + j * kLanes);
      const Lanes t0 = q - x0[j];
      a0 += t0 * t0;
    }
    std::memcpy(out + i * kLanes, &a0, sizeof(a0));
  }
}

// out[i * kLanes + l] = sum over j of x_i[j] * qt[j * kLanes + l].
__attribute__((target_clones("avx2", "default"))) void TileDotProducts(
    const float* qt, const float* x, uint64_t d, uint64_t count, float* out) {
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const float* x0 = x + i * d;
    const float* x1 = x0 + d;
    const float* x2 = x1 + d;
    const float* x3 = x2 + d;
    Lanes a0 = {}, a1 = {}, a2 = {}, a3 = {};
    for (uint64_t j = 0; j < d; ++j) {
      LOAD_LANES(q, qt + j * kLanes);
      a0 += x0[j] * q;
      a1 += x1[j] * q;
      a2 += x2[j] * q;
      a3 += x3[j] * q;
    }
    std::memcpy(out + (i + 0) * kLanes, &a0, sizeof(a0));
    std::memcpy(out + (i + 1) * kLanes, &a1, sizeof(a1));
    std::memcpy(out + (i + 2) * kLanes, &a2, sizeof(a2));
    std::memcpy(out + (i + 3) * kLanes, &a3, sizeof(a3));
  }
  for (; i < count; ++i) {
    const float* x0 = x + i * d;
    Lanes a0 = {};
    for (uint64_t j = 0; j < d; ++j) {
      LOAD_LANES(q, qt + j * kLanes);
      a0 += x0[j] * q;
    }
    std::memcpy(out + i * kLanes, &a0, sizeof(a0));
  }
}

#undef LOAD_LANES

float SquaredNorm(const float* v, uint64_t d) {
  float s = 0.0f;
  for (uint64_t j = 0; j < d; ++j) s += v[j] * v[j];
  return s;
}

// One query of a group's tile: where its distances for the group start in the buffer.
struct Visit {
  uint64_t query;
  uint64_t offset;
};

struct WorkItem {
  uint64_t group;
  uint64_t first_visit;  // index into the group's visits; the tile is up to kLanes of them
  uint64_t begin;        // candidate range within the group, absolute indices
  uint64_t end;
};

struct HeapEntry {
  float distance;
  uint32_t item;
};

// A stretch [begin, end) of one query's scan, replayed by one thread.
struct ReplayItem {
  uint64_t query;
  uint64_t begin;
  uint64_t end;
  uint64_t logged;  // entries of the admission log, when split
  bool split;
};

template <Metric metric>
void Search(const SearchBlock& block) {
  const uint64_t n = block.n_queries;
  const uint64_t k = block.k;
  if (n == 0 || k == 0) return;
  const uint64_t d = block.queries.cols;
  const std::vector<uint64_t>& offsets = block.group_offsets;
  const uint64_t n_groups = offsets.empty() ? 0 : offsets.size() - 1;
  const uint64_t n_items = block.item_vectors.rows;
  const uint64_t width = block.selection.positions.cols;
  const int32_t* positions = block.selection.positions.data.data();
  ostrik::QueryResults& results = block.results;

  if (block.include_metadata) {
    for (uint64_t q = 0; q < n; ++q) {
      if (results.metadata[q].size() < k) results.metadata[q].resize(k);
    }
  }

  std::vector<uint64_t> scanned(n, 0);
  uint64_t longest = 0;
  for (uint64_t q = 0; q < n; ++q) {
    for (uint64_t p = 0; p < width; ++p) {
      const uint64_t g = static_cast<uint32_t>(positions[q * width + p]);
      scanned[q] += offsets[g + 1] - offsets[g];
    }
    longest = std::max(longest, scanned[q]);
  }

  std::vector<float> item_norms;
  std::vector<float> query_norms;
  bool norms_pending = false;
  if constexpr (metric == Metric::kCosine) {
    item_norms.resize(n_items);
    query_norms.resize(n);
    norms_pending = true;
  }

  uint64_t total = 0;
  for (uint64_t s : scanned) total += s;
  // The team: one thread when the distance work (d multiply-adds per scanned candidate, plus its
  // step through the heap; the norms about as much) is under two kThreadWork or there is a single
  // work item to hand out (a tile of queries over a chunk of a group) and query to replay.
  std::vector<uint64_t> group_visits(n_groups, 0);
  for (uint64_t i = 0; i < n * width; ++i) ++group_visits[static_cast<uint32_t>(positions[i])];
  uint64_t tile_items = 0;
  uint64_t widest = 1;  // candidates of the largest tile
  for (uint64_t g = 0; g < n_groups; ++g) {
    const uint64_t size = offsets[g + 1] - offsets[g];
    if (group_visits[g] == 0 || size == 0) continue;
    tile_items += ((group_visits[g] + kLanes - 1) / kLanes) * ((size + kChunk - 1) / kChunk);
    widest = std::max(widest, std::min(kChunk, size));
  }
  const uint64_t norm_terms = metric == Metric::kCosine ? n_items + n : 0;
  const int n_threads = ostrik::TeamSize(ostrik::WorkProduct(total + norm_terms, d + kHeapStepWork), kThreadWork,
                                         std::max(tile_items, n));
  // Every entry is written before it is read, so the buffer is not zero-filled.
  const uint64_t buffer_size = std::max<uint64_t>({1, longest, std::min(kBufferBudget, total)});
  const std::unique_ptr<float[]> distances = std::make_unique_for_overwrite<float[]>(buffer_size);
  std::vector<std::vector<float>> tiles(n_threads, std::vector<float>(std::max<uint64_t>(d, 1) * kLanes));
  std::vector<std::vector<float>> tile_out(n_threads, std::vector<float>(widest * kLanes));
  std::vector<std::vector<HeapEntry>> heaps(n_threads);
  for (auto& h : heaps) h.reserve(k);
  std::vector<uint64_t> base(n, 0);
  std::vector<uint64_t> visit_start(n_groups + 1);
  std::vector<uint64_t> fill(n_groups);
  std::vector<Visit> visits;
  std::vector<WorkItem> work;
  std::vector<ReplayItem> replays;
  std::vector<uint64_t> split_queries;
  // Admission logs of the split replays, at the same offsets as their distances.
  std::unique_ptr<HeapEntry[]> logs;
  uint64_t logs_size = 0;

  const std::vector<std::string>& ids = block.item_ids;
  const std::vector<std::string>& texts = block.metadata;
  auto entry_less = [&ids, &texts](const HeapEntry& a, const HeapEntry& b) {
    if (a.distance < b.distance) return true;
    if (b.distance < a.distance) return false;
    const int c = ids[a.item].compare(ids[b.item]);
    if (c != 0) return c < 0;
    return texts[a.item] < texts[b.item];
  };
  // The bounded heap's step; true when the entry was taken in.
  auto admit = [k, &entry_less](std::vector<HeapEntry>& heap, HeapEntry entry) {
    if (heap.size() < k) {
      heap.push_back(entry);
      std::push_heap(heap.begin(), heap.end(), entry_less);
      return true;
    }
    if (!(entry.distance < heap.front().distance)) return false;
    std::pop_heap(heap.begin(), heap.end(), entry_less);
    heap.back() = entry;
    std::push_heap(heap.begin(), heap.end(), entry_less);
    return true;
  };
  auto emit = [&](std::vector<HeapEntry>& heap, uint64_t q) {
    const uint64_t found = heap.size();
    const uint64_t row = q * results.top_k;
    for (uint64_t pos = found; pos-- > 0;) {
      const HeapEntry& top = heap.front();
      results.distances.data[row + pos] = top.distance;
      results.ids.data[row + pos] = ids[top.item];
      if (block.include_metadata) results.metadata[q][pos] = texts[top.item];
      std::pop_heap(heap.begin(), heap.end(), entry_less);
      heap.pop_back();
    }
    if constexpr (metric == Metric::kEuclidean) {
      for (uint64_t pos = 0; pos < found; ++pos) {
        results.distances.data[row + pos] = std::sqrt(results.distances.data[row + pos]);
      }
    }
    results.result_counts[q] = static_cast<int32_t>(found);
  };

  ParallelFailure failure;
  for (uint64_t q0 = 0; q0 < n;) {
    // The next batch of queries whose distance rows fit the buffer (at least one query).
    uint64_t q1 = q0;
    uint64_t used = 0;
    while (q1 < n && (q1 == q0 || used + scanned[q1] <= buffer_size)) {
      base[q1] = used;
      used += scanned[q1];
      ++q1;
    }

    // Which queries of the batch visit each group, and where their distances go.
    std::fill(visit_start.begin(), visit_start.end(), 0);
    for (uint64_t q = q0; q < q1; ++q) {
      for (uint64_t p = 0; p < width; ++p) ++visit_start[static_cast<uint32_t>(positions[q * width + p]) + 1];
    }
    for (uint64_t g = 0; g < n_groups; ++g) visit_start[g + 1] += visit_start[g];
    visits.resize(visit_start[n_groups]);
    std::copy(visit_start.begin(), visit_start.end() - 1, fill.begin());
    for (uint64_t q = q0; q < q1; ++q) {
      uint64_t at = base[q];
      for (uint64_t p = 0; p < width; ++p) {
        const uint64_t g = static_cast<uint32_t>(positions[q * width + p]);
        visits[fill[g]++] = Visit{q, at};
        at += offsets[g + 1] - offsets[g];
      }
    }
    work.clear();
    for (uint64_t g = 0; g < n_groups; ++g) {
      for (uint64_t v = visit_start[g]; v < visit_start[g + 1]; v += kLanes) {
        for (uint64_t b = offsets[g]; b < offsets[g + 1]; b += kChunk) {
          work.push_back(WorkItem{g, v, b, std::min(b + kChunk, offsets[g + 1])});
        }
      }
    }

    // With fewer queries than threads a query's replay is cut into parts. A part's own bounded
    // heap admits every entry that the query's heap would admit (its prefix is shorter, so its
    // k-th distance is never lower), and an entry the query's heap refuses changes nothing: the
    // parts' admission logs replayed in scan order give exactly the result of one sequential scan.
    replays.clear();
    split_queries.clear();
    const bool few_queries = q1 - q0 < static_cast<uint64_t>(n_threads);
    for (uint64_t q = q0; q < q1; ++q) {
      const uint64_t parts =
          few_queries ? std::clamp<uint64_t>(scanned[q] / kReplayPart, 1, static_cast<uint64_t>(n_threads)) : 1;
      if (parts > 1) split_queries.push_back(q);
      for (uint64_t part = 0; part < parts; ++part) {
        replays.push_back(ReplayItem{q, scanned[q] * part / parts, scanned[q] * (part + 1) / parts, 0, parts > 1});
      }
    }
    if (!split_queries.empty() && logs_size < used) {
      logs = std::make_unique_for_overwrite<HeapEntry[]>(used);
      logs_size = used;
    }

    const bool with_norms = norms_pending;
#pragma omp parallel num_threads(n_threads) if (n_threads > 1)
    {
      if (with_norms) {
#pragma omp for schedule(static) nowait
        for (uint64_t i = 0; i < n_items; ++i) item_norms[i] = SquaredNorm(block.item_vectors.row(i), d);
#pragma omp for schedule(static)
        for (uint64_t q = 0; q < n; ++q) query_norms[q] = SquaredNorm(block.queries.row(q), d);
      }

#pragma omp for schedule(dynamic, 1)
      for (uint64_t w = 0; w < work.size(); ++w) {
        const WorkItem& item = work[w];
        const int t = omp_get_thread_num();
        float* qt = tiles[t].data();
        float* out = tile_out[t].data();
        const uint64_t lanes = std::min(kLanes, visit_start[item.group + 1] - item.first_visit);
        const Visit* tile = visits.data() + item.first_visit;
        std::fill(qt, qt + d * kLanes, 0.0f);
        for (uint64_t l = 0; l < lanes; ++l) {
          const float* qv = block.queries.row(tile[l].query);
          for (uint64_t j = 0; j < d; ++j) qt[j * kLanes + l] = qv[j];
        }
        const uint64_t count = item.end - item.begin;
        const float* x = block.item_vectors.data + item.begin * d;
        if constexpr (metric == Metric::kCosine) {
          TileDotProducts(qt, x, d, count, out);
        } else {
          TileSquaredDistances(qt, x, d, count, out);
        }
        const uint64_t skip = item.begin - offsets[item.group];
        for (uint64_t l = 0; l < lanes; ++l) {
          float* dst = distances.get() + tile[l].offset + skip;
          if constexpr (metric == Metric::kCosine) {
            const float qn = std::sqrt(query_norms[tile[l].query]);
            for (uint64_t i = 0; i < count; ++i) {
              const float norm = qn * std::sqrt(item_norms[item.begin + i]);
              dst[i] = norm == 0.0f ? 1.0f : 1.0f - out[i * kLanes + l] / norm;
            }
          } else {
            for (uint64_t i = 0; i < count; ++i) dst[i] = out[i * kLanes + l];
          }
        }
      }

      // The heap replays each query's distances in its scan order, so admission and ties are
      // those of one sequential scan whatever the split of the distance work.
#pragma omp for schedule(dynamic, 1)
      for (uint64_t r = 0; r < replays.size(); ++r) {
        failure.Run([&] {
          ReplayItem& replay = replays[r];
          const uint64_t q = replay.query;
          std::vector<HeapEntry>& heap = heaps[omp_get_thread_num()];
          heap.clear();
          const float* dist = distances.get() + base[q];
          HeapEntry* log = replay.split ? logs.get() + base[q] + replay.begin : nullptr;
          uint64_t logged = 0;
          // Find the group where the part starts, then scan on in the query's order.
          uint64_t at = 0;
          for (uint64_t p = 0; p < width && at < replay.end; ++p) {
            const uint64_t g = static_cast<uint32_t>(positions[q * width + p]);
            const uint64_t size = offsets[g + 1] - offsets[g];
            if (at + size <= replay.begin) {
              at += size;
              continue;
            }
            const uint64_t from = replay.begin > at ? replay.begin - at : 0;
            const uint64_t to = std::min(size, replay.end - at);
            for (uint64_t i = from; i < to; ++i) {
              const HeapEntry entry{dist[at + i], static_cast<uint32_t>(offsets[g] + i)};
              if (admit(heap, entry) && log != nullptr) log[logged++] = entry;
            }
            at += size;
          }
          if (log != nullptr) {
            replay.logged = logged;
          } else {
            emit(heap, q);
          }
        });
      }

#pragma omp for schedule(dynamic, 1)
      for (uint64_t s = 0; s < split_queries.size(); ++s) {
        failure.Run([&] {
          const uint64_t q = split_queries[s];
          std::vector<HeapEntry>& heap = heaps[omp_get_thread_num()];
          heap.clear();
          for (const ReplayItem& replay : replays) {
            if (replay.query != q) continue;
            const HeapEntry* log = logs.get() + base[q] + replay.begin;
            for (uint64_t e = 0; e < replay.logged; ++e) admit(heap, log[e]);
          }
          emit(heap, q);
        });
      }
    }
    failure.Rethrow();
    norms_pending = false;
    q0 = q1;
  }
}

}  // namespace

void SearchCandidatesEuclideanBody(const SearchBlock& block) { Search<Metric::kEuclidean>(block); }
void SearchCandidatesSquaredEuclideanBody(const SearchBlock& block) { Search<Metric::kSquaredEuclidean>(block); }
void SearchCandidatesCosineBody(const SearchBlock& block) { Search<Metric::kCosine>(block); }

}  // namespace ostrik_encrypted_index::internal::kernels
