// Cold single queries against their decryption floor, and the figures the FAISS peers are held
// to: one trained index per list count on the memory store (no token cache: every query fetches,
// opens and decodes every record of its probed lists), queried through EncryptedIndex only.
//
// For every n_probes: kSingleQueries one-query calls (median latency), each followed by its floor:
// the AES-256-GCM opening of the very envelopes that query fetched, read from the data store
// beforehand, on the same threads in one parallel region (OpenFloor, as the fetch opens them),
// so that query / floor says what everything but the cipher costs. Then one call of kBatchQueries
// queries (recall@10 from it), and the same single and batch calls warm (a cache of every list,
// filled by one untimed pass).
//
// Usage: cold_query_bench DATA_DIR NAME THREADS LISTS PROBES OUT_JSON, LISTS and PROBES
// comma-separated (e.g. 256,1024 and 1,4,16,64). Reads NAME_* as make_data.py writes them. The
// first training at a list count keeps its centroids in NAME_L<lists>_centroids.f32 (read back by
// every later run and by the FAISS peer, so that every side probes the same lists); writes
// NAME_L<lists>_p<probes>_t<threads>_ids.i64 (the batch's result ids) and the JSON record.
// Progress goes to stderr; the library's notices to stdout. COLD_QUERY_BENCH_SINGLES=1 runs the
// cold single queries and their floors only (for a profile of them).
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/index/bench_common.h"
#include "bench/index/bench_data.h"
#include "bench/index/open_floor.h"
#include "bench/index/stage_times.h"
#include "core/aes_gcm.h"
#include "core/config.h"
#include "core/sha3.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "kernels/encoding.h"
#include "kernels/probe_selection.h"
#include "token_store/token_index.h"

namespace {

using dz_bench::Key;
using dz_bench::kTopK;
using dz_bench::Median;
using dz_bench::Num;
using dz_bench::Params;
using dz_bench::ParseList;
using dz_bench::Seconds;
using Clock = std::chrono::steady_clock;
using dz_bench::Dataset;
namespace backing_store = ostrik_encrypted_index::internal::backing_store;
namespace kernels = ostrik_encrypted_index::internal::kernels;
namespace token_store = ostrik_encrypted_index::internal::token_store;

constexpr uint64_t kSingleQueries = 201;
constexpr uint64_t kBatchQueries = 1000;
constexpr int kBatchCalls = 3;
constexpr uint64_t kTrainRounds = 25;
constexpr uint64_t kTrainBatch = 2048;

// {"median_ms", "min_ms", "mean_ms"} of a series of seconds.
std::string Times(const std::vector<double>& s) {
  double sum = 0;
  for (double v : s) sum += v;
  return "{\"median_ms\": " + Num(1e3 * Median(s)) + ", \"min_ms\": " + Num(1e3 * *std::min_element(s.begin(), s.end())) +
         ", \"mean_ms\": " + Num(1e3 * sum / static_cast<double>(s.size())) + ", \"calls\": " + Num(s.size()) + "}";
}

void Progress(const std::string& text) {
  std::cerr << "[cold_query_bench " << dz_bench::LoadAverage() << "] " << text << std::endl;
}

double Recall(const Dataset& ds, const ostrik::QueryResults& r, std::vector<int64_t>& ids) {
  ids.assign(r.n_queries * kTopK, -1);
  uint64_t hits = 0;
  for (uint64_t q = 0; q < r.n_queries; ++q) {
    const int32_t found = std::min<int32_t>(r.result_counts[q], static_cast<int32_t>(kTopK));
    const int32_t* truth = ds.gt.data() + q * ds.gt_k;
    for (int32_t j = 0; j < found; ++j) {
      const int64_t id = std::stoll(r.ids.data[q * r.ids.cols + j]);
      ids[q * kTopK + j] = id;
      hits += std::find(truth, truth + kTopK, id) != truth + kTopK;
    }
  }
  return static_cast<double>(hits) / static_cast<double>(r.n_queries * kTopK);
}

bool SinglesOnly() {
  const char* v = std::getenv("COLD_QUERY_BENCH_SINGLES");
  return v != nullptr && std::string(v) == "1";
}

std::string RunLists(const Dataset& ds, const std::string& dir, int threads, uint64_t lists,
                     std::vector<uint64_t> probes) {
  // The centroids: the first training's at this list count, pinned for every later one.
  const std::string centroids_path = dir + "/" + ds.name + "_L" + std::to_string(lists) + "_centroids.f32";
  std::vector<ostrik::QuantizerMatrix> pin;
  if (std::ifstream(centroids_path).good()) {
    pin.emplace_back(static_cast<int32_t>(lists), dz_bench::ReadFile<float>(centroids_path, lists * ds.dim), ds.dim);
  }
  const bool fresh = pin.empty();
  dz_bench::PinCentroids(&pin);

  Progress(ds.name + " L" + std::to_string(lists) + " t" + std::to_string(threads) + ": build and train");
  const ostrik::DBConfig memory("memory");
  ostrik::Client client(memory, memory, memory, threads);
  auto index = client.CreateIndex("cold-" + ds.name + "-" + std::to_string(lists), Key(),
                                  ostrik::IndexIVFFlat(ds.dim, lists, "euclidean"), 0, nullptr);
  index->Upsert(ds.base, ds.ids, {}, {});
  ostrik::TrainParams train;
  train.batch_size = kTrainBatch;
  train.max_iters = kTrainRounds;
  index->TrainIndex(train);
  dz_bench::PinCentroids(nullptr);
  if (fresh) dz_bench::WriteFile(centroids_path, pin.at(0).data);

  // Which list every item lives in (the upsert's own encoding), and its data-store key.
  token_store::TokenIndex& engine = ostrik::EncryptedIndexTestAccess::Engine(*index);
  const ostrik::CodeMatrix codes = kernels::EncodeVectors(ds.base, pin, ostrik::Euclidean);
  const std::vector<uint64_t> data_labels = ostrik::HashItemIds(ds.ids, engine.data_key_.data());
  std::vector<std::vector<uint64_t>> list_labels(lists);
  for (uint64_t i = 0; i < ds.n; ++i) list_labels.at(codes.codes[i]).push_back(data_labels[i]);

  std::vector<ostrik::FloatMatrix> singles;
  for (uint64_t q = 0; q < kSingleQueries; ++q) singles.push_back(dz_bench::Rows(ds.queries, q, 1));
  const ostrik::FloatMatrix batch = dz_bench::Rows(ds.queries, 0, kBatchQueries);
  dz_bench::OpenFloor floor(engine.data_key_.data(), threads);
  backing_store::ValueViews views;

  std::vector<std::string> rows;
  for (uint64_t p : probes) {
    Progress(ds.name + " L" + std::to_string(lists) + " t" + std::to_string(threads) + ": cold, n_probes " +
             std::to_string(p));
    const ostrik::QueryParams params = Params(p);
    std::vector<double> query_s, floor_s, ratios;
    uint64_t records = 0;
    for (const ostrik::FloatMatrix& q : singles) {
      query_s.push_back(Seconds([&] { index->Query(q, params); }));
      std::vector<uint64_t> keys;
      for (uint32_t list : kernels::SelectProbes(q, pin, p, ostrik::Euclidean, 0.0f).probed_ids) {
        keys.insert(keys.end(), list_labels[list].begin(), list_labels[list].end());
      }
      records += keys.size();
      engine.data_store_->BatchGetViews(keys, views);
      floor_s.push_back(keys.empty() ? 0.0 : floor.Open(views));
      if (floor_s.back() > 0) ratios.push_back(query_s.back() / floor_s.back());
    }
    if (SinglesOnly()) {
      rows.push_back("{\"n_probes\": " + Num(p) + ", \"single_cold\": " + Times(query_s) + ", \"floor\": " +
                     Times(floor_s) + ", \"ratio_median\": " + Num(ratios.empty() ? 0 : Median(ratios)) + "}");
      continue;
    }
    std::vector<double> batch_s;
    ostrik::QueryResults answer;
    for (int c = 0; c < kBatchCalls; ++c) batch_s.push_back(Seconds([&] { answer = index->Query(batch, params); }));
    std::vector<int64_t> ids;
    const double recall = Recall(ds, answer, ids);
    dz_bench::WriteFile(dir + "/" + ds.name + "_L" + std::to_string(lists) + "_p" + std::to_string(p) + "_t" +
                            std::to_string(threads) + "_ids.i64",
                        ids);
    rows.push_back("{\"n_probes\": " + Num(p) + ", \"records_per_query\": " +
                   Num(static_cast<double>(records) / kSingleQueries) + ", \"single_cold\": " + Times(query_s) +
                   ", \"floor\": " + Times(floor_s) + ", \"ratio_median\": " + Num(ratios.empty() ? 0 : Median(ratios)) +
                   ", \"batch_cold\": " + Times(batch_s) + ", \"recall_at_10\": " + Num(recall));
  }

  // Warm: the same index with a cache of every list.
  if (SinglesOnly()) probes.clear();
  engine.token_cache_ = token_store::TokenCache(lists);
  for (size_t i = 0; i < probes.size(); ++i) {
    const uint64_t p = probes[i];
    Progress(ds.name + " L" + std::to_string(lists) + " t" + std::to_string(threads) + ": warm, n_probes " +
             std::to_string(p));
    const ostrik::QueryParams params = Params(p);
    index->Query(ds.queries, Params(lists));  // every list into the cache
    std::vector<double> single_s, batch_s;
    for (const ostrik::FloatMatrix& q : singles) single_s.push_back(Seconds([&] { index->Query(q, params); }));
    for (int c = 0; c < kBatchCalls; ++c) batch_s.push_back(Seconds([&] { index->Query(batch, params); }));
    rows[i] += ", \"single_warm\": " + Times(single_s) + ", \"batch_warm\": " + Times(batch_s) + "}";
  }
  std::string out = "{\"n_lists\": " + Num(lists) + ", \"rows\": [";
  for (size_t i = 0; i < rows.size(); ++i) out += (i ? ",\n  " : "\n  ") + rows[i];
  return out + "]}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 || std::atoi(argv[3]) < 1) {
    std::cerr << "usage: cold_query_bench DATA_DIR NAME THREADS LISTS PROBES OUT_JSON" << std::endl;
    return 2;
  }
  try {
    const std::string dir = argv[1];
    const Dataset ds = dz_bench::LoadDataset(dir, argv[2], kBatchQueries, kTopK);
    const int threads = std::atoi(argv[3]);
    const std::vector<uint64_t> lists = ParseList(argv[4]);
    const std::vector<uint64_t> probes = ParseList(argv[5]);
    std::string out = "{\"dataset\": \"" + ds.name + "\", \"n\": " + Num(ds.n) + ", \"dim\": " + Num(ds.dim) +
                      ", \"threads\": " + Num(threads) + ", \"top_k\": " + Num(kTopK) +
                      ", \"single_queries\": " + Num(kSingleQueries) + ", \"batch_queries\": " + Num(kBatchQueries) +
                      ", \"load_start\": \"" + dz_bench::LoadAverage() + "\", \"region_us_start\": " +
                      Num(dz_bench::RegionMicros(threads)) + ", \"lists\": [";
    for (size_t i = 0; i < lists.size(); ++i) out += (i ? ",\n" : "\n") + RunLists(ds, dir, threads, lists[i], probes);
    out += "], \"load_end\": \"" + dz_bench::LoadAverage() + "\", \"region_us_end\": " +
           Num(dz_bench::RegionMicros(threads)) + "}\n";
    std::ofstream file(argv[6]);
    file << out;
    if (!file) throw std::runtime_error(std::string("cannot write ") + argv[6]);
  } catch (const std::exception& e) {
    std::cerr << "cold_query_bench: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
