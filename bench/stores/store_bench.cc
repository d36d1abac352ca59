// Batch push and batch get of 100,000 values on each store, with the peers measured in the same
// run: a binary COPY of the same rows into the same PostgreSQL server, and redis-benchmark's
// pipelined HSET of the same value size. Servers come from the test-server variables.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "stores/keystore_factory.h"
#include "stores/pg_result.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
constexpr size_t kValues = 100000;

const char* Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

uint64_t FreshHash() {
  static std::mt19937_64 rng{std::random_device{}()};
  return (rng() >> 2) & ~uint64_t{0xff};
}

struct Batch {
  std::vector<uint64_t> keys;
  std::vector<std::vector<uint8_t>> values;
};

Batch MakeBatch(size_t width) {
  Batch b;
  std::mt19937_64 rng(width);
  b.keys.resize(kValues);
  b.values.assign(kValues, std::vector<uint8_t>(width));
  for (size_t i = 0; i < kValues; ++i) {
    b.keys[i] = rng();
    for (auto& byte : b.values[i]) byte = static_cast<uint8_t>(rng());
  }
  return b;
}

std::optional<ostrik::DBConfig> Location(const std::string& store) {
  static const std::string table = "bench_items_" + std::to_string(FreshHash() % 1000000);
  if (store == "memory") return ostrik::DBConfig("memory");
  if (store == "postgres") {
    if (!Env("DZ_PG_CONNSTR")) return std::nullopt;
    return ostrik::DBConfig("postgres", table, Env("DZ_PG_CONNSTR"));
  }
  if (!Env("DZ_REDIS_CONNSTR")) return std::nullopt;
  return ostrik::DBConfig("redis", table, Env("DZ_REDIS_CONNSTR"));
}

const char* kStores[] = {"memory", "postgres", "redis"};

void BM_BatchPush(benchmark::State& state) {
  const std::string store_name = kStores[state.range(0)];
  const size_t width = static_cast<size_t>(state.range(1));
  state.SetLabel(store_name);
  auto location = Location(store_name);
  if (!location) return state.SkipWithError("server variable not set");
  const Batch batch = MakeBatch(width);
  for (auto _ : state) {
    state.PauseTiming();
    auto store = bs::CreateKeystore(*location, "bench", FreshHash(), bs::DATA);  // fresh rows each time
    state.ResumeTiming();
    store->BatchPushVariable(batch.keys, batch.values);
    state.PauseTiming();
    store->DeleteIndex();
    store.reset();
    state.ResumeTiming();
  }
  state.counters["values_per_s"] = benchmark::Counter(static_cast<double>(kValues * state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

void BM_BatchGet(benchmark::State& state) {
  const std::string store_name = kStores[state.range(0)];
  const size_t width = static_cast<size_t>(state.range(1));
  state.SetLabel(store_name);
  auto location = Location(store_name);
  if (!location) return state.SkipWithError("server variable not set");
  const Batch batch = MakeBatch(width);
  auto store = bs::CreateKeystore(*location, "bench", FreshHash(), bs::DATA);
  store->BatchPushVariable(batch.keys, batch.values);
  for (auto _ : state) {
    auto values = store->BatchGetVariable(batch.keys);
    benchmark::DoNotOptimize(values.data());
  }
  store->DeleteIndex();
  state.counters["values_per_s"] = benchmark::Counter(static_cast<double>(kValues * state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

void AppendBe(std::string& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// The same rows as BM_BatchPush/postgres, written with a binary COPY into the same table.
void BM_PostgresBinaryCopy(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  auto location = Location("postgres");
  if (!location) return state.SkipWithError("DZ_PG_CONNSTR not set");
  // Builds the table as the store would.
  bs::CreateKeystore(*location, "bench", 1, bs::DATA);
  bs::PgConnection conn(PQconnectdb(location->connection_string->c_str()));
  const Batch batch = MakeBatch(width);
  for (auto _ : state) {
    state.PauseTiming();
    const int64_t tag = static_cast<int64_t>(FreshHash());
    state.ResumeTiming();
    std::string data("PGCOPY\n\377\r\n\0", 11);
    AppendBe(data, 0, 4);
    AppendBe(data, 0, 4);
    for (size_t i = 0; i < kValues; ++i) {
      const std::string key = std::to_string(batch.keys[i]);
      AppendBe(data, 3, 2);
      AppendBe(data, key.size(), 4);
      data += key;
      AppendBe(data, width, 4);
      data.append(reinterpret_cast<const char*>(batch.values[i].data()), width);
      AppendBe(data, 8, 4);
      AppendBe(data, static_cast<uint64_t>(tag), 8);
    }
    AppendBe(data, 0xffff, 2);
    const std::string copy = "COPY " + *location->table_name + " (key, value, index_name) FROM STDIN BINARY";
    bs::PgResult start(PQexec(conn.get(), copy.c_str()));
    if (bs::PgStatus(start) != PGRES_COPY_IN) return state.SkipWithError(PQerrorMessage(conn.get()));
    PQputCopyData(conn.get(), data.data(), static_cast<int>(data.size()));
    PQputCopyEnd(conn.get(), nullptr);
    bs::PgResult done(PQgetResult(conn.get()));
    if (bs::PgStatus(done) != PGRES_COMMAND_OK) return state.SkipWithError(PQerrorMessage(conn.get()));
    while (PGresult* rest = PQgetResult(conn.get())) PQclear(rest);
    state.PauseTiming();
    bs::PgResult cleanup(PQexec(
        conn.get(), ("DELETE FROM " + *location->table_name + " WHERE index_name = " + std::to_string(tag)).c_str()));
    state.ResumeTiming();
  }
  state.counters["values_per_s"] = benchmark::Counter(static_cast<double>(kValues * state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

// redis-benchmark's pipelined HSET (-P 100) of the same value size against the same server.
void BM_RedisBenchmarkHset(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  const char* port = Env("DZ_REDIS_PORT");
  if (port == nullptr) return state.SkipWithError("DZ_REDIS_PORT not set");
  double rps = 0;
  for (auto _ : state) {
    const std::string cmd = std::string("redis-benchmark -h 127.0.0.1 -p ") + port + " -P 100 -c 1 -n " +
                            std::to_string(kValues) + " -r 100000000 -d " + std::to_string(width) +
                            " -t hset --csv -q 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    char line[512];
    while (pipe && fgets(line, sizeof line, pipe.get()) != nullptr) {
      // "HSET","<rps>",...
      std::string s(line);
      if (s.rfind("\"HSET\"", 0) == 0) rps = std::stod(s.substr(8));
    }
  }
  state.counters["values_per_s"] = rps;
}

}  // namespace

BENCHMARK(BM_BatchPush)->ArgsProduct({{0, 1, 2}, {8, 512}})->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresBinaryCopy)->Arg(8)->Arg(512)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedisBenchmarkHset)->Arg(8)->Arg(512)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchGet)->ArgsProduct({{0, 1, 2}, {8, 512}})->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
