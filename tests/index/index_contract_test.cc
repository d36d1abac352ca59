// The contract of every index operation as a caller sees it: which checks come first, the exact
// text and class of each refusal, the lines each operation writes at which level, what a refusal
// leaves stored (nothing), and what creating, loading, listing and train-and-serialize accept.
// Lines are read back from the singleton logger writing to a file of the test's own.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <set>

#include "core/thread_scope.h"
#include "index/serialized_index.h"
#include "index_fixture.h"
#include "stores/keystore_factory.h"
#include "support/faulty_keystore.h"
#include "thrown.h"

namespace index_test {
namespace {

using dz_test::FaultyKeystore;
using ostrik::Logger;
namespace ts = ostrik_encrypted_index::internal::token_store;
namespace bs = ostrik_encrypted_index::internal::backing_store;

constexpr size_t kDim = 4;
constexpr int kLists = 2;
const std::string kNotConnected = ostrik::kNotConnectedMessage;
const std::string kTooFew =
    "Number of embeddings is less than the number of clusters. Please ingest more data before training.";
const std::string kMemoryOnly = "All locations must be of type Memory for TrainAndSerialize.";
const std::string kNoMemoryLoad = "Memory location is not supported for loading an existing index.";
const std::string kDuplicates = "Warning: Duplicate IDs detected. Skipping duplicate IDs.";
// Never reached when the checks before the first store contact hold: connecting fails at once.
const std::string kUnreachablePg = "host=127.0.0.1 port=1 dbname=none user=none connect_timeout=2";
const std::string kUnreachableRedis = "host:127.0.0.1,port:1,db:0";

// The singleton logger writing every line, INFO and up, to a file of this test's own. Lines()
// gives each line written since Mark() as "LEVEL text". The configuration an index without a
// logger gets (ERROR, console) is put back at the end, whatever the test did.
class LogFile {
 public:
  LogFile() {
    std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : test) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    path_ = testing::TempDir() + "dz_contract_" + std::to_string(::getpid()) + "_" + test + ".log";
    std::remove(path_.c_str());
    Logger::instance().configure(ostrik::INFO, true, path_);
  }
  ~LogFile() {
    Logger::instance().configure(ostrik::ERROR, false, "");
    std::remove(path_.c_str());
  }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  void Mark() { mark_ = ReadAll().size(); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> all = ReadAll();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end());
  }
  // The ERROR and CRITICAL lines since Mark(): what an operation reports as failing. (The stores
  // below write WARNING lines of their own for missing keys, which are no failures.)
  std::vector<std::string> Problems() const {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
      if (line.rfind("ERROR ", 0) == 0 || line.rfind("CRITICAL ", 0) == 0) out.push_back(line);
    }
    return out;
  }

 private:
  // "[YYYY-MM-DD HH:MM:SS][LEVEL] text" as "LEVEL text"; false for a line without that stamp.
  static bool Parse(const std::string& line, std::string& out) {
    if (line.size() < 24 || line[0] != '[' || line[20] != ']' || line[21] != '[') return false;
    const size_t close = line.find("] ", 22);
    if (close == std::string::npos) return false;
    const std::string level = line.substr(22, close - 22);
    if (level != "INFO" && level != "WARNING" && level != "ERROR" && level != "CRITICAL") return false;
    out = level + " " + line.substr(close + 2);
    return true;
  }

  // A line that does not start with a stamp continues the message before it.
  std::vector<std::string> ReadAll() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    std::string line, parsed;
    while (std::getline(in, line)) {
      if (Parse(line, parsed)) {
        out.push_back(parsed);
      } else if (!out.empty()) {
        out.back() += "\n" + line;
      } else {
        out.push_back("?? " + line);
      }
    }
    return out;
  }

  std::string path_;
  size_t mark_ = 0;
};

// `want` appears in `lines` in this order, other lines in between allowed.
void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
  size_t at = 0;
  for (const std::string& line : lines) {
    if (at < want.size() && line == want[at]) ++at;
  }
  EXPECT_EQ(at, want.size()) << "missing \"" << (at < want.size() ? want[at] : "") << "\" in:\n"
                             << testing::PrintToString(lines);
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

ostrik::QueryParams Everything(uint64_t top_k = 1000, uint64_t n_probes = 1000, std::string filters = "") {
  ostrik::QueryParams p;
  p.top_k = top_k;
  p.n_probes = n_probes;
  p.filters = std::move(filters);
  return p;
}

uint64_t StoredCount(ostrik::EncryptedIndex& index) {
  const auto& counts = EncryptedIndexTestAccess::Engine(index).token_counts_;
  return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
}

ostrik::DBConfig Memory() { return ostrik::DBConfig("memory"); }
ostrik::DBConfig UnreachablePg() { return ostrik::DBConfig("postgres", "dz_contract_never", kUnreachablePg); }
ostrik::DBConfig UnreachableRedis() { return ostrik::DBConfig("redis", "dz_contract_never", kUnreachableRedis); }

class IndexContract : public IndexTest {
 protected:
  // One thread: the cases are many tiny operations, each a parallel region otherwise, and no
  // contract here depends on the thread count.
  ostrik::Client Client() const { return MakeClient(1); }
  // Everything the index writes goes to the test's log file.
  ostrik::EncryptedIndex& Open(const std::string& name, const ostrik::IndexConfig& config) {
    return Keep(Client().CreateIndex(name, Key(), config, 0, &Logger::instance()));
  }
  ostrik::EncryptedIndex& OpenWith(const Dataset& ds, const std::string& tag = "") {
    ostrik::EncryptedIndex& index = Open(UniqueName(tag), ostrik::IndexIVFFlat(ds.vectors.cols, kLists));
    index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
    return index;
  }

  LogFile log_;
};

// Suites of the same fixture for what only one kind of store shows.
using MemoryContract = IndexContract;
using PersistentContract = IndexContract;
using PostgresContract = IndexContract;
// Stores that keep a name of the longest length allowed (PostgreSQL's config table does not).
using LongNameContract = IndexContract;

// ---------------------------------------------------------------------------------------------
// Creating

TEST_P(IndexContract, CreateChecksItsArgumentsInOrderBeforeTouchingAStore) {
  ostrik::IndexKey zero{};
  struct Case {
    std::string label;
    std::string name;
    ostrik::IndexKey key;
    uint64_t dimension;
    uint64_t n_lists;
    int32_t metric;
    std::string text;
  };
  const std::string ok = UniqueName();
  std::string two_byte_chars;
  for (int i = 0; i < 128; ++i) two_byte_chars += "\xc3\xa9";
  const std::vector<Case> cases = {
      {"256-byte name, before every other check", std::string(256, 'n'), zero, 0, 0, 7,
       "Index name cannot be longer than 255 characters."},
      {"the length counts bytes, not characters", two_byte_chars, Key(), kDim, kLists, ostrik::Euclidean,
       "Index name cannot be longer than 255 characters."},
      {"empty name, before the key", "", zero, 0, 0, 7, "Index name cannot be an empty string."},
      {"zero key, before the configuration", ok, zero, 0, 0, 7, "Index key cannot be an empty array."},
      {"n_lists 0, before dimension 0", ok, Key(), 0, 0, 7, "n_lists cannot be 0."},
      {"dimension 0, before the metric", ok, Key(), 0, kLists, 7, "Vector dimension cannot be 0."},
      {"metric 3", ok, Key(), kDim, kLists, 3, "Index metric must be Cosine, Euclidean or SquaredEuclidean."},
      {"negative metric", ok, Key(), kDim, kLists, -1, "Index metric must be Cosine, Euclidean or SquaredEuclidean."},
      {"metric, before the widths", ok, Key(), uint64_t{1} << 32, uint64_t{1} << 31, 5,
       "Index metric must be Cosine, Euclidean or SquaredEuclidean."},
      {"n_lists 2^31", ok, Key(), kDim, uint64_t{1} << 31, ostrik::Euclidean,
       "n_lists 2147483648 exceeds the largest list count (2147483647)."},
      {"dimension 2^32", ok, Key(), uint64_t{1} << 32, kLists, ostrik::Euclidean,
       "Vector dimension 4294967296 exceeds the largest dimension (4294967295)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ostrik::IndexIVFFlat config(c.dimension, c.n_lists);
    config.metric = c.metric;
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] { Client().CreateIndex(c.name, c.key, config, 0, &Logger::instance()); }),
              InvalidArgument(c.text));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{});  // refused before anything is written
  }
  // Nothing of the refused attempts is stored: the name is still free.
  EXPECT_EQ(ThrownBy([&] { Open(ok, ostrik::IndexIVFFlat(kDim, kLists)); }), Thrown{});
}

TEST_P(IndexContract, CreateAcceptsTheEdgesOfItsArguments) {
  // One non-zero byte anywhere makes a key.
  for (size_t at : {0, 13, 31}) {
    SCOPED_TRACE("key byte " + std::to_string(at));
    ostrik::IndexKey key{};
    key[at] = 1;
    EXPECT_EQ(ThrownBy([&] {
                Keep(Client().CreateIndex(UniqueName("k" + std::to_string(at)), key, ostrik::IndexIVFFlat(kDim, 1), 0,
                                          &Logger::instance()));
              }),
              Thrown{});
  }
  // No cache size means no token cache, as 0 does.
  ostrik::Client client = Client();
  for (std::optional<uint64_t> cache :
       {std::optional<uint64_t>(), std::optional<uint64_t>(0), std::optional<uint64_t>(3)}) {
    ostrik::EncryptedIndex& index = Keep(
        client.CreateIndex(UniqueName("c"), Key(), ostrik::IndexIVFFlat(kDim, kLists), cache, &Logger::instance()));
    EXPECT_EQ(EncryptedIndexTestAccess::Engine(index).cache_capacity(), cache.value_or(0));
  }
  // Thread counts from 0 (the OpenMP default) to the bound are the engine's.
  const int saved_threads = omp_get_max_threads();
  for (int32_t threads : {0, ostrik::kMaxCpuThreads}) {
    SCOPED_TRACE("cpu_threads " + std::to_string(threads));
    ostrik::EncryptedIndex& index =
        Keep(MakeClient(threads).CreateIndex(UniqueName("t"), Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, nullptr));
    EXPECT_EQ(EncryptedIndexTestAccess::Engine(index).cpu_threads_, threads);
  }
  omp_set_num_threads(saved_threads);  // an index's count sticks to the thread that opened it
}

// A count the OpenMP runtime cannot run (it crashes or exits the process when the team starts) is
// refused wherever an index is opened, before anything is written or read; the client itself
// checks nothing and reports what it was given.
TEST_P(IndexContract, ThreadCountsOutOfBoundsAreRefusedWhereAnIndexOpens) {
  const std::string name = UniqueName("threads");
  Open(name, ostrik::IndexIVFFlat(kDim, kLists));
  const Bytes serialized =
      ostrik::SerializeIndexTable("serialized", ostrik::IndexIVFFlat(kDim, kLists), ostrik::Quantizers{}, false);
  for (int32_t threads : {-1, std::numeric_limits<int32_t>::min(), ostrik::kMaxCpuThreads + 1, 80000,
                          std::numeric_limits<int32_t>::max()}) {
    SCOPED_TRACE("cpu_threads " + std::to_string(threads));
    const Thrown refused = InvalidArgument("cpu_threads must be between 0 (the OpenMP default) and 1024, not " +
                                           std::to_string(threads) + ".");
    ostrik::Client client = MakeClient(threads);
    EXPECT_EQ(client.cpu_threads(), threads);
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] {
                client.CreateIndex(UniqueName("t"), Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, &Logger::instance());
              }),
              refused);
    if (persistent()) {
      EXPECT_EQ(ThrownBy([&] { client.LoadIndex(name, Key(), 0, &Logger::instance()); }), refused);
    } else {
      EXPECT_EQ(ThrownBy([&] { client.LoadSerializedIndex(serialized, Key(), &Logger::instance()); }), refused);
    }
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
  }
}

TEST_P(LongNameContract, LongestNameIsAccepted) {
  const std::string name = UniqueName() + std::string(255, 'x');
  ostrik::EncryptedIndex& index = Open(name.substr(0, 255), ostrik::IndexIVFFlat(kDim, kLists));
  EXPECT_EQ(index.index_name().size(), 255u);
}

// A name of 255 bytes passes the check, but its config items (name + ".oei") do not fit the
// PostgreSQL config table's VARCHAR(255) column, whose layout stored indexes rely on: the create
// fails cleanly there, with the server's reason.
TEST_P(PostgresContract, ConfigTableBoundsTheNameLength) {
  const std::string name = (UniqueName() + std::string(255, 'x')).substr(0, 255);
  const Thrown thrown = ThrownBy([&] { Open(name, ostrik::IndexIVFFlat(kDim, kLists)); });
  EXPECT_EQ(thrown.text.rfind("Failed to create index: ", 0), 0u) << thrown.text;
  EXPECT_NE(thrown.text.find("value too long"), std::string::npos) << thrown.text;
}

TEST_P(IndexContract, CreatingANameTwice) {
  const Dataset ds = Clustered(4, kDim, kLists);
  const std::string name = UniqueName();
  ostrik::EncryptedIndex& first = Open(name, ostrik::IndexIVFFlat(kDim, kLists));
  first.Upsert(ds.vectors, ds.ids, {}, {});
  log_.Mark();
  const Thrown second = ThrownBy([&] { Open(name, ostrik::IndexIVFFlat(kDim, kLists)); });
  if (!persistent()) {
    // A memory config store keeps no engine state, so it knows no name.
    EXPECT_EQ(second, Thrown{});
    return;
  }
  EXPECT_EQ(second, RuntimeError("Failed to create index: Index name " + name + " already exists"));
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{"ERROR Index name " + name + " already exists"});
  // The refused attempt removed nothing of the index that owns the name.
  EXPECT_EQ(first.Get(ds.ids, {}).size(), ds.ids.size());
  EXPECT_EQ(Client().LoadIndex(name, Key(), 0, &Logger::instance())->Get(ds.ids, {}).size(), ds.ids.size());
}

TEST_P(IndexContract, FailedAssemblyIsWrappedAndLogsItsStart) {
  ostrik::IndexIVFFlat bad(kDim, kLists);
  bad.index_type = 7;  // refused by the serialization, after the engine has written its state
  log_.Mark();
  EXPECT_EQ(ThrownBy([&] { Open(UniqueName(), bad); }), RuntimeError("Failed to create index: Unknown index type"));
  const std::vector<std::string> lines = log_.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "INFO EncryptedIndex created with new index configuration");
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{});  // the wrapped failure itself is not logged
}

// ---------------------------------------------------------------------------------------------
// The not-connected rule

TEST_P(IndexContract, EveryOperationRefusesAfterDeleteIndex) {
  const Dataset ds = Clustered(4, kDim, kLists);
  ostrik::EncryptedIndex& index = OpenWith(ds);
  log_.Mark();
  index.DeleteIndex();
  ASSERT_FALSE(log_.Lines().empty());
  EXPECT_EQ(log_.Lines().front(), "INFO Deleting Index");
  EXPECT_FALSE(index.is_trained());
  EXPECT_EQ(index.index_name(), "");

  struct Case {
    std::string label;
    std::function<void()> call;
    std::vector<std::string> lines;
    Thrown thrown;
  };
  const std::string critical = "CRITICAL " + kNotConnected;
  const std::vector<Case> cases = {
      {"Upsert",
       [&] { index.Upsert(ds.Rows({0}), {"x"}, {}, {}); },
       {"INFO Upserting 1 items.", "ERROR " + kNotConnected},
       LogicError(kNotConnected)},
      {"Query",
       [&] { index.Query(ds.Rows({0}), Everything()); },
       {"INFO Query", critical},
       RuntimeError(kNotConnected)},
      {"Query of no rows: the row check comes first",
       [&] {
         index.Query(FloatMatrix{0, 9, {}}, Everything());
       },
       {"INFO Query"},
       InvalidArgument("Query vectors cannot be empty.")},
      {"TrainIndex",
       [&] { index.TrainIndex(QuickTraining()); },
       {"INFO TrainIndex", critical},
       RuntimeError(kNotConnected)},
      {"TrainAndSerialize",
       [&] { index.TrainAndSerialize(ds.vectors, QuickTraining(), false); },
       {critical},
       RuntimeError(kNotConnected)},
      {"Get", [&] { index.Get({"x"}, {}); }, {"INFO Get 1", critical}, RuntimeError(kNotConnected)},
      {"Get of no ids", [&] { index.Get({}, {}); }, {"INFO Get 0", critical}, RuntimeError(kNotConnected)},
      {"Delete", [&] { index.Delete({"x"}); }, {"INFO Deleting item", critical}, RuntimeError(kNotConnected)},
      {"Delete of no ids", [&] { index.Delete({}); }, {"INFO Deleting item", critical}, RuntimeError(kNotConnected)},
      {"DeleteIndex again",
       [&] { index.DeleteIndex(); },
       {"INFO Deleting Index", critical},
       RuntimeError(kNotConnected)},
      {"SerializeIndex", [&] { index.SerializeIndex(); }, {critical}, RuntimeError(kNotConnected)},
      {"index_config", [&] { index.index_config(); }, {critical}, RuntimeError(kNotConnected)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_.Mark();
    EXPECT_EQ(ThrownBy(c.call), c.thrown);
    EXPECT_EQ(log_.Lines(), c.lines);
  }
  EXPECT_FALSE(index.is_trained());
  EXPECT_EQ(index.index_name(), "");
}

// ---------------------------------------------------------------------------------------------
// Upsert

TEST_P(IndexContract, UpsertRefusalsComeBeforeAnythingIsStored) {
  const Dataset base = Clustered(8, kDim, kLists);
  const Dataset batch = [] {
    Dataset d = Clustered(3, kDim, kLists, 99);
    for (size_t i = 0; i < d.ids.size(); ++i) d.ids[i] = "new-" + std::to_string(i);
    return d;
  }();
  std::string deep;
  for (int i = 0; i < 101; ++i) deep += "{\"a\":";
  deep += "1" + std::string(101, '}');

  struct Case {
    std::string label;
    std::function<void(FloatMatrix&, std::vector<std::string>&, std::vector<Bytes>&, std::vector<std::string>&)> change;
    std::string text;
    bool duplicates = false;
  };
  const std::vector<Case> cases = {
      {"3 ids, 2 rows", [](auto& v, auto&, auto&, auto&) { v.rows = 2, v.data.resize(2 * kDim); },
       "Mismatch between the number of vectors and IDs."},
      {"no ids, 3 rows: the counts are compared first",
       [](auto&, auto& ids, auto& c, auto& m) { ids.clear(), c.clear(), m.clear(); },
       "Mismatch between the number of vectors and IDs."},
      {"nothing at all",
       [](auto& v, auto& ids, auto& c, auto& m) {
         v = FloatMatrix{0, kDim, {}};
         ids.clear(), c.clear(), m.clear();
       },
       "Vectors and IDs cannot be empty."},
      {"rows of width 3",
       [](auto& v, auto&, auto&, auto&) {
         v = FloatMatrix{3, 3, std::vector<float>(9, 1.0f)};
       },
       "The dimension of the vectors provided (3) doesn't match the index configuration (4)."},
      {"contents for 2 of 3 items", [](auto&, auto&, auto& c, auto&) { c.pop_back(); },
       "Mismatch between the number of vectors and items."},
      {"metadata for 2 of 3 items", [](auto&, auto&, auto&, auto& m) { m.pop_back(); },
       "Mismatch between the number of vectors and metadata."},
      {"fewer values than rows x dimension", [](auto& v, auto&, auto&, auto&) { v.data.pop_back(); },
       "Vector data does not hold rows x dimension values."},
      {"an empty id", [](auto&, auto& ids, auto&, auto&) { ids[1] = ""; }, "Item IDs cannot be empty."},
      {"NaN", [](auto& v, auto&, auto&, auto&) { v.data[kDim + 2] = std::nanf(""); },
       "The vector of item 'new-1' holds NaN or infinity."},
      {"infinity", [](auto& v, auto&, auto&, auto&) { v.data[2 * kDim] = -std::numeric_limits<float>::infinity(); },
       "The vector of item 'new-2' holds NaN or infinity."},
      {"metadata array", [](auto&, auto&, auto&, auto& m) { m[1] = "[1, 2]"; },
       "Metadata of item 'new-1' is not a JSON object."},
      {"metadata string", [](auto&, auto&, auto&, auto& m) { m[0] = "\"text\""; },
       "Metadata of item 'new-0' is not a JSON object."},
      {"metadata not JSON", [](auto&, auto&, auto&, auto& m) { m[2] = "{\"a\":"; },
       "Metadata of item 'new-2' is not valid JSON."},
      {"metadata nested too deep", [&deep](auto&, auto&, auto&, auto& m) { m[1] = deep; },
       "Metadata of item 'new-1' is nested deeper than 100 levels."},
      {"duplicates are counted before they are dropped",
       [](auto&, auto& ids, auto& c, auto&) {
         ids[1] = ids[0];
         c.pop_back();
       },
       "Mismatch between the number of vectors and items.", true},
  };
  for (bool trained : {false, true}) {
    ostrik::EncryptedIndex& index = OpenWith(base, trained ? "t" : "u");
    if (trained) index.TrainIndex(QuickTraining());
    const uint64_t stored = StoredCount(index);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(trained ? "trained: " : "untrained: ") + c.label);
      FloatMatrix vectors = batch.vectors;
      std::vector<std::string> ids = batch.ids, metadata = batch.metadata;
      std::vector<Bytes> contents = batch.contents;
      c.change(vectors, ids, contents, metadata);
      log_.Mark();
      testing::internal::CaptureStderr();
      const Thrown thrown = ThrownBy([&] { index.Upsert(vectors, ids, contents, metadata); });
      testing::internal::GetCapturedStderr();
      EXPECT_EQ(thrown, InvalidArgument(c.text));
      std::vector<std::string> lines = {"INFO Upserting " + std::to_string(ids.size()) + " items."};
      if (c.duplicates) lines.push_back("WARNING " + kDuplicates);
      lines.push_back("ERROR " + c.text);
      EXPECT_EQ(log_.Lines(), lines);
      EXPECT_EQ(StoredCount(index), stored);
      EXPECT_TRUE(index.Get(batch.ids, {}).empty());
    }
  }
}

TEST_P(IndexContract, DuplicatesKeepTheFirstOccurrence) {
  const Dataset ds = Clustered(3, kDim, kLists);
  ostrik::EncryptedIndex& index = Open(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  const std::vector<std::string> ids = {"a", "b", "a"};
  const std::vector<std::string> metadata = {R"({"v":1})", R"({"v":2})", R"({"v":3})"};
  const std::vector<Bytes> contents = {Bytes{1}, Bytes{2}, Bytes{3}};
  log_.Mark();
  testing::internal::CaptureStderr();
  index.Upsert(ds.vectors, ids, contents, metadata);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kDuplicates + "\n");
  ExpectInOrder(log_.Lines(), {"INFO Upserting 3 items.", "WARNING " + kDuplicates, "INFO IngestUntrained "});
  EXPECT_EQ(CountOf(log_.Lines(), "WARNING " + kDuplicates), 1u);
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  EXPECT_EQ(StoredCount(index), 2u);
  const auto got = index.Get({"a"}, {});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].vector, std::vector<float>(ds.vectors.row(0), ds.vectors.row(0) + kDim));
  EXPECT_EQ(got[0].metadata, metadata[0]);
  EXPECT_EQ(got[0].contents, contents[0]);
}

// A failure inside ingestion is written at CRITICAL with its step's prefix, once per guard it
// crosses, and thrown with the same text; an untrained upsert throws too.
TEST_P(IndexContract, IngestionFailuresCarryTheirPrefixes) {
  const Dataset ds = Clustered(8, kDim, kLists);
  struct Case {
    std::string label;
    bool trained;
    bool metadata;
    bool fail_index_store;              // else the data store
    std::vector<std::string> prefixes;  // of the CRITICAL lines, in order; the last is thrown
  };
  const std::vector<Case> cases = {
      {"untrained, the engine fails", false, false, false, {"Error ingesting: "}},
      {"trained, the engine fails", true, false, false, {"Error ingesting: ", "Error ingesting: Error ingesting: "}},
      {"trained, the metadata summaries fail",
       true,
       true,
       true,
       {"Error updating metadata: ", "Error ingesting: Error updating metadata: "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ostrik::EncryptedIndex& index = OpenWith(ds, c.trained ? "t" : "u");
    if (c.trained) index.TrainIndex(QuickTraining());
    ts::TokenIndex& engine = EncryptedIndexTestAccess::Engine(index);
    FaultyKeystore* store =
        c.fail_index_store ? FaultyKeystore::Wrap(engine.index_store_) : FaultyKeystore::Wrap(engine.data_store_);
    if (c.fail_index_store) {
      // The writer's first read of the index store is its head; the summaries come next.
      store->Arm(FaultyKeystore::Mode::kFailCall, 2, FaultyKeystore::Op::BatchGetVariable);
    } else {
      store->Arm(FaultyKeystore::Mode::kFailCall, 1);
    }
    log_.Mark();
    const Thrown thrown = ThrownBy(
        [&] { index.Upsert(ds.Rows({0}), {"new"}, {}, {c.metadata ? std::string(R"({"k":1})") : std::string()}); });
    store->Disarm();
    ASSERT_TRUE(store->fired());
    ASSERT_EQ(thrown.type, "runtime_error");
    ASSERT_EQ(thrown.text.rfind(c.prefixes.back(), 0), 0u) << thrown;
    const std::string cause = thrown.text.substr(c.prefixes.back().size());
    EXPECT_NE(cause.find(dz_test::kInjectedFault), std::string::npos) << cause;
    std::vector<std::string> critical;
    for (const std::string& line : log_.Problems()) {
      if (line.rfind("CRITICAL ", 0) == 0) critical.push_back(line);
    }
    std::vector<std::string> want;
    for (const std::string& prefix : c.prefixes) want.push_back("CRITICAL " + prefix + cause);
    EXPECT_EQ(critical, want);
  }
}

// ---------------------------------------------------------------------------------------------
// Query

TEST_P(IndexContract, QueryRefusalsAndEmptyAnswers) {
  const Dataset ds = Clustered(10, kDim, kLists);
  ostrik::EncryptedIndex& index = OpenWith(ds);
  struct Refusal {
    std::string label;
    FloatMatrix queries;
    std::vector<std::string> lines;
    Thrown thrown;
  };
  FloatMatrix nan_query = ds.Rows({0, 1});
  nan_query.data[kDim + 1] = std::nanf("");
  FloatMatrix inf_query = ds.Rows({0});
  inf_query.data[0] = std::numeric_limits<float>::infinity();
  FloatMatrix short_data = ds.Rows({0, 1});
  short_data.data.pop_back();
  const std::string dimension = "The dimension of the vectors provided (3) doesn't match the index configuration (4).";
  const std::vector<Refusal> refusals = {
      {"no rows, whatever the width: not logged",
       FloatMatrix{0, 3, {}},
       {"INFO Query"},
       InvalidArgument("Query vectors cannot be empty.")},
      {"width 3 on dimension 4",
       FloatMatrix{1, 3, {1, 2, 3}},
       {"INFO Query", "ERROR " + dimension},
       InvalidArgument(dimension)},
      {"fewer values than rows x dimension",
       short_data,
       {"INFO Query", "ERROR Query data does not hold rows x dimension values."},
       InvalidArgument("Query data does not hold rows x dimension values.")},
      {"NaN",
       nan_query,
       {"INFO Query", "ERROR Query vectors must not hold NaN or infinity."},
       InvalidArgument("Query vectors must not hold NaN or infinity.")},
      {"infinity",
       inf_query,
       {"INFO Query", "ERROR Query vectors must not hold NaN or infinity."},
       InvalidArgument("Query vectors must not hold NaN or infinity.")},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.label);
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] { index.Query(r.queries, Everything()); }), r.thrown);
    EXPECT_EQ(log_.Lines(), r.lines);
  }

  auto expect_rows = [](const ostrik::QueryResults& r, uint64_t queries, int32_t each) {
    EXPECT_EQ(r.n_queries, queries);
    ASSERT_EQ(r.result_counts.size(), queries);
    for (int32_t n : r.result_counts) EXPECT_EQ(n, each);
    if (each == 0) {
      EXPECT_EQ(r.top_k, 0u);
      EXPECT_TRUE(r.ids.data.empty());
    }
  };
  const FloatMatrix two = ds.Rows({0, 5});
  struct Answer {
    std::string label;
    ostrik::QueryParams params;
    int32_t each;
  };
  // Untrained: every item is searched; probes and greedy widening change nothing.
  const std::vector<Answer> untrained = {
      {"top_k beyond 32 bits is clamped, not cut to its low bits", Everything((uint64_t{1} << 32) + 3, 1), 10},
      {"largest top_k", Everything(std::numeric_limits<uint64_t>::max(), 1), 10},
      {"top_k 0", Everything(0), 0},
      {"n_probes 0 has no effect", Everything(4, 0), 4},
      {"a filter that matches nothing", Everything(5, 1, R"({"cluster": 99})"), 0},
  };
  for (const Answer& a : untrained) {
    SCOPED_TRACE("untrained: " + a.label);
    log_.Mark();
    expect_rows(index.Query(two, a.params), 2, a.each);
    ExpectInOrder(log_.Lines(), {"INFO Query", "INFO RetrieveUntrained"});
    EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  }

  index.TrainIndex(QuickTraining());
  const std::vector<Answer> trained = {
      {"all lists probed, top_k clamped", Everything((uint64_t{1} << 32) + 3, 1000), 10},
      {"n_probes 0 probes nothing", Everything(5, 0), 0},
      {"a filter no summary can match", Everything(5, 1000, R"({"cluster": 99})"), 0},
      {"a filter no item matches", Everything(5, 1000, R"({"$and": [{"cluster": 0}, {"cluster": 1}]})"), 0},
  };
  for (const Answer& a : trained) {
    SCOPED_TRACE("trained: " + a.label);
    log_.Mark();
    expect_rows(index.Query(two, a.params), 2, a.each);
    ExpectInOrder(log_.Lines(), {"INFO Query", "INFO RetrieveTrained", "INFO PreFiltering"});
    EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  }
}

// ---------------------------------------------------------------------------------------------
// Training

TEST_P(IndexContract, TrainingRefusals) {
  const Dataset ds = Clustered(5, kDim, 4);
  ostrik::EncryptedIndex& index = Open(UniqueName(), ostrik::IndexIVFFlat(kDim, 4));
  index.Upsert(ds.Rows({0, 1, 2, 3}), {"a", "b", "c", "d"}, {}, {});
  index.Delete({"d"});  // a deleted item is no training vector: three remain for four lists

  log_.Mark();
  EXPECT_EQ(ThrownBy([&] { index.TrainIndex(QuickTraining()); }), InvalidArgument(kTooFew));
  ASSERT_FALSE(log_.Lines().empty());
  EXPECT_EQ(log_.Lines().front(), "INFO TrainIndex");
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{"ERROR " + kTooFew});
  EXPECT_FALSE(index.is_trained());
  EXPECT_EQ(index.Get({"a", "b", "c"}, {}).size(), 3u);

  // Exactly n_lists live items train.
  index.Upsert(ds.Rows({4}), {"e"}, {}, {});
  log_.Mark();
  index.TrainIndex(QuickTraining());
  EXPECT_TRUE(index.is_trained());
  ExpectInOrder(log_.Lines(), {"INFO TrainIndex", "INFO TrainQuantizers"});
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{});

  log_.Mark();
  EXPECT_EQ(ThrownBy([&] { index.TrainIndex(QuickTraining()); }), LogicError("Index has already been trained."));
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"INFO TrainIndex", "ERROR Index has already been trained."}));
  EXPECT_TRUE(index.is_trained());
}

// Training re-adds the stored items as an upsert on the trained path and reports like one.
TEST_P(MemoryContract, TrainingReAddsAsAnUpsert) {
  const Dataset ds = Clustered(8, kDim, kLists);
  ostrik::EncryptedIndex& index = OpenWith(ds);
  log_.Mark();
  index.TrainIndex(QuickTraining());
  ExpectInOrder(log_.Lines(),
                {"INFO TrainIndex", "INFO TrainQuantizers", "INFO Upserting 8 items.", "INFO IngestTrained "});
}

TEST_P(IndexContract, TrainAndSerializeRefusalsDeleteNothing) {
  const Dataset ds = Clustered(8, kDim, kLists);
  const std::string name = UniqueName();
  ostrik::EncryptedIndex& index = Open(name, ostrik::IndexIVFFlat(kDim, kLists));
  index.Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata);
  const Bytes before = index.SerializeIndex();

  FloatMatrix nan_rows = ds.vectors;
  nan_rows.data[3] = std::nanf("");
  FloatMatrix short_data = ds.vectors;
  short_data.data.pop_back();
  const std::string dimension = "The dimension of the vectors provided (3) doesn't match the index configuration (4).";
  struct Case {
    std::string label;
    FloatMatrix vectors;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"width 3", FloatMatrix{2, 3, std::vector<float>(6, 1.0f)}, dimension},
      {"one row of width 3: the width is checked first", FloatMatrix{1, 3, {1, 2, 3}}, dimension},
      {"fewer values than rows x dimension", short_data, "Vector data does not hold rows x dimension values."},
      {"fewer rows than lists", ds.Rows({0}), kTooFew},
      {"no rows", FloatMatrix{0, kDim, {}}, kTooFew},
      {"NaN", nan_rows, "Training vectors must not hold NaN or infinity."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] { index.TrainAndSerialize(c.vectors, QuickTraining(), true); }), InvalidArgument(c.text));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"ERROR " + c.text});
    ASSERT_TRUE(EncryptedIndexTestAccess::Connected(index));
    EXPECT_EQ(index.SerializeIndex(), before);
    EXPECT_EQ(index.Get(ds.ids, {}).size(), ds.ids.size());
  }

  // Kept: the bytes are a trained copy of the configuration; the live index is as it was.
  log_.Mark();
  const Bytes bytes = index.TrainAndSerialize(ds.vectors, QuickTraining(), false);
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"INFO TrainQuantizers"});
  EXPECT_EQ(index.SerializeIndex(), before);
  EXPECT_FALSE(index.is_trained());
  const ostrik::SerializedIndex read = ostrik::ReadSerializedIndex(bytes);
  EXPECT_EQ(read.index_name, name);
  EXPECT_TRUE(read.is_trained);
  EXPECT_EQ(read.config->dimension(), kDim);
  EXPECT_EQ(read.config->n_lists(), static_cast<uint64_t>(kLists));
  ASSERT_EQ(read.quantizers.coarse.size(), 1u);
  EXPECT_EQ(read.quantizers.coarse[0].rows, static_cast<uint64_t>(kLists));
  EXPECT_EQ(read.quantizers.coarse[0].cols, kDim);
  EXPECT_EQ(read.quantizers.coarse[0].count, kLists);

  // Only a client whose every location is memory builds an index from bytes.
  if (persistent()) {
    EXPECT_EQ(ThrownBy([&] { Client().LoadSerializedIndex(bytes, Key(), &Logger::instance()); }),
              InvalidArgument(kMemoryOnly));
  }
}

// ---------------------------------------------------------------------------------------------
// Loading

TEST_P(PersistentContract, LoadIndexRefusals) {
  const std::string store = GetParam() == Backend::Postgres ? "Postgres" : "Redis";
  const std::string a = UniqueName("a");
  ostrik::EncryptedIndex& index = Open(a, ostrik::IndexIVFFlat(kDim, kLists));
  ts::TokenIndex& engine = EncryptedIndexTestAccess::Engine(index);
  const Bytes state = engine.SerializeState();
  const Bytes three_lists_state =
      EncryptedIndexTestAccess::Engine(Open(UniqueName("c"), ostrik::IndexIVFFlat(kDim, 3))).SerializeState();
  const Bytes wide_state =
      EncryptedIndexTestAccess::Engine(Open(UniqueName("w"), ostrik::IndexIVFFlat(kDim + 1, kLists))).SerializeState();
  auto load = [&](const std::string& name, const ostrik::IndexKey& key) {
    return ThrownBy([&] { Keep(Client().LoadIndex(name, key, 0, &Logger::instance())); });
  };

  const std::string never = UniqueName("never");
  EXPECT_EQ(load(never, Key()), RuntimeError("Index name '" + never + "' does not exist in " + store + "."));

  log_.Mark();
  EXPECT_EQ(load(a, Key(0x99)), RuntimeError("Failed to decrypt 1 ciphertexts"));
  EXPECT_EQ(log_.Problems(), std::vector<std::string>{"ERROR Failed to decrypt 1 ciphertexts"});

  // Config items written under another name through the index's own engine (so under its key);
  // removed again through a config store of that name.
  const std::string d = UniqueName("d");
  struct Case {
    std::string label;
    Bytes state;
    std::optional<Bytes> serialized;  // none: the ".ovs" item is missing
    std::string problem;              // empty: the config store's not-found refusal
  };
  const auto serialized = [&](const std::string& name, uint64_t dimension, uint64_t lists, ostrik::Quantizers q,
                              bool trained) {
    return ostrik::SerializeIndexTable(name, ostrik::IndexIVFFlat(dimension, lists), q, trained);
  };
  ostrik::QuantizerMatrix three_rows;
  three_rows.count = 3;
  three_rows.rows = 3;
  three_rows.cols = kDim;
  three_rows.data.assign(3 * kDim, 0.5f);
  const std::vector<Case> cases = {
      {"no serialized index", state, std::nullopt, ""},
      {"the serialized index of another index", state, index.SerializeIndex(), "it names the index '" + a + "'"},
      {"a trained serialized index without fitting centroids", state,
       serialized(d, kDim, kLists, {{three_rows}, {}}, true),
       "The coarse centroid matrix (3 centroids, 3 x 4) does not match the index configuration (2 lists of "
       "dimension 4)."},
      {"an engine state of another list count", three_lists_state, serialized(d, kDim, kLists, {}, false),
       "it keeps 3 lists for a configuration of 2"},
      {"an engine state of another width", wide_state, serialized(d, kDim, kLists, {}, false),
       "its payloads are 20 bytes for vectors of dimension 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::unique_ptr<bs::Keystore> config_store = bs::CreateKeystore(config_, d, 0, bs::CONFIG);
    config_store->DeleteIndex();
    engine.PushConfig(d + ts::kStateSuffix, c.state);
    if (c.serialized) engine.PushConfig(d + ts::kIndexConfigSuffix, *c.serialized);
    log_.Mark();
    const Thrown thrown = load(d, Key());
    config_store->DeleteIndex();
    if (c.problem.empty()) {
      EXPECT_EQ(thrown, RuntimeError("Index name '" + d + "' does not exist in " + store + "."));
      // The engine was built before the serialized index was looked for.
      ExpectInOrder(log_.Lines(), {"INFO Index successfully loaded",
                                   "ERROR Index name '" + d + ".ovs' does not exist in " + store + "."});
      continue;
    }
    const std::string text = "The stored index '" + d + "' is inconsistent: " + c.problem;
    EXPECT_EQ(thrown, RuntimeError(text));
    EXPECT_EQ(CountOf(log_.Problems(), "ERROR " + text), 1u) << testing::PrintToString(log_.Problems());
  }

  // After DeleteIndex nothing is left to load.
  index.DeleteIndex();
  EXPECT_EQ(load(a, Key()), RuntimeError("Index name '" + a + "' does not exist in " + store + "."));
}

TEST_P(PersistentContract, LoadingWithoutALoggerResetsTheSingleton) {
  const std::string name = UniqueName();
  Open(name, ostrik::IndexIVFFlat(kDim, kLists));
  ASSERT_EQ(Logger::instance().level(), ostrik::INFO);
  Keep(Client().LoadIndex(name, Key(), 0, nullptr));
  EXPECT_EQ(Logger::instance().level(), ostrik::ERROR);
  EXPECT_EQ(ostrik::current_logger, &Logger::instance());
  EXPECT_EQ(ostrik::engine_logger, &Logger::instance());
}

// ---------------------------------------------------------------------------------------------
// Listing

TEST_P(IndexContract, ListIndexesListsTheConfigLocation) {
  const std::string a = UniqueName("a"), b = UniqueName("b");
  Open(a, ostrik::IndexIVFFlat(kDim, kLists));
  ostrik::EncryptedIndex& second = Open(b, ostrik::IndexIVFFlat(kDim, kLists));
  switch (GetParam()) {
    case Backend::Memory:
      EXPECT_EQ(Client().ListIndexes(), std::vector<std::string>{});
      break;
    case Backend::Redis:
      EXPECT_EQ(ThrownBy([&] { Client().ListIndexes(); }),
                InvalidArgument("Listing indexes needs a PostgreSQL or memory config location."));
      break;
    case Backend::Postgres: {
      auto listed = [&] {
        const auto names = Client().ListIndexes();
        return std::set<std::string>(names.begin(), names.end());
      };
      EXPECT_TRUE(listed().count(a));
      EXPECT_TRUE(listed().count(b));
      second.DeleteIndex();
      EXPECT_TRUE(listed().count(a));
      EXPECT_FALSE(listed().count(b));
      // The config location decides, whatever the index location is.
      const auto by_config = ostrik::Client(Memory(), config_, Memory()).ListIndexes();
      EXPECT_EQ(std::count(by_config.begin(), by_config.end(), a), 1);
      EXPECT_EQ(ostrik::Client(index_, Memory(), items_).ListIndexes(), std::vector<std::string>{});
      break;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Checks that come before any store is contacted, and what lives in memory only

TEST_P(MemoryContract, LoadIndexChecks) {
  struct Case {
    std::string label;
    ostrik::DBConfig index, config, items;
    std::string name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"memory index location", Memory(), UnreachablePg(), UnreachablePg(), "x", kNoMemoryLoad},
      {"memory config location", UnreachablePg(), Memory(), UnreachablePg(), "x", kNoMemoryLoad},
      {"memory items location", UnreachablePg(), UnreachablePg(), Memory(), "x", kNoMemoryLoad},
      {"memory everywhere", Memory(), Memory(), Memory(), "x", kNoMemoryLoad},
      {"the location is checked before the name", UnreachableRedis(), UnreachableRedis(), Memory(), "", kNoMemoryLoad},
      {"empty name on PostgreSQL", UnreachablePg(), UnreachablePg(), UnreachablePg(), "",
       "Index name cannot be an empty string."},
      {"empty name on Redis", UnreachableRedis(), UnreachableRedis(), UnreachableRedis(), "",
       "Index name cannot be an empty string."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_.Mark();
    EXPECT_EQ(
        ThrownBy([&] { ostrik::Client(c.index, c.config, c.items).LoadIndex(c.name, Key(), 0, &Logger::instance()); }),
        InvalidArgument(c.text));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
  }
}

TEST_P(MemoryContract, LoadSerializedIndexChecks) {
  ostrik::QuantizerMatrix centroids;
  centroids.count = 4;
  centroids.rows = 4;
  centroids.cols = 3;
  centroids.data.assign(12, 0.5f);
  auto with = [](ostrik::QuantizerMatrix m, std::function<void(ostrik::QuantizerMatrix&)> change) {
    change(m);
    return m;
  };
  auto bytes = [](const std::string& name, uint64_t dimension, uint64_t lists,
                  std::vector<ostrik::QuantizerMatrix> coarse, bool trained) {
    return ostrik::SerializeIndexTable(name, ostrik::IndexIVFFlat(dimension, lists), {std::move(coarse), {}}, trained);
  };
  Bytes bad_metric = bytes("m", 3, 4, {}, false);
  // The metric text sits in the buffer as "Euclidean": make it the Python spelling.
  const std::string euclidean = "Euclidean";
  auto at = std::search(bad_metric.begin(), bad_metric.end(), euclidean.begin(), euclidean.end());
  ASSERT_NE(at, bad_metric.end());
  *at = 'e';
  const Bytes good = bytes("x", 3, 4, {}, false);

  // The bytes are read first, then every location must be memory.
  struct ClientCase {
    std::string label;
    ostrik::Client client;
    Bytes serialized;
    Thrown thrown;
  };
  const ostrik::DBConfig m = Memory();
  std::vector<ClientCase> clients = {
      {"no bytes", {m, m, m, 1}, {}, InvalidArgument("Could not deserialize index config: buffer is empty")},
      {"11 bytes",
       {m, m, m, 1},
       Bytes(11, 0x0c),
       InvalidArgument("Could not deserialize index config: buffer is invalid")},
      {"no bytes, PostgreSQL index location",
       {UnreachablePg(), m, m},
       {},
       InvalidArgument("Could not deserialize index config: buffer is empty")},
      {"a bad metric text, PostgreSQL locations",
       {UnreachablePg(), UnreachablePg(), m},
       bad_metric,
       InvalidArgument("Unknown distance metric")},
      {"a PostgreSQL index location", {UnreachablePg(), m, m}, good, InvalidArgument(kMemoryOnly)},
      {"a Redis config location", {m, UnreachableRedis(), m}, good, InvalidArgument(kMemoryOnly)},
      {"a PostgreSQL items location", {m, m, UnreachablePg()}, good, InvalidArgument(kMemoryOnly)},
  };
  for (ClientCase& c : clients) {
    SCOPED_TRACE(c.label);
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] { c.client.LoadSerializedIndex(c.serialized, Key(), &Logger::instance()); }), c.thrown);
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
  }

  // Bytes from outside are checked like stored ones; the index's own checks come after.
  const std::string shape = "Could not deserialize index config: ";
  const std::string mismatch = " does not match the index configuration (4 lists of dimension 3).";
  const std::string wrapped = "Failed to create index from serialized config: ";
  struct Case {
    std::string label;
    Bytes serialized;
    Thrown thrown;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {"trained without centroids",
       bytes("x", 3, 4, {}, true),
       InvalidArgument(shape + "A trained index must have exactly one coarse centroid matrix, found 0."),
       {}},
      {"trained with two coarse matrices",
       bytes("x", 3, 4, {centroids, centroids}, true),
       InvalidArgument(shape + "A trained index must have exactly one coarse centroid matrix, found 2."),
       {}},
      {"three centroids for four lists",
       bytes("x", 3, 4, {with(centroids, [](auto& c) { c.count = 3, c.rows = 3, c.data.resize(9); })}, true),
       InvalidArgument(shape + "The coarse centroid matrix (3 centroids, 3 x 3)" + mismatch),
       {}},
      {"centroids of width 2",
       bytes("x", 3, 4, {with(centroids, [](auto& c) { c.cols = 2, c.data.resize(8); })}, true),
       InvalidArgument(shape + "The coarse centroid matrix (4 centroids, 4 x 2)" + mismatch),
       {}},
      {"a count apart from the rows",
       bytes("x", 3, 4, {with(centroids, [](auto& c) { c.count = 5; })}, true),
       InvalidArgument(shape + "The coarse centroid matrix (5 centroids, 4 x 3)" + mismatch),
       {}},
      {"a negative count",
       bytes("x", 3, 4, {with(centroids, [](auto& c) { c.count = -4; })}, true),
       InvalidArgument(shape + "The coarse centroid matrix (-4 centroids, 4 x 3)" + mismatch),
       {}},
      {"more lists than a signed 32-bit count",
       bytes("x", 3, uint64_t{1} << 31, {}, false),
       InvalidArgument(shape + "n_lists 2147483648 exceeds the largest list count (2147483647)."),
       {}},
      {"empty name, before the list count",
       bytes("", 3, 0, {}, false),
       RuntimeError(wrapped + "Index name cannot be an empty string."),
       {"ERROR Index name cannot be an empty string."}},
      {"no lists, before no dimension",
       bytes("x", 0, 0, {}, false),
       RuntimeError(wrapped + "n_lists cannot be 0."),
       {"ERROR n_lists cannot be 0."}},
      {"no dimension",
       bytes("x", 0, 4, {}, false),
       RuntimeError(wrapped + "Vector dimension cannot be 0."),
       {"ERROR Vector dimension cannot be 0."}},
      {"an untrained index keeps whatever centroids it carries",
       bytes("x", 3, 4, {centroids, centroids}, false),
       Thrown{},
       {}},
  };
  ostrik::Client memory(m, m, m, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_.Mark();
    EXPECT_EQ(ThrownBy([&] { Keep(memory.LoadSerializedIndex(c.serialized, Key(), &Logger::instance())); }), c.thrown);
    EXPECT_EQ(log_.Problems(), c.problems);
  }
}

TEST_P(MemoryContract, ASerializedIndexOpensTrainedAndTakesItems) {
  const Dataset ds = Clustered(8, kDim, kLists);
  const Bytes bytes = OpenWith(ds).TrainAndSerialize(ds.vectors, QuickTraining(), true);
  ostrik::Client client(Memory(), Memory(), Memory(), 1);

  // With a logger the singleton keeps its configuration.
  ostrik::EncryptedIndex& index = Keep(client.LoadSerializedIndex(bytes, Key(), &Logger::instance()));
  EXPECT_EQ(Logger::instance().level(), ostrik::INFO);
  EXPECT_TRUE(index.is_trained());
  log_.Mark();
  index.Upsert(ds.vectors, ds.ids, {}, ds.metadata);
  ExpectInOrder(log_.Lines(), {"INFO Upserting 8 items.", "INFO IngestTrained "});
  log_.Mark();
  EXPECT_EQ(Row(index.Query(ds.Rows({3}), Everything(1)), 0).at(0).id, ds.ids[3]);
  ExpectInOrder(log_.Lines(), {"INFO Query", "INFO RetrieveTrained"});

  // Without one it is reset to ERROR on the console.
  Keep(client.LoadSerializedIndex(bytes, Key(), nullptr));
  EXPECT_EQ(Logger::instance().level(), ostrik::ERROR);
}

// A build without GPU support refuses every step a GPU client routes to the GPU, with the kernel's
// or the engine's text, before anything is stored.
TEST_P(MemoryContract, GpuStepsRefuseWithoutGpuSupport) {
  const std::string cuda =
      "CUDA support is required, but the library was built without CUDA. Please build and run the program with "
      "CUDA support (e.g., ./build.sh -cuda).";
  const Dataset ds = Clustered(8, kDim, kLists);
  ostrik::Client gpu(Memory(), Memory(), Memory(), 1, true);
  const Bytes trained_bytes = OpenWith(ds).TrainAndSerialize(ds.vectors, QuickTraining(), false);
  ostrik::EncryptedIndex& untrained =
      Keep(gpu.CreateIndex(UniqueName(), Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, &Logger::instance()));
  ostrik::EncryptedIndex& trained = Keep(gpu.LoadSerializedIndex(trained_bytes, Key(), &Logger::instance()));
  ASSERT_TRUE(trained.is_trained());

  struct Case {
    std::string label;
    ostrik::EncryptedIndex* index;
    std::function<void(ostrik::EncryptedIndex&)> call;
    Thrown thrown;
  };
  const std::vector<Case> cases = {
      {"untrained upsert: the engine refuses", &untrained, [&](auto& i) { i.Upsert(ds.vectors, ds.ids, {}, {}); },
       RuntimeError("Error ingesting: " + cuda)},
      {"untrained query: the engine's fetch", &untrained, [&](auto& i) { i.Query(ds.Rows({0}), Everything()); },
       RuntimeError(cuda)},
      {"training: the engine's fetch", &untrained, [&](auto& i) { i.TrainIndex(QuickTraining()); }, RuntimeError(cuda)},
      {"train and serialize: the k-means kernel", &untrained,
       [&](auto& i) { i.TrainAndSerialize(ds.vectors, QuickTraining(), true); }, RuntimeError(cuda)},
      {"trained upsert: the encoding kernel", &trained, [&](auto& i) { i.Upsert(ds.vectors, ds.ids, {}, {}); },
       RuntimeError("Error ingesting: " + cuda)},
      {"trained query: the probe kernel", &trained, [&](auto& i) { i.Query(ds.Rows({0}), Everything()); },
       RuntimeError(cuda)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ThrownBy([&] { c.call(*c.index); }), c.thrown);
    EXPECT_TRUE(EncryptedIndexTestAccess::Connected(*c.index));
    EXPECT_EQ(StoredCount(*c.index), 0u);
  }
  EXPECT_FALSE(untrained.is_trained());
  EXPECT_TRUE(trained.is_trained());
}

TEST_P(MemoryContract, CreatingWithoutALoggerResetsTheSingleton) {
  log_.Mark();
  Keep(Client().CreateIndex(UniqueName(), Key(), ostrik::IndexIVFFlat(kDim, kLists), 0, nullptr));
  EXPECT_EQ(Logger::instance().level(), ostrik::ERROR);
  EXPECT_EQ(ostrik::current_logger, &Logger::instance());
  // The reset comes first: not even the creation's own INFO line reaches the file.
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
}

TEST_P(MemoryContract, ListIndexesRefusals) {
  EXPECT_EQ(ThrownBy([] { ostrik::Client(UnreachablePg(), UnreachableRedis(), Memory()).ListIndexes(); }),
            InvalidArgument("Listing indexes needs a PostgreSQL or memory config location."));
  // A listing that fails says so on standard error and is refused with its own text.
  testing::internal::CaptureStderr();
  const Thrown thrown = ThrownBy([] { ostrik::Client(Memory(), UnreachablePg(), Memory()).ListIndexes(); });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown.type, "invalid_argument");
  EXPECT_EQ(thrown.text.rfind("Failed to connect to PostgreSQL: ", 0), 0u) << thrown;
  EXPECT_NE(err.find("Error in ListIndexes for Postgres: " + thrown.text + "\n"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// Get, Delete and the lines of a whole road

TEST_P(MemoryContract, GetReturnsTheSelectedFields) {
  ostrik::EncryptedIndex& index = Open(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists));
  const FloatMatrix vectors{2, kDim, {1, 2, 3, 4, 5, 6, 7, 8}};
  index.Upsert(vectors, {"full", "bare"}, {Bytes{'c', 0, 'd'}, Bytes{}}, {R"({"k":1})", ""});
  struct Case {
    std::vector<int32_t> include;
    bool vector, metadata, contents;
  };
  const std::vector<Case> cases = {
      {{}, true, true, true},       {{0}, true, false, false},   {{1}, false, true, false},
      {{2}, false, false, true},    {{0, 2}, true, false, true}, {{2, 1, 0}, true, true, true},
      {{1, 1}, false, true, false}, {{7}, false, false, false},  {{-1, 3}, false, false, false},
      {{7, 2}, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("include " + testing::PrintToString(c.include));
    log_.Mark();
    const auto got = index.Get({"full", "never", "bare"}, c.include);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, "full");
    EXPECT_EQ(got[1].id, "bare");
    EXPECT_EQ(got[0].vector, (c.vector ? std::vector<float>{1, 2, 3, 4} : std::vector<float>{}));
    EXPECT_EQ(got[1].vector, (c.vector ? std::vector<float>{5, 6, 7, 8} : std::vector<float>{}));
    EXPECT_EQ(got[0].metadata, c.metadata ? R"({"k":1})" : "");
    EXPECT_EQ(got[0].contents, (c.contents ? Bytes({'c', 0, 'd'}) : Bytes{}));
    EXPECT_EQ(got[1].metadata, "");
    EXPECT_TRUE(got[1].contents.empty());
    // One conversion line per returned item.
    const std::vector<std::string> lines = log_.Lines();
    ExpectInOrder(lines, {"INFO Get 3", "INFO Retrieving 3 items"});
    EXPECT_EQ(CountOf(lines, "INFO convertBytesToFloats"), 2u);
    EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  }

  // No ids: two lines and no store call; no ids to delete: one line and no store call.
  ts::TokenIndex& engine = EncryptedIndexTestAccess::Engine(index);
  FaultyKeystore* data = FaultyKeystore::Wrap(engine.data_store_);
  FaultyKeystore* items = FaultyKeystore::Wrap(engine.items_store_);
  log_.Mark();
  EXPECT_TRUE(index.Get({}, {}).empty());
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"INFO Get 0", "INFO Retrieving 0 items"}));
  log_.Mark();
  index.Delete({});
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"INFO Deleting item"});
  EXPECT_EQ(data->calls() + items->calls(), 0u);

  // Deleting twice, or ids never stored, is no error.
  for (int round = 0; round < 2; ++round) {
    log_.Mark();
    index.Delete({"full", "never"});
    EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  }
  EXPECT_TRUE(index.Get({"full"}, {}).empty());
}

// The lines each step of a request's road writes, in order, with nothing at WARNING or above.
TEST_P(MemoryContract, EachStepWritesItsLines) {
  const Dataset ds = Clustered(8, kDim, kLists);
  struct Step {
    std::string label;
    std::function<void(ostrik::EncryptedIndex*&)> run;
    std::vector<std::string> lines;
  };
  ostrik::EncryptedIndex* index = nullptr;
  const std::vector<Step> steps = {
      {"create",
       [&](auto*& i) { i = &Open(UniqueName(), ostrik::IndexIVFFlat(kDim, kLists)); },
       {"INFO EncryptedIndex created with new index configuration"}},
      {"untrained upsert",
       [&](auto*& i) { i->Upsert(ds.vectors, ds.ids, ds.contents, ds.metadata); },
       {"INFO Upserting 8 items.", "INFO IngestUntrained "}},
      {"untrained query",
       [&](auto*& i) { i->Query(ds.Rows({0}), Everything(3)); },
       {"INFO Query", "INFO RetrieveUntrained"}},
      {"train", [&](auto*& i) { i->TrainIndex(QuickTraining()); }, {"INFO TrainIndex", "INFO TrainQuantizers"}},
      {"trained upsert",
       [&](auto*& i) { i->Upsert(ds.Rows({1}), {"again"}, {}, {ds.metadata[1]}); },
       {"INFO Upserting 1 items.", "INFO IngestTrained "}},
      {"trained query",
       [&](auto*& i) { i->Query(ds.Rows({0}), Everything(3, 2)); },
       {"INFO Query", "INFO RetrieveTrained", "INFO PreFiltering"}},
      {"get",
       [&](auto*& i) { i->Get({"again"}, {}); },
       {"INFO Get 1", "INFO Retrieving 1 items", "INFO convertBytesToFloats"}},
      {"delete", [&](auto*& i) { i->Delete({"again"}); }, {"INFO Deleting item"}},
      {"train and serialize",
       [&](auto*& i) { i->TrainAndSerialize(ds.vectors, QuickTraining(), false); },
       {"INFO TrainQuantizers"}},
      {"delete the index", [&](auto*& i) { i->DeleteIndex(); }, {"INFO Deleting Index"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.label);
    log_.Mark();
    ASSERT_EQ(ThrownBy([&] { s.run(index); }), Thrown{});
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), s.lines.front());  // the operation's own line comes first
    ExpectInOrder(lines, s.lines);
    EXPECT_EQ(log_.Problems(), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexContract, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, MemoryContract, testing::Values(Backend::Memory), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PersistentContract, testing::Values(Backend::Postgres, Backend::Redis), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, PostgresContract, testing::Values(Backend::Postgres), BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, LongNameContract, testing::Values(Backend::Memory, Backend::Redis), BackendName);

}  // namespace
}  // namespace index_test
