// Speed of the engine on the memory store: AddItems and GetTokenItems of 100,000 items of
// dimension 128, the shares of labels, ciphers and store in each, label derivation alone, and the
// fetch cold and warm next to a bare DecryptItems of the same records (BM_FetchVsDecrypt).
// Run: build/bench/token_store/token_store_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "core/thread_scope.h"
#include "stores/keystore_factory.h"
#include "token_store/encoded_item_record.h"
#include "token_store/item_labels.h"
#include "token_store/token_index.h"

namespace ts = ostrik_encrypted_index::internal::token_store;

namespace {

constexpr uint64_t kItems = 100000;
constexpr uint64_t kDim = 128;

ostrik::IndexSetup MemorySetup() {
  ostrik::IndexSetup s;
  s.index_name = "bench";
  for (int i = 0; i < 32; ++i) s.index_key[i] = static_cast<uint8_t>(i * 7 + 1);
  s.index_location = s.config_location = s.items_location = s.data_location = ostrik::DBConfig("memory");
  s.cpu_threads = 0;
  s.vocab_size = 1;
  s.payload_size = kDim * 4;
  return s;
}

const ts::TokenItemBatch& Items() {
  static const ts::TokenItemBatch batch = [] {
    ts::TokenItemBatch b;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> v(kItems * kDim);
    for (float& x : v) x = u(rng);
    ostrik::Bytes bytes(reinterpret_cast<const uint8_t*>(v.data()), reinterpret_cast<const uint8_t*>(v.data() + v.size()));
    b.payloads = ostrik::ByteMatrix(std::move(bytes), kDim * 4);
    for (uint64_t i = 0; i < kItems; ++i) {
      b.input_tokens.push_back(0);
      b.item_ids.push_back("item-" + std::to_string(i));
      b.metadata.push_back("{\"category\":\"c" + std::to_string(i % 17) + "\",\"n\":" + std::to_string(i) + "}");
    }
    return b;
  }();
  return batch;
}

// One engine holding the 100,000 items, shared by the fetch benchmarks.
ts::TokenIndex& Filled() {
  static ts::TokenIndex* engine = [] {
    auto* e = new ts::TokenIndex(MemorySetup(), nullptr);
    e->AddItems(Items());
    return e;
  }();
  return *engine;
}

void ItemsPerSecond(benchmark::State& state, uint64_t n) {
  state.counters["items/s"] = benchmark::Counter(static_cast<double>(n) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_AddItems(benchmark::State& state) {
  const auto& batch = Items();
  for (auto _ : state) {
    state.PauseTiming();
    auto e = std::make_unique<ts::TokenIndex>(MemorySetup(), nullptr);
    state.ResumeTiming();
    e->AddItems(batch);
    state.PauseTiming();
    e.reset();
    state.ResumeTiming();
  }
  ItemsPerSecond(state, kItems);
}

// The parts of an add: labels, record encoding and encryption, store writes.
void BM_AddPart_Labels(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  const auto& batch = Items();
  const auto data_labels = ostrik::HashItemIds(batch.item_ids, e.data_key_.data());
  std::vector<uint32_t> positions(kItems);
  for (uint64_t i = 0; i < kItems; ++i) positions[i] = static_cast<uint32_t>(i);
  ts::TokenLabels labels;
  labels.labels.resize(kItems);
  labels.masks.resize(kItems);
  for (auto _ : state) {
    ts::DeriveItemLabelsBody(batch.input_tokens, data_labels, e.token_seeds_, positions, labels, 32);
    benchmark::DoNotOptimize(labels.labels.data());
  }
  ItemsPerSecond(state, kItems);
}

// Encoding and encryption as the engine runs them: chunks of 10,000 records.
void EncodeChunks(benchmark::State& state, bool encrypt) {
  ts::TokenIndex& e = Filled();
  const auto& batch = Items();
  for (auto _ : state) {
    for (uint64_t s = 0; s < kItems; s += 10000) {
      std::vector<ostrik::Bytes> records(10000);
      for (uint64_t i = s; i < s + 10000; ++i) {
        records[i - s] = ts::EncodeItemRecord(batch.item_ids[i], 0, batch.payloads.row(i), kDim * 4, batch.metadata[i]);
      }
      if (encrypt) {
        auto env = ostrik::EncryptItems(records, e.data_key_.data());
        benchmark::DoNotOptimize(env.data());
      }
      benchmark::DoNotOptimize(records.data());
    }
  }
  ItemsPerSecond(state, kItems);
}
void BM_AddPart_Encode(benchmark::State& state) { EncodeChunks(state, false); }
void BM_AddPart_EncodeEncrypt(benchmark::State& state) { EncodeChunks(state, true); }

void BM_AddPart_IdHashes(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  const auto& batch = Items();
  for (auto _ : state) {
    auto a = ts::ItemLabels(batch.item_ids, e.data_key_.data());
    auto b = ts::ItemLabels(batch.item_ids, e.content_key_.data());
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
  }
  ItemsPerSecond(state, kItems);
}

// The index entries and records of 100,000 items, pushed in chunks of 10,000 into a new store.
void BM_AddPart_StoreWrites(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  const auto data_labels = ostrik::HashItemIds(Items().item_ids, e.data_key_.data());
  std::vector<std::vector<uint64_t>> entry_keys, record_keys;
  const std::vector<ostrik::Bytes> entries(10000, ostrik::Bytes(8, 2));
  const std::vector<ostrik::Bytes> envelopes(10000, ostrik::Bytes(28 + 12 + 11 + kDim * 4 + 30, 1));
  for (uint64_t s = 0; s < kItems; s += 10000) {
    record_keys.emplace_back(data_labels.begin() + s, data_labels.begin() + s + 10000);
    entry_keys.push_back(record_keys.back());
    for (auto& k : entry_keys.back()) k ^= 0x5555;
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto store = ostrik_encrypted_index::internal::backing_store::CreateKeystore(ostrik::DBConfig("memory"), "w", 9, 0);
    state.ResumeTiming();
    for (size_t c = 0; c < entry_keys.size(); ++c) {
      store->BatchPushVariable(entry_keys[c], entries);
      store->BatchPushVariable(record_keys[c], envelopes);
    }
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
  ItemsPerSecond(state, kItems);
}

void BM_GetTokenItems(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  for (auto _ : state) {
    auto r = e.GetTokenItems({0});
    if (r.item_ids.size() != kItems) state.SkipWithError("wrong item count");
    benchmark::DoNotOptimize(r.item_ids.data());
  }
  ItemsPerSecond(state, kItems);
}

// The parts of a fetch: labels, the two store reads, decryption alone on the same records.
void BM_FetchPart_Labels(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  ts::TokenLabels labels;
  labels.offsets = {0, kItems};
  labels.labels.resize(kItems);
  labels.masks.resize(kItems);
  for (auto _ : state) {
    ts::DeriveTokenLabelsBody({0}, e.token_seeds_, labels, 32);
    benchmark::DoNotOptimize(labels.labels.data());
  }
  ItemsPerSecond(state, kItems);
}

void BM_FetchPart_StoreReads(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  ts::TokenLabels labels;
  labels.offsets = {0, kItems};
  labels.labels.resize(kItems);
  labels.masks.resize(kItems);
  ts::DeriveTokenLabelsBody({0}, e.token_seeds_, labels, 32);
  const auto data_labels = ostrik::HashItemIds(Items().item_ids, e.data_key_.data());
  for (auto _ : state) {
    auto rows = e.index_store_->BatchGetItems(labels.labels);
    auto values = e.data_store_->BatchGetVariable(data_labels);
    benchmark::DoNotOptimize(rows.data.data());
    benchmark::DoNotOptimize(values.data());
  }
  ItemsPerSecond(state, kItems);
}

void BM_FetchPart_DecryptItems(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  const auto values = e.data_store_->BatchGetVariable(ostrik::HashItemIds(Items().item_ids, e.data_key_.data()));
  for (auto _ : state) {
    auto plain = ostrik::DecryptItems(values, e.data_key_.data());
    benchmark::DoNotOptimize(plain.data());
  }
  ItemsPerSecond(state, kItems);
}

// GetTokenItems against DecryptItems alone on the same records, alternated in one loop so that
// both see the same machine load; the best time of each is kept.
void BM_FetchToDecryptRatio(benchmark::State& state) {
  ts::TokenIndex& e = Filled();
  const auto values = e.data_store_->BatchGetVariable(ostrik::HashItemIds(Items().item_ids, e.data_key_.data()));
  double best_fetch = 1e30, best_decrypt = 1e30;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    auto r = e.GetTokenItems({0});
    auto t1 = std::chrono::steady_clock::now();
    auto plain = ostrik::DecryptItems(values, e.data_key_.data());
    auto t2 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(r.item_ids.data());
    benchmark::DoNotOptimize(plain.data());
    best_fetch = std::min(best_fetch, std::chrono::duration<double, std::milli>(t1 - t0).count());
    best_decrypt = std::min(best_decrypt, std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  state.counters["fetch_ms"] = best_fetch;
  state.counters["decrypt_ms"] = best_decrypt;
  state.counters["ratio"] = best_fetch / best_decrypt;
  // Figures on a shared machine depend on its load: kept next to them.
  double load[1] = {0};
  if (getloadavg(load, 1) == 1) state.counters["load"] = load[0];
}

// The fetch as a query makes it, cold (cache off) and warm (cache on, every list cached), against
// DecryptItems alone on the same 100,000 records, at a given engine thread count. Layout 0: all
// items in one list, fetched at once; layout 1: 1,024 lists of about 100 items, fetched 16 lists a
// call (64 calls a pass). Api 0: GetTokenItems by value; 1: into one reused ItemRecords; 2:
// GetTokenLists into one reused answer. Fetch, DecryptItems and the floor (opening every envelope
// into one reused buffer, nothing else) alternate in one loop so that all see the same load; each
// keeps its best pass, and the results of a pass are released outside the timed spans.
constexpr uint32_t kLists = 1024;
constexpr uint32_t kListsPerCall = 16;

ts::TokenIndex& LayoutEngine(int layout) {
  static std::array<ts::TokenIndex*, 2> engines{};
  if (engines[layout] == nullptr) {
    ostrik::IndexSetup setup = MemorySetup();
    setup.index_name = layout == 0 ? "bench_one" : "bench_lists";
    setup.vocab_size = layout == 0 ? 1 : kLists;
    ts::TokenItemBatch batch = Items();
    for (uint64_t i = 0; i < kItems; ++i) batch.input_tokens[i] = layout == 0 ? 0 : static_cast<uint32_t>(i % kLists);
    engines[layout] = new ts::TokenIndex(setup, nullptr);
    engines[layout]->AddItems(batch);
  }
  return *engines[layout];
}

std::vector<std::vector<uint32_t>> Requests(int layout) {
  if (layout == 0) return {{0}};
  std::vector<std::vector<uint32_t>> requests;
  for (uint32_t first = 0; first < kLists; first += kListsPerCall) {
    requests.emplace_back();
    for (uint32_t t = first; t < first + kListsPerCall; ++t) requests.back().push_back(t);
  }
  return requests;
}

struct FetchPass {
  std::vector<ostrik::ItemRecords> by_value;
  ostrik::ItemRecords reused;
  std::vector<ts::SharedTokenList> lists;
};

// One pass over the requests; returns the number of items fetched.
uint64_t RunPass(ts::TokenIndex& e, const std::vector<std::vector<uint32_t>>& requests, int api, FetchPass& pass) {
  uint64_t items = 0;
  for (const auto& request : requests) {
    if (api == 0) {
      pass.by_value.push_back(e.GetTokenItems(request));
      items += pass.by_value.back().item_ids.size();
    } else if (api == 1) {
      e.GetTokenItems(request, pass.reused);
      items += pass.reused.item_ids.size();
    } else {
      e.GetTokenLists(request, pass.lists);
      for (const auto& list : pass.lists) items += list->size();
    }
  }
  return items;
}

void BM_FetchVsDecrypt(benchmark::State& state) {
  const int layout = static_cast<int>(state.range(0));
  const int api = static_cast<int>(state.range(1));
  const bool warm = state.range(2) != 0;
  const int threads = static_cast<int>(state.range(3));
  ts::TokenIndex& e = LayoutEngine(layout);
  const auto requests = Requests(layout);
  const auto envelopes = e.data_store_->BatchGetVariable(ostrik::HashItemIds(Items().item_ids, e.data_key_.data()));
  std::vector<uint64_t> offsets(envelopes.size() + 1, 0);
  for (size_t i = 0; i < envelopes.size(); ++i) offsets[i + 1] = offsets[i] + envelopes[i].size() - 28;
  ostrik::Bytes floor_buffer(offsets.back(), 0);

  e.cpu_threads_ = threads;
  e.token_cache_ = ts::TokenCache(warm ? kLists : 0);
  FetchPass pass;
  {
    // Warms the cache, the engine's buffers and the answer's. Filling the cache reports every
    // missing list on stdout: not in the benchmark's table.
    std::streambuf* const saved = std::cout.rdbuf(nullptr);
    RunPass(e, requests, api, pass);
    std::cout.rdbuf(saved);
    std::cout.clear();
  }
  pass.by_value.clear();

  double best_fetch = 1e30, best_decrypt = 1e30, best_floor = 1e30;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t n = RunPass(e, requests, api, pass);
    const auto t1 = std::chrono::steady_clock::now();
    std::vector<ostrik::Bytes> plain;
    {
      const ostrik::ThreadCountScope team(threads);
      plain = ostrik::DecryptItems(envelopes, e.data_key_.data());
    }
    const auto t2 = std::chrono::steady_clock::now();
    {
      const ostrik::ThreadCountScope team(threads);
      const int64_t count = static_cast<int64_t>(envelopes.size());
      const ostrik::GcmItemOpener::Algorithm algorithm;
#pragma omp parallel
      {
        ostrik::GcmItemOpener opener(algorithm, e.data_key_.data());
#pragma omp for schedule(static)
        for (int64_t i = 0; i < count; ++i) {
          opener.Open(envelopes[i].data(), envelopes[i].size(), floor_buffer.data() + offsets[i]);
        }
      }
    }
    const auto t3 = std::chrono::steady_clock::now();
    if (n != kItems) state.SkipWithError("wrong item count");
    benchmark::DoNotOptimize(plain.data());
    benchmark::DoNotOptimize(floor_buffer.data());
    pass.by_value.clear();
    best_fetch = std::min(best_fetch, std::chrono::duration<double, std::milli>(t1 - t0).count());
    best_decrypt = std::min(best_decrypt, std::chrono::duration<double, std::milli>(t2 - t1).count());
    best_floor = std::min(best_floor, std::chrono::duration<double, std::milli>(t3 - t2).count());
  }
  e.cpu_threads_ = 0;
  e.token_cache_ = ts::TokenCache(0);
  state.counters["fetch_ms"] = best_fetch;
  state.counters["decrypt_ms"] = best_decrypt;
  state.counters["floor_ms"] = best_floor;
  state.counters["ratio"] = best_fetch / best_decrypt;
  // Figures on a shared machine depend on its load: kept next to them.
  double load[1] = {0};
  if (getloadavg(load, 1) == 1) state.counters["load"] = load[0];
}

// Label derivation alone over one token of 1,000,000 positions, with the shared-prefix walk and
// with the plain walk (depth + 2 hashes per position), at 1 and at all threads.
void BM_LabelDerivation(benchmark::State& state) {
  const uint64_t n = 1000000;
  const bool shared = state.range(0) != 0;
  const int threads = static_cast<int>(state.range(1));
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threads);
  const auto seeds = ts::DeriveTokenSeeds(1, MemorySetup().index_key.data(), MemorySetup().index_key.data());
  ts::TokenLabels labels;
  labels.offsets = {0, n};
  labels.labels.resize(n);
  labels.masks.resize(n);
  for (auto _ : state) {
    if (shared) {
      ts::DeriveTokenLabelsBody({0}, seeds, labels, 32);
    } else {
#pragma omp parallel for schedule(static)
      for (int64_t j = 0; j < static_cast<int64_t>(n); ++j) {
        ts::DeriveLabelAndPad(seeds[0], static_cast<uint32_t>(j), 32, labels.labels[j], labels.masks[j]);
      }
    }
    benchmark::DoNotOptimize(labels.labels.data());
  }
  omp_set_num_threads(saved);
  state.counters["positions/s"] = benchmark::Counter(static_cast<double>(n) * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_AddItems)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_AddPart_Labels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddPart_Encode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddPart_EncodeEncrypt)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddPart_IdHashes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddPart_StoreWrites)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_GetTokenItems)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchPart_Labels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchPart_StoreReads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchPart_DecryptItems)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchToDecryptRatio)->Iterations(15)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchVsDecrypt)
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {0, 1}, {1, 8}})
    ->ArgNames({"layout", "api", "warm", "threads"})
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LabelDerivation)
    ->ArgsProduct({{1, 0}, {1, 8}})
    ->ArgNames({"shared", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
