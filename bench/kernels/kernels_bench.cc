// Kernel benchmarks on 100,000 x 128 vectors (one random set, one clustered set) with 1,024
// lists: training rounds, encoding, probe selection for 10,000 queries and search of 1,000 queries
// over the probed lists, each at 1 thread and at every core. The data and trained centroids are
// written as raw float32 files to $KERNELS_BENCH_DIR (default /tmp/dz_kernels_bench) so that
// faiss_peer.py times its own kernels on exactly the same input; the Euclidean search results are
// written there too (int64 ids, -1 for none), for the peer to check that both found the same.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "kernels/candidate_search.h"
#include "kernels/encoding.h"
#include "kernels/kmeans_seeding.h"
#include "kernels/kmeans_training.h"
#include "kernels/probe_selection.h"

namespace ok = ostrik_encrypted_index::internal::kernels;

// Training seeds with k-means++ before its rounds, and on 100,000 points the seeding takes longer
// than the rounds and varies more than they last, so a difference against a seeding-only run is
// mostly noise. The link wraps the Euclidean seeding (see CMakeLists.txt): the wrapper notes when
// it returns, and the training benchmarks time the rounds from there.
namespace {
std::chrono::steady_clock::time_point g_seeded;
uint64_t g_seedings = 0;
}  // namespace

// ok::KMeansPlusPlusInitEuclidean's linker name behind the wrap's prefixes.
#define DZ_SEEDING(prefix) \
  prefix##_ZN22ostrik_encrypted_index8internal7kernels27KMeansPlusPlusInitEuclideanERKN4arma3MatIfEEmm

extern "C" arma::fmat DZ_SEEDING(__real_)(const arma::fmat& points, uint64_t k, uint64_t n_init);

extern "C" arma::fmat DZ_SEEDING(__wrap_)(const arma::fmat& points, uint64_t k, uint64_t n_init) {
  arma::fmat centroids = DZ_SEEDING(__real_)(points, k, n_init);
  g_seeded = std::chrono::steady_clock::now();
  ++g_seedings;
  return centroids;
}

namespace {

constexpr uint64_t kN = 100000, kD = 128, kLists = 1024, kProbeQueries = 10000, kSearchQueries = 1000;
constexpr uint32_t kTopK = 10;

std::filesystem::path Dir() {
  const char* env = std::getenv("KERNELS_BENCH_DIR");
  return env ? env : "/tmp/dz_kernels_bench";
}

void Write(const std::string& name, const std::vector<float>& values) {
  std::ofstream out(Dir() / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

struct Dataset {
  ostrik::FloatMatrix data;
  ostrik::FloatMatrix queries;
  std::vector<ostrik::QuantizerMatrix> centroids;
  std::vector<uint32_t> codes;
};

// Random: N(0, 1) components. Clustered: 1,000 centres N(0, 1), points at sigma 0.25 around them.
ostrik::FloatMatrix Generate(uint64_t n, bool clustered, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  ostrik::FloatMatrix m{n, kD, std::vector<float>(n * kD)};
  std::vector<float> centres(1000 * kD);
  std::mt19937 centre_gen(4242);
  for (float& c : centres) c = normal(centre_gen);
  for (uint64_t i = 0; i < n; ++i) {
    const float* c = centres.data() + (gen() % 1000) * kD;
    for (uint64_t j = 0; j < kD; ++j) m.data[i * kD + j] = clustered ? c[j] + 0.25f * normal(gen) : normal(gen);
  }
  return m;
}

Dataset& Get(const std::string& name) {
  static std::map<std::string, Dataset> sets;
  auto it = sets.find(name);
  if (it != sets.end()) return it->second;
  const bool clustered = name == "clustered";
  Dataset ds;
  ds.data = Generate(kN, clustered, clustered ? 2 : 1);
  ds.queries = Generate(kProbeQueries, clustered, clustered ? 12 : 11);
  ostrik::KMeansParams params;
  params.n_clusters = kLists;
  params.max_iters = 20;
  ds.centroids = ok::TrainQuantizer(ds.data, params, ostrik::Euclidean);
  ds.codes = ok::EncodeVectors(ds.data, ds.centroids, ostrik::Euclidean).codes;
  std::filesystem::create_directories(Dir());
  Write(name + "_data.f32", ds.data.data);
  Write(name + "_queries.f32", ds.queries.data);
  Write(name + "_centroids.f32", ds.centroids[0].data);
  // Results of an earlier run belong to other centroids: a run that skips the search leaves none.
  for (int p : {1, 16}) std::filesystem::remove(Dir() / (name + "_search_" + std::to_string(p) + "_ids.i64"));
  return sets.emplace(name, std::move(ds)).first->second;
}

void Threads(benchmark::State& state) { omp_set_num_threads(static_cast<int>(state.range(0))); }

void Restore() { omp_set_num_threads(omp_get_num_procs()); }

// Time per round of a Euclidean training of (rounds, batch) as arguments 1 and 2 (batch 0: the
// default), from the end of the seeding to the return: the first round's buffer set-up included.
void Train(benchmark::State& state, std::string name) {
  Dataset& ds = Get(name);
  Threads(state);
  ostrik::KMeansParams params;
  params.n_clusters = kLists;
  params.max_iters = state.range(1);
  params.batch_size = state.range(2);
  for (auto _ : state) {
    const uint64_t seedings = g_seedings;
    auto centroids = ok::TrainQuantizer(ds.data, params, ostrik::Euclidean);
    const auto done = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(centroids);
    if (g_seedings != seedings + 1) {
      state.SkipWithError("the seeding was not seen: is the link wrap of KMeansPlusPlusInitEuclidean in place?");
      break;
    }
    const double rounds_seconds = std::chrono::duration<double>(done - g_seeded).count();
    state.SetIterationTime(rounds_seconds / static_cast<double>(params.max_iters));
  }
  Restore();
}

void Encode(benchmark::State& state, std::string name, ostrik::DistanceMetric metric) {
  Dataset& ds = Get(name);
  Threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(ok::EncodeVectors(ds.data, ds.centroids, metric));
  state.SetItemsProcessed(state.iterations() * kN);
  Restore();
}

void Probe(benchmark::State& state, std::string name, ostrik::DistanceMetric metric) {
  Dataset& ds = Get(name);
  Threads(state);
  const uint64_t n_probes = state.range(1);
  for (auto _ : state) benchmark::DoNotOptimize(ok::SelectProbes(ds.queries, ds.centroids, n_probes, metric, 0.0f));
  state.SetItemsProcessed(state.iterations() * kProbeQueries);
  Restore();
}

// The candidates of the probed lists grouped in probed_ids order, as the trained query path
// hands them over.
struct Candidates {
  ostrik::ItemRecords items;
  ostrik::FloatMatrix vectors;
};

Candidates Gather(const Dataset& ds, const ostrik::ProbeSelection& sel) {
  std::vector<std::vector<uint64_t>> lists(kLists);
  for (uint64_t i = 0; i < kN; ++i) lists[ds.codes[i]].push_back(i);
  Candidates c;
  c.vectors.cols = kD;
  c.items.token_indices.push_back(0);
  for (uint32_t list : sel.probed_ids) {
    for (uint64_t i : lists[list]) {
      c.items.item_ids.push_back(std::to_string(i));
      c.items.metadata.emplace_back();
      c.vectors.data.insert(c.vectors.data.end(), ds.data.row(i), ds.data.row(i) + kD);
    }
    c.items.token_indices.push_back(c.items.item_ids.size());
  }
  c.vectors.rows = c.items.item_ids.size();
  return c;
}

void Search(benchmark::State& state, std::string name, ostrik::DistanceMetric metric) {
  Dataset& ds = Get(name);
  const uint64_t n_probes = state.range(1);
  const ostrik::FloatMatrix queries{kSearchQueries, kD,
                                    std::vector<float>(ds.queries.data.begin(), ds.queries.data.begin() + kSearchQueries * kD)};
  const auto sel = ok::SelectProbes(queries, ds.centroids, n_probes, metric, 0.0f);
  const Candidates c = Gather(ds, sel);
  Threads(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ok::SearchCandidates(c.items, c.vectors, sel, queries, kTopK, metric, {}));
  }
  state.SetItemsProcessed(state.iterations() * kSearchQueries);
  state.counters["candidates"] = static_cast<double>(c.vectors.rows);
  if (metric == ostrik::Euclidean) {
    const ostrik::QueryResults r = ok::SearchCandidates(c.items, c.vectors, sel, queries, kTopK, metric, {});
    std::vector<int64_t> ids(kSearchQueries * kTopK, -1);
    for (uint64_t q = 0; q < kSearchQueries; ++q) {
      for (int32_t j = 0; j < r.result_counts[q]; ++j) ids[q * kTopK + j] = std::stoll(r.ids.data[q * r.ids.cols + j]);
    }
    std::ofstream out(Dir() / (name + "_search_" + std::to_string(n_probes) + "_ids.i64"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(ids.data()), static_cast<std::streamsize>(ids.size() * sizeof(int64_t)));
  }
  Restore();
}

// One query over every vector: the untrained path.
void SearchOne(benchmark::State& state, std::string name, ostrik::DistanceMetric metric) {
  Dataset& ds = Get(name);
  ostrik::ProbeSelection sel;
  sel.n_queries = 1;
  sel.probed_ids = {0};
  sel.positions = {1, 1, {0}};
  ostrik::ItemRecords items;
  items.token_indices = {0, kN};
  for (uint64_t i = 0; i < kN; ++i) items.item_ids.push_back(std::to_string(i));
  items.metadata.resize(kN);
  const ostrik::FloatMatrix query{1, kD, std::vector<float>(ds.queries.data.begin(), ds.queries.data.begin() + kD)};
  Threads(state);
  for (auto _ : state) benchmark::DoNotOptimize(ok::SearchCandidates(items, ds.data, sel, query, kTopK, metric, {}));
  Restore();
}

void Register() {
  const int all = omp_get_num_procs();
  for (const std::string name : {"random", "clustered"}) {
    for (int t : {1, all}) {
      // One training each: a full-batch one seeds over all 100,000 points, which takes seconds.
      benchmark::RegisterBenchmark(("train_minibatch/" + name).c_str(), Train, name)
          ->Args({t, 100, 0})->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
      benchmark::RegisterBenchmark(("train_fullbatch/" + name).c_str(), Train, name)
          ->Args({t, 10, kN})->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
      for (auto metric : {ostrik::Euclidean, ostrik::Cosine}) {
        const std::string m = metric == ostrik::Cosine ? "cosine" : "l2";
        benchmark::RegisterBenchmark(("encode_" + m + "/" + name).c_str(), Encode, name, metric)
            ->Args({t})->Unit(benchmark::kMillisecond)->UseRealTime();
        for (int p : {1, 16}) {
          benchmark::RegisterBenchmark(("probe_" + m + "/" + name).c_str(), Probe, name, metric)
              ->Args({t, p})->Unit(benchmark::kMillisecond)->UseRealTime();
          benchmark::RegisterBenchmark(("search_" + m + "/" + name).c_str(), Search, name, metric)
              ->Args({t, p})->Unit(benchmark::kMillisecond)->UseRealTime();
        }
        benchmark::RegisterBenchmark(("search_one_" + m + "/" + name).c_str(), SearchOne, name, metric)
            ->Args({t})->Unit(benchmark::kMillisecond)->UseRealTime();
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
