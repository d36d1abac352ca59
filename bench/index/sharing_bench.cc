// What keeping an index whole under failures and shared between processes costs: upserts of new
// items and re-upserts that replace contents (the intent and the staged copies), training (the
// intent and the re-filing), small upsert batches (the writer lock and the head writes) and single
// queries cold and warm (the head read with the counts), on the memory store, PostgreSQL and Redis.
// The same source builds against an older tree, which has none of these, for the figures before.
//
// On the servers it also times what bounds the writer lock's lease: the longest single command a
// writer sends (one batch of 10,000 records at d=1024, 41 MB), a small write made under the lock
// against the same write without one (the fence's price per command), and a renewal of the lock.
//
// Usage: sharing_bench [memory|postgres|redis|redis-tls ...]; the servers' addresses come from
// DZ_PG_CONNSTR, DZ_REDIS_CONNSTR and DZ_REDIS_TLS_CONNSTR (scripts/test-servers.sh). Prints one
// line per figure: the best of a few runs, so that a busy moment does not count.
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/config.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "stores/keystore_factory.h"
#include "stores/redis_store_connection.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

ostrik::IndexKey Key() {
  ostrik::IndexKey key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0x5a + i);
  return key;
}

ostrik::FloatMatrix Random(size_t n, size_t d, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  ostrik::FloatMatrix m{n, d, std::vector<float>(n * d)};
  for (float& x : m.data) x = u(rng);
  return m;
}

ostrik::FloatMatrix Rows(const ostrik::FloatMatrix& m, size_t begin, size_t end) {
  ostrik::FloatMatrix out{end - begin, m.cols, {}};
  out.data.assign(m.data.begin() + begin * m.cols, m.data.begin() + end * m.cols);
  return out;
}

template <typename T>
std::vector<T> Slice(const std::vector<T>& v, size_t begin, size_t end) {
  return std::vector<T>(v.begin() + begin, v.begin() + end);
}

struct Store {
  std::string kind;
  ostrik::DBConfig index, config, items;
};

Store StoreOf(const std::string& kind) {
  if (kind == "memory") return {kind, ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), ostrik::DBConfig("memory")};
  const char* variable =
      kind == "postgres" ? "DZ_PG_CONNSTR" : kind == "redis-tls" ? "DZ_REDIS_TLS_CONNSTR" : "DZ_REDIS_CONNSTR";
  const char* conn = std::getenv(variable);
  if (conn == nullptr) {
    std::fprintf(stderr, "%s is not set: start the servers with scripts/test-servers.sh\n", variable);
    std::exit(2);
  }
  const std::string location = kind == "postgres" ? "postgres" : "redis";
  return {kind, ostrik::DBConfig(location, "bench_sharing_items", conn), ostrik::DBConfig(location, "bench_sharing_config", conn),
          ostrik::DBConfig(location, "bench_sharing_contents", conn)};
}

int name_counter = 0;

std::unique_ptr<ostrik::EncryptedIndex> Fresh(const Store& s, size_t d, uint64_t lists, uint64_t cache = 0) {
  ostrik::Client client(s.index, s.config, s.items, 0, false);
  const std::string name = "bench_sharing_" + std::to_string(getpid()) + "_" + std::to_string(name_counter++);
  return client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(d, lists), cache, nullptr);
}

void Report(const std::string& store, const std::string& what, double value, const char* unit) {
  std::printf("%-9s %-58s %12.4g %s\n", store.c_str(), what.c_str(), value, unit);
  std::fflush(stdout);
}

// The lease's bounds, measured on one store of the location: the longest single write, a small
// write with and without the lock held, and one renewal.
void LeaseFigures(const Store& s) {
  namespace bs = ostrik_encrypted_index::internal::backing_store;
  const int reps = 3;
  bs::StoreConnections connections;
  const uint64_t tag = 0x5eed0000ULL + static_cast<uint64_t>(getpid());
  auto store = bs::CreateKeystore(s.index, "bench_lease", tag, bs::DATA, connections);
  const size_t n = 10000, record = 1024 * 4 + 28 + 64;
  std::vector<uint64_t> keys(n);
  std::vector<ostrik::Bytes> values(n, ostrik::Bytes(record));
  for (size_t i = 0; i < n; ++i) {
    keys[i] = 0x1000 + i;
    values[i][0] = static_cast<uint8_t>(i);
  }
  double unlocked = 1e30, locked = 1e30;
  for (int r = 0; r < reps; ++r) {
    unlocked = std::min(unlocked, Seconds([&] { store->BatchPushVariable(keys, values); }));
    store->LockIndex(std::chrono::milliseconds(60000));
    locked = std::min(locked, Seconds([&] { store->BatchPushVariable(keys, values); }));
    store->UnlockIndex();
  }
  const std::string size = " of 10,000 records at d=1024 (" + std::to_string(n * record / 1000000) + " MB)";
  Report(s.kind, "one batch" + size + ", no lock held", unlocked * 1e3, "ms");
  Report(s.kind, "one batch" + size + ", under the lock", locked * 1e3, "ms");

  const int small = 2000;
  const ostrik::Bytes head(33, 7);
  double plain = 1e30, fenced = 1e30;
  for (int r = 0; r < reps; ++r) {
    plain = std::min(plain, Seconds([&] {
                       for (int i = 0; i < small; ++i) store->PushItem(1, head);
                     }));
    store->LockIndex(std::chrono::milliseconds(60000));
    fenced = std::min(fenced, Seconds([&] {
                        for (int i = 0; i < small; ++i) store->PushItem(1, head);
                      }));
    store->UnlockIndex();
  }
  Report(s.kind, "one 33-byte write, no lock held", plain / small * 1e6, "us");
  Report(s.kind, "one 33-byte write, under the lock", fenced / small * 1e6, "us");

  if (s.kind != "postgres") {
    // Renewals are due at once: each check of the lock is one.
    bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(60000), std::chrono::milliseconds(1));
    double renew = 1e30;
    for (int r = 0; r < reps; ++r) {
      store->LockIndex(std::chrono::milliseconds(60000));
      double sum = 0;
      for (int i = 0; i < small / 4; ++i) {
        const auto due = Clock::now() + std::chrono::milliseconds(1);
        while (Clock::now() < due) {
        }
        sum += Seconds([&] { store->CheckIndexLock(); });
      }
      renew = std::min(renew, sum / (small / 4));
      store->UnlockIndex();
    }
    bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
    Report(s.kind, "one renewal of the writer lock", renew * 1e6, "us");
  }
  store->DeleteIndex();
}

void Bench(const Store& s) {
  const bool memory = s.kind == "memory";
  const size_t d = 784;
  const size_t n = memory ? 60000 : 20000;
  const size_t batch = memory ? n : 1000;
  const int reps = 3;
  const ostrik::FloatMatrix vectors = Random(n, d, 1);
  const ostrik::FloatMatrix second = Random(n, d, 2);
  std::vector<std::string> ids(n);
  std::vector<ostrik::Bytes> contents(n);
  for (size_t i = 0; i < n; ++i) {
    ids[i] = "item-" + std::to_string(i);
    contents[i] = ostrik::Bytes(64, static_cast<uint8_t>(i));
  }
  auto upsert_all = [&](ostrik::EncryptedIndex& index, const ostrik::FloatMatrix& v, bool with_contents) {
    for (size_t b = 0; b < n; b += batch) {
      const size_t e = std::min(n, b + batch);
      index.Upsert(Rows(v, b, e), Slice(ids, b, e), with_contents ? Slice(contents, b, e) : std::vector<ostrik::Bytes>{},
                   {});
    }
  };

  // Upserts at dimension 784: new items without contents, then the same ids with new vectors and
  // contents (every item replaced: the path that records an intent and stages contents).
  double fresh = 1e30, replaced = 1e30, train = 1e30;
  uint64_t serialized = 0;
  for (int r = 0; r < reps; ++r) {
    auto index = Fresh(s, d, 64);
    fresh = std::min(fresh, Seconds([&] { upsert_all(*index, vectors, false); }));
    upsert_all(*index, vectors, true);
    replaced = std::min(replaced, Seconds([&] { upsert_all(*index, second, true); }));
    ostrik::TrainParams params;
    params.max_iters = 10;
    params.batch_size = 2048;
    train = std::min(train, Seconds([&] { index->TrainIndex(params); }));
    serialized = index->SerializeIndex().size();
    index->DeleteIndex();
  }
  const std::string dim = " (d=784, " + std::to_string(n) + " items, batches of " + std::to_string(batch) + ")";
  Report(s.kind, "upsert, new items" + dim, n / fresh, "items/s");
  Report(s.kind, "re-upsert with contents, every item replaced" + dim, n / replaced, "items/s");
  Report(s.kind, "train() of " + std::to_string(n) + " items, 64 lists, 10 rounds", train, "s");
  // Sealed intent of a training: envelope, kind, the trained configuration, list 0's count and one
  // data label per item.
  Report(s.kind, "  its intent record", 28.0 + 2 + 4 + serialized + 4 + 4 + 8.0 * n, "bytes");

  // Small batches: the writer lock and the head writes are per batch.
  {
    const size_t small_d = 128, per = 50, batches = memory ? 400 : 100;
    const ostrik::FloatMatrix v = Random(per * batches, small_d, 3);
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
      auto index = Fresh(s, small_d, 16);
      best = std::min(best, Seconds([&] {
                        for (size_t b = 0; b < batches; ++b) {
                          std::vector<std::string> batch_ids;
                          for (size_t i = 0; i < per; ++i) batch_ids.push_back("s-" + std::to_string(b * per + i));
                          index->Upsert(Rows(v, b * per, (b + 1) * per), batch_ids, {}, {});
                        }
                      }));
      index->DeleteIndex();
    }
    Report(s.kind, "upsert batch of 50 new items (d=128), per batch", best / batches * 1e3, "ms");
  }

  // Single queries on a trained index, cold (no cache) and warm (every list cached): each call reads
  // the counts, and now the head with them.
  {
    const size_t qd = 128, qn = memory ? 20000 : 5000, lists = 64;
    const ostrik::FloatMatrix v = Random(qn, qd, 4);
    std::vector<std::string> qids(qn);
    for (size_t i = 0; i < qn; ++i) qids[i] = "q-" + std::to_string(i);
    for (uint64_t cache : {uint64_t{0}, uint64_t{lists}}) {
      auto index = Fresh(s, qd, lists, cache);
      for (size_t b = 0; b < qn; b += 1000) index->Upsert(Rows(v, b, std::min(qn, b + 1000)), Slice(qids, b, std::min(qn, b + 1000)), {}, {});
      ostrik::TrainParams params;
      params.max_iters = 5;
      params.batch_size = 1024;
      index->TrainIndex(params);
      ostrik::QueryParams q;
      q.top_k = 10;
      q.n_probes = 8;
      const ostrik::FloatMatrix queries = Random(200, qd, 5);
      for (int w = 0; w < 20; ++w) index->Query(Rows(queries, w, w + 1), q);  // fills the cache
      std::vector<double> times;
      for (size_t i = 0; i < queries.rows; ++i) {
        times.push_back(Seconds([&] { index->Query(Rows(queries, i, i + 1), q); }));
      }
      std::sort(times.begin(), times.end());
      Report(s.kind, std::string("1 query, 8 of 64 lists, d=128, ") + (cache ? "warm" : "cold") + ", median",
             times[times.size() / 2] * 1e3, "ms");
      index->DeleteIndex();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> kinds;
  for (int i = 1; i < argc; ++i) kinds.emplace_back(argv[i]);
  if (kinds.empty()) kinds = {"memory", "postgres", "redis"};
  std::printf("threads: %d\n", omp_get_max_threads());
  for (const std::string& kind : kinds) {
    const Store s = StoreOf(kind);
    Bench(s);
    if (kind != "memory") LeaseFigures(s);
  }
  return 0;
}
