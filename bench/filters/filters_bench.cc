// Post-filtering of 100,000 candidates under a 3-condition filter (by thread count), and
// pre-filtering against the summaries of 1,024 lists on a memory-store engine.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/post_filtering.h"
#include "filters/pre_filtering.h"
#include "filters/update_metadata.h"
#include "token_store/token_index.h"

namespace {

namespace fl = ostrik_encrypted_index::internal::filters;
namespace ts = ostrik_encrypted_index::internal::token_store;
using nlohmann::json;

constexpr char kFilter[] =
    R"({"$and": [{"category": {"$in": ["c1", "c3", "c5", "c7"]}}, {"price": {"$lt": 50}},)"
    R"( {"name": {"$regex": "item [0-9]*7$"}}]})";

// A prefix and a number (operator+ on a literal trips a false -Wrestrict in g++ 12).
std::string Label(const char* prefix, uint64_t n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

json ItemMetadata(std::mt19937& rng, int i) {
  return {{"category", Label("c", rng() % 10)},
          {"price", static_cast<double>(rng() % 10000) / 100.0},
          {"name", Label("item ", i)},
          {"tags", {Label("t", rng() % 5), Label("t", rng() % 5)}},
          {"stock", {{"count", static_cast<int>(rng() % 100)}, {"warehouse", Label("w", rng() % 3)}}}};
}

const ostrik::ItemRecords& Candidates() {
  static const ostrik::ItemRecords records = [] {
    constexpr int kN = 100000;
    constexpr int kGroups = 32;
    std::mt19937 rng(1);
    ostrik::ItemRecords r;
    for (int i = 0; i < kN; ++i) {
      r.item_ids.push_back(Label("id", i));
      r.metadata.push_back(ItemMetadata(rng, i).dump());
    }
    for (int g = 0; g <= kGroups; ++g) r.token_indices.push_back(static_cast<uint64_t>(kN) * g / kGroups);
    r.payloads = ostrik::ByteMatrix(ostrik::Bytes(static_cast<size_t>(kN) * 512, 1), 512);  // 128 floats
    return r;
  }();
  return records;
}

void BM_PostFiltering(benchmark::State& state) {
  const auto& candidates = Candidates();
  const int saved = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  size_t kept = 0;
  for (auto _ : state) {
    const auto out = fl::PostFiltering(candidates, kFilter, ostrik::Logger::instance());
    kept = out.item_ids.size();
    benchmark::DoNotOptimize(out);
  }
  omp_set_num_threads(saved);
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(candidates.item_ids.size()));
}
BENCHMARK(BM_PostFiltering)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

struct PreFilterFixture {
  std::unique_ptr<ts::TokenIndex> engine;
  std::vector<ostrik::QuantizerMatrix> coarse;
};

PreFilterFixture& Engine() {
  static PreFilterFixture fixture = [] {
    constexpr int32_t kLists = 1024;
    constexpr uint64_t kDim = 128;
    ostrik::IndexSetup setup;
    setup.index_name = "bench";
    setup.index_key.fill(7);
    setup.index_location = setup.config_location = setup.items_location = setup.data_location =
        ostrik::DBConfig("memory");
    setup.vocab_size = kLists;
    setup.payload_size = kDim * 4;
    PreFilterFixture f;
    f.engine = std::make_unique<ts::TokenIndex>(setup, nullptr);
    std::mt19937 rng(2);
    // 100 items per list, in batches the way trained ingestion writes them.
    for (int batch = 0; batch < 10; ++batch) {
      std::vector<std::string> texts;
      std::vector<uint32_t> tokens;
      for (int i = 0; i < 10240; ++i) {
        const uint32_t list = static_cast<uint32_t>(rng() % kLists);
        json m = ItemMetadata(rng, batch * 10240 + i);
        // Lists differ: each list favours a few categories and a price band.
        m["category"] = Label("c", (list + rng() % 3) % 10);
        m["price"] = static_cast<double>((list % 100) + rng() % 20);
        texts.push_back(m.dump());
        tokens.push_back(list);
      }
      fl::UpdateMetadata(*f.engine, texts, tokens, ostrik::Logger::instance());
    }
    f.coarse.push_back(ostrik::QuantizerMatrix(kLists, std::vector<float>(kLists * kDim, 0.5f), kDim));
    return f;
  }();
  return fixture;
}

void BM_PreFiltering(benchmark::State& state) {
  auto& f = Engine();
  size_t kept = 0;
  for (auto _ : state) {
    const auto r = fl::PreFiltering(*f.engine, f.coarse, {}, kFilter, ostrik::Logger::instance());
    kept = r.centroid_ids.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["kept_lists"] = static_cast<double>(kept);
}
BENCHMARK(BM_PreFiltering)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UpdateMetadata10k(benchmark::State& state) {
  auto& f = Engine();
  std::mt19937 rng(3);
  std::vector<std::string> texts;
  std::vector<uint32_t> tokens;
  for (int i = 0; i < 10240; ++i) {
    texts.push_back(ItemMetadata(rng, i).dump());
    tokens.push_back(static_cast<uint32_t>(rng() % 1024));
  }
  for (auto _ : state) fl::UpdateMetadata(*f.engine, texts, tokens, ostrik::Logger::instance());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 10240);
}
BENCHMARK(BM_UpdateMetadata10k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
