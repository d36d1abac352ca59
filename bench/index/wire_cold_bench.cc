// Cold queries on PostgreSQL and Redis against the floor of what they move: the bytes a query
// receives at the loopback rate, plus opening its envelopes with AES-256-GCM on its threads, plus
// its three round trips (the counts, the index entries, the records). Everything is measured in
// the run: the loopback rate between two threads of this process, the round trip of the store's
// server (SELECT 1, PING), the bytes every query receives and sends (the kernel's counts of this
// process's TCP sockets) and the opening of the very envelopes it fetched (read from the data store
// beforehand). Each store holds one trained index of the data set (centroids pinned to the cold
// query benchmark's, so that every build and store probes the same lists); for every thread count
// and n_probes, kQueries single queries cold (no token cache) and warm (a cache of every list),
// medians, each query served once before it is timed (the server at rest, not meeting its pages
// for the first time). PostgreSQL tables are vacuumed after the training (as autovacuum soon would), so that
// queries meet the index at rest. Also timed: the upsert of the data set, its training, and with
// DZ_PG_CTL set the first query after a PostgreSQL restart. The same source builds against older
// trees, for the figures before.
//
// Usage: wire_cold_bench DATA_DIR NAME TAG OUT_JSON [STORES [THREADS [PROBES]]], STORES
// comma-separated from postgres,redis (default both), THREADS (default 1,4), PROBES (default
// 1,4,16,64). TAG names the tables and index, so that builds measured on one server keep apart.
// The servers come from DZ_PG_CONNSTR and DZ_REDIS_CONNSTR (scripts/test-servers.sh). Prints one
// line per figure; progress to stderr.
#include <dirent.h>
#include <hiredis/hiredis.h>
#include <libpq-fe.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/index/bench_common.h"
#include "bench/index/bench_data.h"
#include "bench/index/open_floor.h"
#include "bench/index/stage_times.h"
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

constexpr uint64_t kLists = 256;
constexpr uint64_t kQueries = 21;
constexpr uint64_t kUpsertBatch = 2000;
constexpr uint64_t kRoundTrips = 3;

std::vector<std::string> ParseNames(const std::string& text) {
  std::vector<std::string> names;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) names.push_back(item);
  return names;
}

void Progress(const std::string& text) {
  std::cerr << "[wire_cold_bench " << dz_bench::LoadAverage() << "] " << text << std::endl;
}

// Bytes received and sent over every TCP socket of this process so far, as the kernel counts them.
struct WireBytes {
  uint64_t received = 0, sent = 0;
};

WireBytes SocketBytes() {
  WireBytes total;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return total;
  while (dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(fds)) continue;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) continue;
    total.received += info.tcpi_bytes_received;
    total.sent += info.tcpi_bytes_acked;
  }
  closedir(fds);
  return total;
}

// The loopback rate one stream reaches between two threads: one writes 8 MB at a time, the other
// reads into a buffer of 4 MB, as a client reading a large reply does. Best of three 1 GB runs.
double LoopbackBytesPerSecond() {
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("loopback: cannot listen");
    }
    constexpr uint64_t kTotal = uint64_t{1} << 30;
    std::thread writer([&] {
      const int out = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
      std::vector<char> chunk(8 << 20, 'x');
      uint64_t sent = 0;
      while (sent < kTotal) {
        const ssize_t n = send(out, chunk.data(), std::min<uint64_t>(chunk.size(), kTotal - sent), 0);
        if (n <= 0) break;
        sent += static_cast<uint64_t>(n);
      }
      close(out);
    });
    const int in = accept(listener, nullptr, nullptr);
    std::vector<char> buffer(4 << 20);
    uint64_t got = 0;
    const double seconds = Seconds([&] {
      while (got < kTotal) {
        const ssize_t n = recv(in, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
      }
    });
    writer.join();
    close(in);
    close(listener);
    if (got == kTotal) best = std::max(best, static_cast<double>(got) / seconds);
  }
  return best;
}

// Median round trip of the smallest command, on a connection of its own.
double RoundTrip(const std::string& store, const std::string& conn) {
  std::vector<double> times;
  if (store == "postgres") {
    PGconn* pg = PQconnectdb(conn.c_str());
    if (PQstatus(pg) != CONNECTION_OK) throw std::runtime_error("round trip: cannot connect to PostgreSQL");
    for (int i = 0; i < 2000; ++i) {
      times.push_back(
          Seconds([&] { PQclear(PQexecParams(pg, "SELECT 1", 0, nullptr, nullptr, nullptr, nullptr, 1)); }));
    }
    PQfinish(pg);
  } else {
    const auto pairs = [&] {
      std::string host = "127.0.0.1";
      int port = 0;
      std::stringstream in(conn);
      std::string item;
      while (std::getline(in, item, ',')) {
        if (item.rfind("host:", 0) == 0) host = item.substr(5);
        if (item.rfind("port:", 0) == 0) port = std::stoi(item.substr(5));
      }
      return std::make_pair(host, port);
    }();
    redisContext* c = redisConnect(pairs.first.c_str(), pairs.second);
    if (c == nullptr || c->err) throw std::runtime_error("round trip: cannot connect to Redis");
    for (int i = 0; i < 2000; ++i) {
      times.push_back(Seconds([&] { freeReplyObject(redisCommand(c, "PING")); }));
    }
    redisFree(c);
  }
  return Median(times);
}

struct Store {
  std::string kind, conn;
  ostrik::DBConfig index, config, items;
};

Store StoreOf(const std::string& kind, const std::string& tag) {
  const char* variable = kind == "postgres" ? "DZ_PG_CONNSTR" : "DZ_REDIS_CONNSTR";
  const char* conn = std::getenv(variable);
  if (conn == nullptr)
    throw std::runtime_error(std::string(variable) + " is not set: start the servers with scripts/test-servers.sh");
  if (kind != "postgres" && kind != "redis") throw std::runtime_error("unknown store " + kind);
  const std::string t = "wire_" + tag;
  return {kind, conn, ostrik::DBConfig(kind, t + "_items", conn), ostrik::DBConfig(kind, t + "_config", conn),
          ostrik::DBConfig(kind, t + "_contents", conn)};
}

std::string Times(const std::vector<double>& s) {
  return "{\"median_ms\": " + Num(1e3 * Median(s)) +
         ", \"min_ms\": " + Num(s.empty() ? 0 : 1e3 * *std::min_element(s.begin(), s.end())) + "}";
}

std::string BenchStore(const Dataset& ds, const std::string& dir, const Store& s, const std::string& tag,
                       const std::vector<uint64_t>& threads, const std::vector<uint64_t>& probes, double loopback) {
  const double rtt = RoundTrip(s.kind, s.conn);
  Progress(s.kind + ": round trip " + Num(rtt * 1e6) + " us");

  // The centroids of the cold query benchmark (made on the first run of either).
  const std::string centroids_path = dir + "/" + ds.name + "_L" + std::to_string(kLists) + "_centroids.f32";
  std::vector<ostrik::QuantizerMatrix> pin;
  if (std::ifstream(centroids_path).good()) {
    pin.emplace_back(static_cast<int32_t>(kLists), dz_bench::ReadFile<float>(centroids_path, kLists * ds.dim), ds.dim);
  }
  const bool fresh = pin.empty();
  dz_bench::PinCentroids(&pin);

  const std::string name = "wire_" + tag + "_" + ds.name + "_" + std::to_string(getpid());
  ostrik::Client builder(s.index, s.config, s.items, 1);
  auto index = builder.CreateIndex(name, Key(), ostrik::IndexIVFFlat(ds.dim, kLists, "euclidean"), 0, nullptr);
  Progress(s.kind + ": upsert " + std::to_string(ds.n) + " items");
  const double upsert_s = Seconds([&] {
    for (uint64_t b = 0; b < ds.n; b += kUpsertBatch) {
      const uint64_t e = std::min<uint64_t>(ds.n, b + kUpsertBatch);
      index->Upsert(dz_bench::Rows(ds.base, b, e - b), std::vector<std::string>(ds.ids.begin() + b, ds.ids.begin() + e),
                    {}, {});
    }
  });
  Progress(s.kind + ": train");
  ostrik::TrainParams train;
  train.batch_size = 2048;
  train.max_iters = 25;
  const double train_s = Seconds([&] { index->TrainIndex(train); });
  dz_bench::PinCentroids(nullptr);
  if (fresh) dz_bench::WriteFile(centroids_path, pin.at(0).data);
  if (s.kind == "postgres") {
    // The training replaced every row: what autovacuum would do within a minute or so, done now, so
    // that queries meet the index at rest rather than its dead rows.
    PGconn* pg = PQconnectdb(s.conn.c_str());
    PQclear(PQexec(pg, ("VACUUM ANALYZE wire_" + tag + "_items").c_str()));
    PQfinish(pg);
  }
  std::fprintf(stderr, "%-8s upsert of %llu items in batches of %llu: %.3f s; training (25 rounds): %.3f s\n",
               s.kind.c_str(), static_cast<unsigned long long>(ds.n), static_cast<unsigned long long>(kUpsertBatch),
               upsert_s, train_s);

  // Every item's data label by list, for the floor.
  token_store::TokenIndex& built = ostrik::EncryptedIndexTestAccess::Engine(*index);
  const ostrik::CodeMatrix codes = kernels::EncodeVectors(ds.base, pin, ostrik::Euclidean);
  const std::vector<uint64_t> data_labels = ostrik::HashItemIds(ds.ids, built.data_key_.data());
  std::vector<std::vector<uint64_t>> list_labels(kLists);
  for (uint64_t i = 0; i < ds.n; ++i) list_labels.at(codes.codes[i]).push_back(data_labels[i]);
  std::vector<ostrik::FloatMatrix> singles;
  for (uint64_t q = 0; q < kQueries; ++q) singles.push_back(dz_bench::Rows(ds.queries, q, 1));

  std::vector<std::string> rows;
  for (uint64_t t : threads) {
    ostrik::Client client(s.index, s.config, s.items, static_cast<int32_t>(t));
    auto cold = client.LoadIndex(name, Key(), 0, nullptr);
    auto warm = client.LoadIndex(name, Key(), kLists, nullptr);
    warm->Query(singles[0], Params(kLists));  // every list into the cache
    token_store::TokenIndex& engine = ostrik::EncryptedIndexTestAccess::Engine(*cold);
    dz_bench::OpenFloor floor(engine.data_key_.data(), static_cast<int>(t));
    backing_store::ValueViews views;
    for (uint64_t p : probes) {
      Progress(s.kind + " t" + std::to_string(t) + " n_probes " + std::to_string(p));
      const ostrik::QueryParams params = Params(p);
      // Each query once before it is timed: cold means no list cached in this process, not a server
      // that meets the pages for the first time. Every server process maps the shared buffers it
      // touches page by page (a fault each, the first time), and a read spreads its keys over
      // several sessions of their own, whose processes do not share that mapping.
      for (const ostrik::FloatMatrix& q : singles) cold->Query(q, params);
      std::vector<double> cold_s, warm_s, floor_s, ratio, open_s, read_s, received, sent, warm_received;
      uint64_t records = 0;
      for (const ostrik::FloatMatrix& q : singles) {
        const WireBytes before = SocketBytes();
        cold_s.push_back(Seconds([&] { cold->Query(q, params); }));
        const WireBytes after = SocketBytes();
        received.push_back(static_cast<double>(after.received - before.received));
        sent.push_back(static_cast<double>(after.sent - before.sent));
        std::vector<uint64_t> keys;
        for (uint32_t list : kernels::SelectProbes(q, pin, p, ostrik::Euclidean, 0.0f).probed_ids) {
          keys.insert(keys.end(), list_labels[list].begin(), list_labels[list].end());
        }
        records += keys.size();
        read_s.push_back(Seconds([&] { engine.data_store_->BatchGetViews(keys, views); }));
        open_s.push_back(floor.Open(views));
        floor_s.push_back(received.back() / loopback + open_s.back() + kRoundTrips * rtt);
        ratio.push_back(cold_s.back() / floor_s.back());
      }
      for (const ostrik::FloatMatrix& q : singles) {
        const WireBytes before = SocketBytes();
        warm_s.push_back(Seconds([&] { warm->Query(q, params); }));
        warm_received.push_back(static_cast<double>(SocketBytes().received - before.received));
      }
      const double mb = Median(received) / 1e6;
      std::fprintf(
          stderr,
          "%-8s t%-2llu n_probes %-3llu records %7.0f  received %7.2f MB  sent %7.1f kB  open %7.2f ms  floor %7.2f ms"
          "  cold %8.2f ms  ratio %5.2f  warm %7.2f ms  (records read alone %7.2f ms)\n",
          s.kind.c_str(), static_cast<unsigned long long>(t), static_cast<unsigned long long>(p),
          static_cast<double>(records) / kQueries, mb, Median(sent) / 1e3, 1e3 * Median(open_s), 1e3 * Median(floor_s),
          1e3 * Median(cold_s), Median(ratio), 1e3 * Median(warm_s), 1e3 * Median(read_s));

      rows.push_back("{\"threads\": " + Num(t) + ", \"n_probes\": " + Num(p) +
                     ", \"records\": " + Num(static_cast<double>(records) / kQueries) +
                     ", \"received_mb\": " + Num(mb) + ", \"sent_kb\": " + Num(Median(sent) / 1e3) +
                     ", \"warm_received_kb\": " + Num(Median(warm_received) / 1e3) +
                     ", \"open_ms\": " + Num(1e3 * Median(open_s)) + ", \"floor_ms\": " + Num(1e3 * Median(floor_s)) +
                     ", \"records_read_ms\": " + Num(1e3 * Median(read_s)) + ", \"cold\": " + Times(cold_s) +
                     ", \"ratio\": " + Num(Median(ratio)) + ", \"warm\": " + Times(warm_s) + "}");
    }
  }

  // The first query after a restart of the server: a new session, empty caches.
  std::string restarts;
  const char* pg_ctl = std::getenv("DZ_PG_CTL");
  if (s.kind == "postgres" && pg_ctl != nullptr) {
    ostrik::Client client(s.index, s.config, s.items, 1);
    auto cold = client.LoadIndex(name, Key(), 0, nullptr);
    for (uint64_t p : probes) {
      if (std::system((std::string(pg_ctl) + " restart").c_str()) != 0) throw std::runtime_error("restart failed");
      const double first = Seconds([&] { cold->Query(singles[2], Params(p)); });
      const double second = Seconds([&] { cold->Query(singles[3], Params(p)); });
      std::fprintf(stderr, "%-8s n_probes %-3llu first query after a restart %8.2f ms, the next %8.2f ms\n",
                   s.kind.c_str(), static_cast<unsigned long long>(p), 1e3 * first, 1e3 * second);

      restarts += std::string(restarts.empty() ? "" : ", ") + "{\"n_probes\": " + Num(p) +
                  ", \"first_ms\": " + Num(1e3 * first) + ", \"next_ms\": " + Num(1e3 * second) + "}";
    }
  }
  index->DeleteIndex();
  return "{\"store\": \"" + s.kind + "\", \"round_trip_us\": " + Num(rtt * 1e6) + ", \"upsert_s\": " + Num(upsert_s) +
         ", \"train_s\": " + Num(train_s) + ", \"restarts\": [" + restarts + "], \"rows\": [\n  " +
         [&] {
           std::string joined;
           for (size_t i = 0; i < rows.size(); ++i) joined += (i ? ",\n  " : "") + rows[i];
           return joined;
         }() +
         "]}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 8) {
    std::cerr << "usage: wire_cold_bench DATA_DIR NAME TAG OUT_JSON [STORES [THREADS [PROBES]]]" << std::endl;
    return 2;
  }
  try {
    const std::string dir = argv[1];
    const std::string tag = argv[3];
    const std::vector<std::string> stores = ParseNames(argc > 5 ? argv[5] : "postgres,redis");
    const std::vector<uint64_t> threads = ParseList(argc > 6 ? argv[6] : "1,4");
    const std::vector<uint64_t> probes = ParseList(argc > 7 ? argv[7] : "1,4,16,64");
    const Dataset ds = dz_bench::LoadDataset(dir, argv[2], kQueries, kTopK);
    const double loopback = LoopbackBytesPerSecond();
    std::fprintf(stderr, "loopback %.2f GB/s, load %s\n", loopback / 1e9, dz_bench::LoadAverage().c_str());

    std::string out = "{\"tag\": \"" + tag + "\", \"dataset\": \"" + ds.name + "\", \"n\": " + Num(ds.n) +
                      ", \"dim\": " + Num(ds.dim) + ", \"lists\": " + Num(kLists) + ", \"queries\": " + Num(kQueries) +
                      ", \"loopback_gbs\": " + Num(loopback / 1e9) + ", \"load_start\": \"" + dz_bench::LoadAverage() +
                      "\", \"stores\": [";
    for (size_t i = 0; i < stores.size(); ++i) {
      out += (i ? ",\n" : "\n") + BenchStore(ds, dir, StoreOf(stores[i], tag), tag, threads, probes, loopback);
    }
    out += "], \"load_end\": \"" + dz_bench::LoadAverage() + "\"}\n";
    std::ofstream file(argv[4]);
    file << out;
    if (!file) throw std::runtime_error(std::string("cannot write ") + argv[4]);
  } catch (const std::exception& e) {
    std::cerr << "wire_cold_bench: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
