// Throughput of the batch ciphers and of the label hash, on one thread and on every core, with
// the library's own SHA3-256 digest on the same inputs as the peer. Run through
// run_core_bench.sh to compare the ciphers with `openssl speed` in the same session.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <openssl/evp.h>

#include <map>
#include <random>
#include <vector>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "core/thread_scope.h"

namespace {

using ostrik::ByteMatrix;
using ostrik::Bytes;

constexpr int64_t kItems = 100000;
constexpr int64_t kLabels = 1000000;
const Bytes kKey(32, 0x5a);

int AllCores() { return omp_get_num_procs(); }

Bytes RandomBytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Inputs are built once per size and shared by the benchmarks that need them.
const std::vector<Bytes>& Plaintexts(int64_t size) {
  static std::map<int64_t, std::vector<Bytes>> cache;
  auto& items = cache[size];
  if (items.empty()) {
    std::mt19937_64 rng(size);
    items.reserve(kItems);
    for (int64_t i = 0; i < kItems; ++i) items.push_back(RandomBytes(rng, size));
  }
  return items;
}

const std::vector<Bytes>& Envelopes(int64_t size) {
  static std::map<int64_t, std::vector<Bytes>> cache;
  auto& items = cache[size];
  if (items.empty()) items = ostrik::EncryptItems(Plaintexts(size), kKey.data());
  return items;
}

const ByteMatrix& PlainMatrix(int64_t width) {
  static std::map<int64_t, ByteMatrix> cache;
  auto it = cache.find(width);
  if (it == cache.end()) {
    std::mt19937_64 rng(width + 1);
    it = cache.emplace(width, ByteMatrix(RandomBytes(rng, kItems * width), width)).first;
  }
  return it->second;
}

const ByteMatrix& SealedMatrix(int64_t width) {
  static std::map<int64_t, ByteMatrix> cache;
  auto it = cache.find(width);
  if (it == cache.end()) it = cache.emplace(width, ostrik::EncryptMatrix(PlainMatrix(width), kKey.data())).first;
  return it->second;
}

const Bytes& LabelInputs() {
  static const Bytes inputs = [] {
    std::mt19937_64 rng(99);
    return RandomBytes(rng, kLabels * 32);
  }();
  return inputs;
}

// Frees a result outside the timed section: releasing results is the caller's cost.
template <typename T>
void Release(benchmark::State& state, T& result) {
  state.PauseTiming();
  { T discard = std::move(result); }
  state.ResumeTiming();
}

void Finish(benchmark::State& state, int64_t items, int64_t bytes_per_item) {
  state.SetItemsProcessed(state.iterations() * items);
  state.SetBytesProcessed(state.iterations() * items * bytes_per_item);
  state.counters["threads"] = static_cast<double>(state.range(1));
}

void BM_EncryptItems(benchmark::State& state) {
  const auto& in = Plaintexts(state.range(0));
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  ostrik::EncryptItems(in, kKey.data());  // warm-up: the team starts and the allocator holds memory
  for (auto _ : state) {
    auto out = ostrik::EncryptItems(in, kKey.data());
    benchmark::DoNotOptimize(out.data());
    Release(state, out);
  }
  Finish(state, kItems, state.range(0));
}

void BM_DecryptItems(benchmark::State& state) {
  const auto& in = Envelopes(state.range(0));
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  ostrik::DecryptItems(in, kKey.data());  // warm-up: the team starts and the allocator holds memory
  for (auto _ : state) {
    auto out = ostrik::DecryptItems(in, kKey.data());
    benchmark::DoNotOptimize(out.data());
    Release(state, out);
  }
  Finish(state, kItems, state.range(0));
}

void BM_EncryptMatrix(benchmark::State& state) {
  const auto& in = PlainMatrix(state.range(0));
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  ostrik::EncryptMatrix(in, kKey.data());  // warm-up: the team starts and the allocator holds memory
  for (auto _ : state) {
    auto out = ostrik::EncryptMatrix(in, kKey.data());
    benchmark::DoNotOptimize(out.data.data());
    Release(state, out);
  }
  Finish(state, kItems, state.range(0));
}

void BM_DecryptMatrix(benchmark::State& state) {
  const auto& in = SealedMatrix(state.range(0));
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  ostrik::DecryptMatrix(in, kKey.data());  // warm-up: the team starts and the allocator holds memory
  for (auto _ : state) {
    auto out = ostrik::DecryptMatrix(in, kKey.data());
    benchmark::DoNotOptimize(out.data.data());
    Release(state, out);
  }
  Finish(state, kItems, state.range(0));
}

// Label-style hashing: one 64-bit value per 32-byte input, parallel over disjoint inputs.
void BM_Sha3HashToU64(benchmark::State& state) {
  const Bytes& in = LabelInputs();
  std::vector<uint64_t> out(kLabels);
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  for (auto _ : state) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < kLabels; ++i) out[i] = ostrik::Sha3HashToU64(in.data() + 32 * i);
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kLabels, 32);
}

// The peer: the library's SHA3-256 through EVP_Digest on the same inputs, cut to 64 bits alike.
void BM_EvpDigestSha3(benchmark::State& state) {
  const Bytes& in = LabelInputs();
  std::vector<uint64_t> out(kLabels);
  const EVP_MD* md = EVP_sha3_256();
  const ostrik::ThreadCountScope team(static_cast<int>(state.range(1)));
  for (auto _ : state) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < kLabels; ++i) {
      uint8_t digest[32];
      unsigned int len = 0;
      EVP_Digest(in.data() + 32 * i, 32, digest, &len, md, nullptr);
      uint64_t v = 0;
      for (int b = 0; b < 8; ++b) v = (v << 8) | digest[b];
      out[i] = v;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kLabels, 32);
}

void CipherArgs(benchmark::internal::Benchmark* b) {
  for (int64_t size : {64, 512, 3136}) {
    for (int64_t threads : {1, AllCores()}) b->Args({size, threads});
  }
  b->ArgNames({"bytes", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
  b->Repetitions(3)->ReportAggregatesOnly(true);
}

void HashArgs(benchmark::internal::Benchmark* b) {
  b->Args({32, 1})->Args({32, AllCores()});
  b->ArgNames({"bytes", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
  b->Repetitions(3)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_EncryptItems)->Apply(CipherArgs);
BENCHMARK(BM_DecryptItems)->Apply(CipherArgs);
BENCHMARK(BM_EncryptMatrix)->Apply(CipherArgs);
BENCHMARK(BM_DecryptMatrix)->Apply(CipherArgs);
BENCHMARK(BM_Sha3HashToU64)->Apply(HashArgs);
BENCHMARK(BM_EvpDigestSha3)->Apply(HashArgs);

}  // namespace

BENCHMARK_MAIN();
