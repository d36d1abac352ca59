// Speed of the index on the memory store, through Client and EncryptedIndex only: upsert (before
// and after training), training with 1,024 lists, the untrained exhaustive query, and trained
// queries at n_probes 1, 8 and 32 (one query: median latency; 1,000 queries: one batch call) with
// the token cache off (cold) and holding every list (warm), with recall@10 against the brute-force
// neighbours; every figure split into its stages (stage_times.h). Every training runs and is timed
// in full, but hands back one set of centroids: the first training's, kept in NAME_centroids.f32,
// so that all indexes of a run, on every thread count, and the peer probe the same lists.
//
// Usage: index_bench DATA_DIR NAME THREADS, or index_bench --region-us THREADS to print what one
// OpenMP region costs right now (see RegionMicros).
// Reads NAME_shape.txt ("n dim queries k"), NAME_base.f32, NAME_queries.f32 (row-major float32)
// and NAME_gt.i32 (k int32 neighbour ids per query) from DATA_DIR, as make_data.py writes them,
// and NAME_centroids.f32 (lists x dim float32) when an earlier run wrote it. Writes there
// NAME_centroids.f32 when it did not exist, NAME_ours_ids_p<P>_t<T>.i64 (10 ids per query, -1 for
// none: every query at n_probes P on T threads, cold) and ours_NAME_t<T>.json, the record of
// every figure (a file: the library writes some notices to stdout). Progress goes to stderr.
// run_bench.sh runs it with the peer and prints the comparison.
#include <omp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/index/bench_data.h"
#include "bench/index/stage_times.h"
#include "core/config.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "kernels/kmeans_training.h"

namespace {

using Clock = std::chrono::steady_clock;
using dz_bench::Dataset;
using dz_bench::LoadAverage;
using dz_bench::ReadFile;
using dz_bench::RegionMicros;
using dz_bench::Rows;
using dz_bench::Stage;
using dz_bench::WriteFile;

constexpr uint64_t kLists = 1024;
constexpr uint64_t kTopK = 10;
constexpr std::array<uint64_t, 3> kProbes = {1, 8, 32};
constexpr uint64_t kBatchQueries = 1000;
constexpr uint64_t kLatencyQueries = 101;  // one-query calls; the latency is their median
constexpr int kBatchReps = 5;
constexpr int kUpsertReps = 3;
constexpr int kUntrainedReps = 11;
// Training as the index runs it: mini-batch rounds of kTrainBatch vectors. The peer runs as many
// full-batch Lloyd iterations, and a sample of kTrainBatch vectors, for the per-iteration figures.
constexpr uint64_t kTrainRounds = 25;
constexpr uint64_t kTrainBatch = 2048;
// Full-batch rounds of the k-means kernel alone, for the per-round figure at equal points.
constexpr uint64_t kFullBatchRounds = 3;

// The thread count of the run, for the region probes around every measurement.
int g_threads = 1;
// A region dearer than this waited for a thread that another process kept from its core.
constexpr double kBusyRegionMicros = 100.0;

void Progress(const std::string& text) { std::cerr << "[index_bench " << LoadAverage() << "] " << text << std::endl; }

// A small JSON object writer: keys in insertion order, values already formatted.
class Json {
 public:
  Json& Num(const std::string& key, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return Raw(key, buf);
  }
  Json& Str(const std::string& key, const std::string& v) { return Raw(key, "\"" + v + "\""); }
  Json& Raw(const std::string& key, const std::string& v) {
    body_ += (body_.empty() ? "\"" : ", \"") + key + "\": " + v;
    return *this;
  }
  std::string str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

std::string Array(const std::vector<std::string>& items) {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n  " : "") + items[i];
  return s + "]";
}

// Wall times of repeated calls, their stages summed over all of them, the dearer of the region
// probes before and after them, and how many calls were followed by a single region that waited.
struct Sample {
  std::vector<double> seconds;
  dz_bench::StageTimes stages;
  double region_us = 0.0;
  int busy_reps = 0;
};

// Regions after a call: a quiet one costs microseconds, one that waits for a core milliseconds.
// The cheapest of three is taken: the first may also wake a team that fell asleep during
// single-threaded work, or meet the page faults of memory the call just returned.
bool RegionWaited(int threads) {
  double best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
#pragma omp parallel num_threads(threads)
    {
#pragma omp barrier
    }
    best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return best > kBusyRegionMicros;
}

template <typename F>
double Time(F&& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs setup(rep) and then f(rep), `reps` times; only f is timed, and only its stages count.
template <typename Setup, typename F>
Sample Repeat(int reps, Setup&& setup, F&& f) {
  Sample s;
  s.region_us = RegionMicros(g_threads);
  for (int r = 0; r < reps; ++r) {
    setup(r);
    dz_bench::ResetStages();
    s.seconds.push_back(Time([&] { f(r); }));
    s.busy_reps += RegionWaited(g_threads);
    for (int i = 0; i < dz_bench::kStageCount; ++i) {
      s.stages.seconds[i] += dz_bench::Stages().seconds[i];
      s.stages.calls[i] += dz_bench::Stages().calls[i];
    }
  }
  s.region_us = std::max(s.region_us, RegionMicros(g_threads));
  return s;
}

template <typename F>
Sample Repeat(int reps, F&& f) {
  return Repeat(reps, [](int) {}, f);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Median, mean and best in ms; the mean time of every stage seen, and what the stages leave of the
// mean (seeding runs inside k-means, so it is not subtracted again).
std::string SampleJson(const Sample& s) {
  const double reps = static_cast<double>(s.seconds.size());
  const double mean = std::accumulate(s.seconds.begin(), s.seconds.end(), 0.0) / reps;
  Json parts, calls;
  double covered = 0.0;
  for (int i = 0; i < dz_bench::kStageCount; ++i) {
    if (s.stages.calls[i] == 0) continue;
    const double ms = 1e3 * s.stages.seconds[i] / reps;
    parts.Num(dz_bench::StageName(static_cast<Stage>(i)), ms);
    calls.Num(dz_bench::StageName(static_cast<Stage>(i)), static_cast<double>(s.stages.calls[i]) / reps);
    if (i != dz_bench::kSeeding) covered += ms;
  }
  return Json()
      .Num("median_ms", 1e3 * Median(s.seconds))
      .Num("mean_ms", 1e3 * mean)
      .Num("min_ms", 1e3 * *std::min_element(s.seconds.begin(), s.seconds.end()))
      .Num("reps", reps)
      .Raw("parts_ms", parts.str())
      .Raw("calls", calls.str())
      .Num("other_ms", 1e3 * mean - covered)
      .Num("region_us", s.region_us)
      .Num("busy_share", s.busy_reps / reps)
      .str();
}

// Fails the run when a stage every call of an operation passes through was never seen: the
// breakdown would be silently wrong.
void RequireStage(const Sample& s, Stage stage, const std::string& what) {
  if (s.stages.calls[stage] < s.seconds.size()) {
    throw std::runtime_error(what + ": the " + dz_bench::StageName(stage) +
                             " stage was not seen; are the link wraps of CMakeLists.txt in place?");
  }
}

// A query's fetch and search: two stages, or one when the search runs in the fetch's own pass.
void RequireFetchAndSearch(const Sample& s, const std::string& what) {
  if (s.stages.calls[dz_bench::kFetchSearch] >= s.seconds.size()) return;
  RequireStage(s, dz_bench::kFetch, what);
  RequireStage(s, dz_bench::kSearch, what);
}

ostrik::IndexKey Key() {
  ostrik::IndexKey key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(31 * i + 7);
  return key;
}

ostrik::Client MemoryClient(int threads) {
  const ostrik::DBConfig memory("memory");
  return ostrik::Client(memory, memory, memory, threads);
}

std::unique_ptr<ostrik::EncryptedIndex> NewIndex(const Dataset& ds, int threads, uint64_t cache,
                                                 const std::string& tag) {
  static int serial = 0;
  const std::string name = "bench-" + ds.name + "-" + tag + "-" + std::to_string(++serial);
  return MemoryClient(threads).CreateIndex(name, Key(), ostrik::IndexIVFFlat(ds.dim, kLists, "euclidean"), cache,
                                           nullptr);
}

ostrik::QueryParams Params(uint64_t n_probes) {
  ostrik::QueryParams p;
  p.top_k = kTopK;
  p.n_probes = n_probes;
  p.include = {static_cast<int32_t>(ostrik::QueryInclude::DISTANCE)};
  return p;
}

// Result ids as integers, kTopK per query, -1 where a query found fewer.
std::vector<int64_t> ResultIds(const ostrik::QueryResults& r) {
  std::vector<int64_t> ids(r.n_queries * kTopK, -1);
  for (uint64_t q = 0; q < r.n_queries; ++q) {
    const int32_t found = std::min<int32_t>(r.result_counts[q], static_cast<int32_t>(kTopK));
    for (int32_t j = 0; j < found; ++j) ids[q * kTopK + j] = std::stoll(r.ids.data[q * r.ids.cols + j]);
  }
  return ids;
}

double Recall(const Dataset& ds, const std::vector<int64_t>& ids) {
  uint64_t hits = 0;
  for (uint64_t q = 0; q < ds.n_queries; ++q) {
    const int32_t* truth = ds.gt.data() + q * ds.gt_k;
    for (uint64_t j = 0; j < kTopK; ++j) {
      const int64_t id = ids[q * kTopK + j];
      if (id >= 0 && std::find(truth, truth + kTopK, id) != truth + kTopK) ++hits;
    }
  }
  return static_cast<double>(hits) / static_cast<double>(ds.n_queries * kTopK);
}

struct QueryInputs {
  std::vector<ostrik::FloatMatrix> singles;
  ostrik::FloatMatrix batch;
};

// One n_probes setting on a trained index: single-query latency, batch throughput, and the whole
// query set once for recall. Warm runs every query once before timing it.
std::string MeasureQueries(const Dataset& ds, ostrik::EncryptedIndex& index, const QueryInputs& in, uint64_t n_probes,
                           bool warm, std::vector<int64_t>& all_ids) {
  const ostrik::QueryParams params = Params(n_probes);
  const std::string what = std::string(warm ? "warm" : "cold") + " query, n_probes " + std::to_string(n_probes);
  if (warm) {
    for (const auto& q : in.singles) index.Query(q, params);
  }
  const Sample single = Repeat(static_cast<int>(in.singles.size()), [&](int r) { index.Query(in.singles[r], params); });
  if (warm) index.Query(in.batch, params);
  const Sample batch = Repeat(kBatchReps, [&](int) { index.Query(in.batch, params); });
  for (const Sample* s : {&single, &batch}) {
    // The pre-filter runs only with a filter, so it is not required.
    RequireStage(*s, dz_bench::kProbes, what);
    RequireFetchAndSearch(*s, what);
  }
  ostrik::QueryResults results;
  const double all_seconds = Time([&] { results = index.Query(ds.queries, params); });
  all_ids = ResultIds(results);
  const double batch_median = Median(batch.seconds);
  return Json()
      .Num("n_probes", static_cast<double>(n_probes))
      .Str("cache", warm ? "warm" : "cold")
      .Raw("single", SampleJson(single))
      .Raw("batch", SampleJson(batch))
      .Num("batch_queries", kBatchQueries)
      .Num("batch_qps", static_cast<double>(kBatchQueries) / batch_median)
      .Num("all_queries_ms", 1e3 * all_seconds)
      .Num("recall_at_10", Recall(ds, all_ids))
      .str();
}

std::string RunThreads(const Dataset& ds, int threads, const std::string& dir,
                       std::vector<ostrik::QuantizerMatrix>& pin) {
  g_threads = threads;
  Json out;
  out.Num("threads", threads).Str("load_start", LoadAverage()).Num("region_us_start", RegionMicros(threads));
  QueryInputs in;
  for (uint64_t i = 0; i < kLatencyQueries; ++i) in.singles.push_back(Rows(ds.queries, i, 1));
  in.batch = Rows(ds.queries, 0, kBatchQueries);
  const auto upsert_all = [&](ostrik::EncryptedIndex& index) { index.Upsert(ds.base, ds.ids, {}, {}); };

  // Upsert before training: every item into list 0. The last index goes on.
  Progress(ds.name + " threads " + std::to_string(threads) + ": upsert");
  std::unique_ptr<ostrik::EncryptedIndex> cold;
  const Sample upsert = Repeat(
      kUpsertReps,
      [&](int) {
        cold.reset();
        cold = NewIndex(ds, threads, 0, "cold");
      },
      [&](int) { upsert_all(*cold); });
  RequireStage(upsert, dz_bench::kAdd, "upsert");
  out.Raw("upsert_untrained", SampleJson(upsert))
      .Num("upsert_untrained_items_per_s", static_cast<double>(ds.n) / Median(upsert.seconds));

  Progress(ds.name + " threads " + std::to_string(threads) + ": untrained query");
  const Sample untrained = Repeat(kUntrainedReps, [&](int r) { cold->Query(in.singles[r], Params(1)); });
  RequireFetchAndSearch(untrained, "untrained query");
  out.Raw("untrained_query", SampleJson(untrained));

  Progress(ds.name + " threads " + std::to_string(threads) + ": training");
  ostrik::TrainParams train;
  train.batch_size = kTrainBatch;
  train.max_iters = kTrainRounds;
  dz_bench::PinCentroids(&pin);
  const bool first_training = pin.empty();
  const Sample trained = Repeat(1, [&](int) { cold->TrainIndex(train); });
  for (Stage stage : {dz_bench::kFetch, dz_bench::kKMeans, dz_bench::kSeeding, dz_bench::kEncode, dz_bench::kAdd}) {
    RequireStage(trained, stage, "training");
  }
  out.Raw("train", SampleJson(trained))
      .Num("train_rounds_ms_per_round",
           1e3 * (trained.stages.seconds[dz_bench::kKMeans] - trained.stages.seconds[dz_bench::kSeeding]) /
               static_cast<double>(kTrainRounds));
  if (first_training) {
    if (pin.size() != 1 || pin[0].rows != kLists || pin[0].cols != ds.dim) {
      throw std::runtime_error("the training returned centroids of an unexpected shape");
    }
    WriteFile(dir + "/" + ds.name + "_centroids.f32", pin[0].data);
  }

  std::vector<std::string> queries;
  std::vector<std::vector<int64_t>> cold_ids(kProbes.size());
  for (size_t p = 0; p < kProbes.size(); ++p) {
    Progress(ds.name + " threads " + std::to_string(threads) + ": cold queries, n_probes " + std::to_string(kProbes[p]));
    queries.push_back(MeasureQueries(ds, *cold, in, kProbes[p], false, cold_ids[p]));
    WriteFile(dir + "/" + ds.name + "_ours_ids_p" + std::to_string(kProbes[p]) + "_t" + std::to_string(threads) + ".i64",
              cold_ids[p]);
  }

  // Upsert after training: the trained configuration without items, then every item into its list.
  Progress(ds.name + " threads " + std::to_string(threads) + ": trained upsert");
  const ostrik::Bytes serialized = cold->SerializeIndex();
  cold.reset();
  std::unique_ptr<ostrik::EncryptedIndex> filled;
  const Sample trained_upsert = Repeat(
      kUpsertReps,
      [&](int) {
        filled.reset();
        filled = MemoryClient(threads).LoadSerializedIndex(serialized, Key(), nullptr);
      },
      [&](int) { upsert_all(*filled); });
  filled.reset();
  RequireStage(trained_upsert, dz_bench::kEncode, "trained upsert");
  RequireStage(trained_upsert, dz_bench::kAdd, "trained upsert");
  out.Raw("upsert_trained", SampleJson(trained_upsert))
      .Num("upsert_trained_items_per_s", static_cast<double>(ds.n) / Median(trained_upsert.seconds));

  // Warm: a cache of every list. Its training runs in full but hands back the pinned centroids.
  Progress(ds.name + " threads " + std::to_string(threads) + ": warm index");
  auto warm = NewIndex(ds, threads, kLists, "warm");
  upsert_all(*warm);
  const Sample trained_again = Repeat(1, [&](int) { warm->TrainIndex(train); });
  out.Raw("train_second", SampleJson(trained_again));
  uint64_t differing_rows = 0;
  for (size_t p = 0; p < kProbes.size(); ++p) {
    Progress(ds.name + " threads " + std::to_string(threads) + ": warm queries, n_probes " + std::to_string(kProbes[p]));
    std::vector<int64_t> warm_ids;
    queries.push_back(MeasureQueries(ds, *warm, in, kProbes[p], true, warm_ids));
    for (uint64_t q = 0; q < ds.n_queries; ++q) {
      differing_rows += !std::equal(warm_ids.begin() + q * kTopK, warm_ids.begin() + (q + 1) * kTopK,
                                    cold_ids[p].begin() + q * kTopK);
    }
  }
  warm.reset();
  out.Raw("queries", Array(queries)).Num("warm_rows_differing_from_cold", static_cast<double>(differing_rows));

  // The k-means kernel alone on every vector per round, for the per-round figure at equal points
  // with the peer's full-batch iterations; rounds are timed from the end of the seeding.
  Progress(ds.name + " threads " + std::to_string(threads) + ": full-batch k-means rounds");
  dz_bench::PinCentroids(nullptr);
  ostrik::KMeansParams full;
  full.n_clusters = kLists;
  full.max_iters = kFullBatchRounds;
  full.batch_size = ds.n;
  const int saved_threads = omp_get_max_threads();
  omp_set_num_threads(threads);
  const Sample full_batch = Repeat(1, [&](int) {
    ostrik_encrypted_index::internal::kernels::TrainQuantizer(ds.base, full, ostrik::Euclidean);
  });
  omp_set_num_threads(saved_threads);
  RequireStage(full_batch, dz_bench::kSeeding, "full-batch k-means");
  out.Raw("train_full_batch_kernel", SampleJson(full_batch))
      .Num("train_full_batch_ms_per_round",
           1e3 * (full_batch.stages.seconds[dz_bench::kKMeans] - full_batch.stages.seconds[dz_bench::kSeeding]) /
               static_cast<double>(kFullBatchRounds))
      .Str("load_end", LoadAverage())
      .Num("region_us_end", RegionMicros(threads));
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  // The probe alone, for a caller that waits for a quiet machine.
  if (argc == 3 && std::string(argv[1]) == "--region-us" && std::atoi(argv[2]) >= 1) {
    std::cout << RegionMicros(std::atoi(argv[2])) << std::endl;
    return 0;
  }
  if (argc != 4 || std::atoi(argv[3]) < 1) {
    std::cerr << "usage: index_bench DATA_DIR NAME THREADS | index_bench --region-us THREADS" << std::endl;
    return 2;
  }
  try {
    const std::string dir = argv[1];
    const Dataset ds = dz_bench::LoadDataset(dir, argv[2], kBatchQueries, kTopK);
    const int threads = std::atoi(argv[3]);
    std::vector<ostrik::QuantizerMatrix> pin;
    const std::string centroids = dir + "/" + ds.name + "_centroids.f32";
    if (std::ifstream(centroids).good()) {
      pin.emplace_back(static_cast<int32_t>(kLists), ReadFile<float>(centroids, kLists * ds.dim), ds.dim);
    }
    const std::string run = RunThreads(ds, threads, dir, pin);
    std::string probes = "[";
    for (size_t p = 0; p < kProbes.size(); ++p) probes += (p ? ", " : "") + std::to_string(kProbes[p]);
    const std::string params = Json()
                                   .Num("n_lists", kLists)
                                   .Num("top_k", kTopK)
                                   .Raw("n_probes", probes + "]")
                                   .Num("batch_queries", kBatchQueries)
                                   .Num("latency_queries", kLatencyQueries)
                                   .Num("batch_reps", kBatchReps)
                                   .Num("upsert_reps", kUpsertReps)
                                   .Num("untrained_reps", kUntrainedReps)
                                   .Num("train_rounds", kTrainRounds)
                                   .Num("train_batch", kTrainBatch)
                                   .Num("full_batch_rounds", kFullBatchRounds)
                                   .str();
    const std::string path = dir + "/ours_" + ds.name + "_t" + std::to_string(threads) + ".json";
    std::ofstream out(path);
    out << Json()
               .Str("dataset", ds.name)
               .Num("n", static_cast<double>(ds.n))
               .Num("dim", static_cast<double>(ds.dim))
               .Num("queries", static_cast<double>(ds.n_queries))
               .Raw("params", params)
               .Raw("run", run)
               .str()
        << std::endl;
    if (!out) throw std::runtime_error("cannot write " + path);
  } catch (const std::exception& e) {
    std::cerr << "index_bench: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
