// The serialized index format: what the writer puts into a buffer (field by field and, for one
// small index, byte by byte), what the readers make of every field of buffers they did not write,
// and how short, truncated, corrupted and hostile buffers are refused without reading outside them.
#include "index/serialized_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/client.h"
#include "index_fixture.h"
#include "schemas/serialized_index_generated.h"
#include "thrown.h"

namespace index_test {
namespace {

using ostrik::Bytes;
using ostrik::QuantizerMatrix;
using ostrik::Quantizers;
namespace schema = ostrik::schema;

constexpr const char* kEmpty = "Could not deserialize index config: buffer is empty";
constexpr const char* kInvalid = "Could not deserialize index config: buffer is invalid";
constexpr const char* kUnknownType = "Unknown index type";
constexpr const char* kUnknownMetric = "Unknown distance metric";
constexpr const char* kBadMatrix = "Data size must be a multiple of the number of columns";

// Whether a table stores a field: the generated tables hide the base that can tell.
bool Has(const void* table, flatbuffers::voffset_t field) {
  return static_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

ostrik::IndexIVFFlat Config(uint64_t dimension, uint64_t n_lists, int32_t metric,
                            std::optional<std::string> model = std::nullopt) {
  ostrik::IndexIVFFlat config(dimension, n_lists);
  config.metric = metric;
  config.embedding_model = std::move(model);
  return config;
}

// rows x cols values counting up from `first` in quarter steps: every value differs from its
// neighbours, so a reordering shows.
QuantizerMatrix Mat(int32_t count, uint64_t rows, uint64_t cols, float first = 1.0f) {
  QuantizerMatrix m;
  m.count = count;
  m.rows = rows;
  m.cols = cols;
  for (uint64_t i = 0; i < rows * cols; ++i) m.data.push_back(first + 0.25f * static_cast<float>(i));
  return m;
}

// Bitwise, so that NaN payloads and negative zero count as carried or lost.
void ExpectSameMatrices(const std::vector<QuantizerMatrix>& got, const std::vector<QuantizerMatrix>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("matrix " + std::to_string(i));
    EXPECT_EQ(got[i].count, want[i].count);
    EXPECT_EQ(got[i].rows, want[i].rows);
    EXPECT_EQ(got[i].cols, want[i].cols);
    ASSERT_EQ(got[i].data.size(), want[i].data.size());
    if (want[i].data.empty()) continue;
    EXPECT_EQ(0, std::memcmp(got[i].data.data(), want[i].data.data(), want[i].data.size() * sizeof(float)));
  }
}

struct Fields {
  std::string label;
  std::string name;
  uint64_t dimension;
  uint64_t n_lists;
  int32_t metric;
  std::optional<std::string> model;
  Quantizers quantizers;
  bool trained;
};

std::vector<Fields> RoundTripCases() {
  QuantizerMatrix odd_floats = Mat(2, 2, 3);
  odd_floats.data = {std::numeric_limits<float>::quiet_NaN(),  -0.0f,
                     std::numeric_limits<float>::infinity(),   -std::numeric_limits<float>::infinity(),
                     std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};
  return {
      {"untrained without centroids, Euclidean, no model", "idx", 8, 4, ostrik::Euclidean, std::nullopt, {}, false},
      {"Cosine with a model name", "cos", 5, 3, ostrik::Cosine, "example/encoder-small", {}, false},
      {"SquaredEuclidean with an empty model name", "sq", 2, 2, ostrik::SquaredEuclidean, "", {}, false},
      {"trained, one coarse matrix", "abc", 3, 4, ostrik::Euclidean, std::nullopt, {{Mat(4, 4, 3)}, {}}, true},
      {"both lists, several matrices, count apart from rows",
       "lists",
       3,
       2,
       ostrik::Cosine,
       std::nullopt,
       {{Mat(2, 2, 3), Mat(7, 1, 3, -5.0f)}, {Mat(0, 0, 5), Mat(-1, 2, 2, 9.0f)}},
       true},
      {"special float values in centroids", "floats", 3, 2, ostrik::Euclidean, std::nullopt, {{odd_floats}, {}}, true},
      {"empty name", "", 4, 1, ostrik::Euclidean, std::nullopt, {}, false},
      {"name with a NUL byte and UTF-8",
       std::string("na\0me-\xc3\xa9", 8),
       4,
       1,
       ostrik::Euclidean,
       std::string("m\0x", 3),
       {},
       false},
      {"largest 32-bit dimension and list count",
       "wide",
       4294967295ull,
       4294967295ull,
       ostrik::Euclidean,
       std::nullopt,
       {},
       false},
      {"zero dimension and list count are left out", "zero", 0, 0, ostrik::Cosine, std::nullopt, {}, false},
  };
}

TEST(SerializedIndex, EveryFieldRoundTripsAndOnlyWrittenFieldsArePresent) {
  for (const Fields& c : RoundTripCases()) {
    SCOPED_TRACE(c.label);
    const ostrik::IndexIVFFlat config = Config(c.dimension, c.n_lists, c.metric, c.model);
    const Bytes bytes = ostrik::SerializeIndexTable(c.name, config, c.quantizers, c.trained);

    const ostrik::SerializedIndex read = ostrik::ReadSerializedIndex(bytes);
    EXPECT_EQ(read.index_name, c.name);
    ASSERT_NE(read.config, nullptr);
    EXPECT_EQ(read.config->dimension(), c.dimension);
    EXPECT_EQ(read.config->n_lists(), c.n_lists);
    EXPECT_EQ(read.config->metric, c.metric);
    EXPECT_EQ(read.config->index_type, ostrik::IVFFLAT);
    EXPECT_EQ(read.config->embedding_model, c.model);
    EXPECT_EQ(read.config->pq_dim(), 0u);
    EXPECT_EQ(read.config->pq_bits(), 0u);
    EXPECT_EQ(read.is_trained, c.trained);
    ExpectSameMatrices(read.quantizers.coarse, c.quantizers.coarse);
    ExpectSameMatrices(read.quantizers.secondary, c.quantizers.secondary);

    // Which fields the writer stores: scalars only when not 0, every string, table and vector
    // always, the model exactly when set (an empty set name included).
    const schema::IndexTable* root = ostrik::VerifySerializedIndex(bytes);
    EXPECT_TRUE(Has(root, schema::IndexTable::VT_INDEX_NAME));
    EXPECT_EQ(Has(root, schema::IndexTable::VT_IS_TRAINED), c.trained);
    const schema::IndexConfigTable* table = root->config();
    ASSERT_NE(table, nullptr);
    ASSERT_NE(table->index_type(), nullptr);
    EXPECT_EQ(table->index_type()->str(), "IVFFLAT");
    const char* metric_texts[] = {"Cosine", "Euclidean", "SquaredEuclidean"};
    ASSERT_NE(table->metric(), nullptr);
    EXPECT_EQ(table->metric()->str(), metric_texts[c.metric]);
    EXPECT_EQ(Has(table, schema::IndexConfigTable::VT_DIMENSION), c.dimension != 0);
    EXPECT_EQ(Has(table, schema::IndexConfigTable::VT_N_LISTS), c.n_lists != 0);
    EXPECT_FALSE(Has(table, schema::IndexConfigTable::VT_PQ_DIM));
    EXPECT_FALSE(Has(table, schema::IndexConfigTable::VT_PQ_BITS));
    EXPECT_EQ(Has(table, schema::IndexConfigTable::VT_EMBEDDING_MODEL), c.model.has_value());
    ASSERT_NE(root->quantizers(), nullptr);
    ASSERT_NE(root->quantizers()->coarse(), nullptr);
    ASSERT_NE(root->quantizers()->secondary(), nullptr);
    EXPECT_EQ(root->quantizers()->coarse()->size(), c.quantizers.coarse.size());
    EXPECT_EQ(root->quantizers()->secondary()->size(), c.quantizers.secondary.size());
    for (const schema::MatrixTable* m : *root->quantizers()->secondary()) {
      EXPECT_EQ(Has(m, schema::MatrixTable::VT_COUNT), m->count() != 0);
      EXPECT_TRUE(Has(m, schema::MatrixTable::VT_COLS));
      EXPECT_TRUE(Has(m, schema::MatrixTable::VT_DATA));  // also when empty
    }

    // An unchanged index always gives the same bytes.
    EXPECT_EQ(ostrik::SerializeIndexTable(c.name, config, c.quantizers, c.trained), bytes);
  }
}

// The writer's bytes for index "abc": IVFFLAT, dimension 3, Euclidean, 4 lists, trained, one coarse
// matrix {count 4, cols 3, data 1..12}, no secondary matrix, no model. Derived by hand from the
// builder's rules: objects are written back to front in the order the writer creates them
// ("IVFFLAT", "Euclidean", the config table, the float vector, the matrix table, the coarse and
// secondary vectors, the quantizers table, the name, the root table), each table preceded by its
// own vtable, fields inside a table in the order of the generated Create functions (largest
// first), scalars equal to their default left out, offsets relative to where they are stored.
// Cross-checked: `flatc --json --raw-binary` reads these bytes back as exactly the fields above.
// clang-format off
const Bytes kAbcBytes = {
    0x10, 0x00, 0x00, 0x00,                          // 0: root table at 16
    0x0c, 0x00, 0x14, 0x00,                          // 4: root vtable: 12 bytes, table of 20 bytes
    0x08, 0x00, 0x0c, 0x00, 0x10, 0x00, 0x07, 0x00,  //    name +8, config +12, quantizers +16, is_trained +7
    0x0c, 0x00, 0x00, 0x00,                          // 16: root table: vtable 12 bytes back
    0x00, 0x00, 0x00, 0x01,                          //    padding, is_trained = 1
    0x0c, 0x00, 0x00, 0x00,                          //    name at 24 + 12 = 36
    0x8c, 0x00, 0x00, 0x00,                          //    config at 28 + 140 = 168
    0x14, 0x00, 0x00, 0x00,                          //    quantizers at 32 + 20 = 52
    0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 0x00,     // 36: "abc"
    0x08, 0x00, 0x0c, 0x00, 0x04, 0x00, 0x08, 0x00,  // 44: quantizers vtable: coarse +4, secondary +8
    0x08, 0x00, 0x00, 0x00,                          // 52: quantizers table
    0x0c, 0x00, 0x00, 0x00,                          //    coarse at 56 + 12 = 68
    0x04, 0x00, 0x00, 0x00,                          //    secondary at 60 + 4 = 64
    0x00, 0x00, 0x00, 0x00,                          // 64: secondary: no matrix
    0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // 68: coarse: one matrix, at 72 + 16 = 88
    0x00, 0x00,                                      // 76: padding
    0x0a, 0x00, 0x10, 0x00,                          // 78: matrix vtable: 10 bytes, table of 16 bytes
    0x04, 0x00, 0x08, 0x00, 0x0c, 0x00,              //    count +4, cols +8, data +12
    0x0a, 0x00, 0x00, 0x00,                          // 88: matrix table
    0x04, 0x00, 0x00, 0x00,                          //    count 4
    0x03, 0x00, 0x00, 0x00,                          //    cols 3
    0x04, 0x00, 0x00, 0x00,                          //    data at 100 + 4 = 104
    0x0c, 0x00, 0x00, 0x00,                          // 104: 12 floats: 1 .. 12
    0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x80, 0x40,
    0x00, 0x00, 0xa0, 0x40, 0x00, 0x00, 0xc0, 0x40, 0x00, 0x00, 0xe0, 0x40, 0x00, 0x00, 0x00, 0x41,
    0x00, 0x00, 0x10, 0x41, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x30, 0x41, 0x00, 0x00, 0x40, 0x41,
    0x0c, 0x00, 0x14, 0x00,                          // 156: config vtable: 12 bytes, table of 20 bytes
    0x04, 0x00, 0x08, 0x00, 0x0c, 0x00, 0x10, 0x00,  //    index_type +4, dimension +8, metric +12, n_lists +16
    0x0c, 0x00, 0x00, 0x00,                          // 168: config table
    0x20, 0x00, 0x00, 0x00,                          //    index_type at 172 + 32 = 204
    0x03, 0x00, 0x00, 0x00,                          //    dimension 3
    0x08, 0x00, 0x00, 0x00,                          //    metric at 180 + 8 = 188
    0x04, 0x00, 0x00, 0x00,                          //    n_lists 4
    0x09, 0x00, 0x00, 0x00, 'E', 'u', 'c', 'l', 'i', 'd', 'e', 'a', 'n', 0x00, 0x00, 0x00,  // 188
    0x07, 0x00, 0x00, 0x00, 'I', 'V', 'F', 'F', 'L', 'A', 'T', 0x00,                        // 204
};

// The same index built by `flatc -b schemas/serialized_index.fbs abc.json` from
// {"index_name": "abc", "config": {"index_type": "IVFFLAT", "dimension": 3, "metric": "Euclidean",
// "n_lists": 4}, "quantizers": {"coarse": [{"count": 4, "cols": 3, "data": [1, ..., 12]}],
// "secondary": []}, "is_trained": true}. flatc writes the name string last, so every offset that
// crosses it differs from the writer's bytes: a reader that read the writer's layout rather than
// the format would misread it.
const Bytes kAbcBytesFromFlatc = {
    0x10, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x14, 0x00, 0x08, 0x00, 0x0c, 0x00, 0x10, 0x00, 0x07, 0x00, 0x0c, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xb8, 0x00, 0x00, 0x00, 0x84, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x0c, 0x00, 0x04, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x04, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
    0x10, 0x00, 0x04, 0x00, 0x08, 0x00, 0x0c, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x00,
    0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40,
    0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x80, 0x40, 0x00, 0x00, 0xa0, 0x40, 0x00, 0x00, 0xc0, 0x40, 0x00, 0x00,
    0xe0, 0x40, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x10, 0x41, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x30, 0x41,
    0x00, 0x00, 0x40, 0x41, 0x0c, 0x00, 0x14, 0x00, 0x04, 0x00, 0x08, 0x00, 0x0c, 0x00, 0x10, 0x00, 0x0c, 0x00,
    0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x09, 0x00, 0x00, 0x00, 'E',  'u',  'c',  'l',  'i',  'd',  'e',  'a',  'n',  0x00, 0x00, 0x00, 0x07, 0x00,
    0x00, 0x00, 'I',  'V',  'F',  'F',  'L',  'A',  'T',  0x00, 0x03, 0x00, 0x00, 0x00, 'a',  'b',  'c',  0x00,
};
// clang-format on

Quantizers AbcCentroids() {
  QuantizerMatrix m;
  m.count = 4;
  m.rows = 4;
  m.cols = 3;
  for (int i = 1; i <= 12; ++i) m.data.push_back(static_cast<float>(i));
  return Quantizers{{m}, {}};
}

// The writer's exact bytes fix the layout that stored indexes have; the flatc buffer shows that
// the readers follow the format, not that layout.
TEST(SerializedIndex, ExactBytesOfASmallTrainedIndex) {
  const Quantizers centroids = AbcCentroids();
  EXPECT_EQ(ostrik::SerializeIndexTable("abc", Config(3, 4, ostrik::Euclidean), centroids, true), kAbcBytes);

  for (const Bytes* bytes : {&kAbcBytes, &kAbcBytesFromFlatc}) {
    SCOPED_TRACE(bytes == &kAbcBytes ? "writer's bytes" : "flatc's bytes");
    const ostrik::SerializedIndex read = ostrik::ReadSerializedIndex(*bytes);
    EXPECT_EQ(read.index_name, "abc");
    EXPECT_EQ(read.config->dimension(), 3u);
    EXPECT_EQ(read.config->n_lists(), 4u);
    EXPECT_EQ(read.config->metric, ostrik::Euclidean);
    EXPECT_FALSE(read.config->embedding_model.has_value());
    EXPECT_TRUE(read.is_trained);
    ExpectSameMatrices(read.quantizers.coarse, centroids.coarse);
    EXPECT_TRUE(read.quantizers.secondary.empty());
  }

  // Loaded into an index and serialized again, either buffer gives the writer's bytes.
  ostrik::Client client(ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), 1);
  for (const Bytes* bytes : {&kAbcBytes, &kAbcBytesFromFlatc}) {
    auto index = client.LoadSerializedIndex(*bytes, Key(), nullptr);
    EXPECT_EQ(index->SerializeIndex(), kAbcBytes);
    EXPECT_EQ(index->SerializeIndex(), kAbcBytes);
  }
}

TEST(SerializedIndex, AnIndexSerializesAsItsFields) {
  ostrik::Client client(ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), ostrik::DBConfig("memory"), 1);
  const ostrik::IndexIVFFlat config = Config(4, 2, ostrik::SquaredEuclidean, "encoder");
  auto index = client.CreateIndex("fields", Key(), config, 0, nullptr);
  const Bytes first = index->SerializeIndex();
  EXPECT_EQ(first, ostrik::SerializeIndexTable("fields", config, {}, false));
  // Items are no part of the serialized index.
  index->Upsert(FloatMatrix{2, 4, {1, 2, 3, 4, 5, 6, 7, 8}}, {"a", "b"}, {}, {});
  EXPECT_EQ(index->SerializeIndex(), first);
}

TEST(SerializedIndex, ShortAndTruncatedBuffersAreRefused) {
  EXPECT_EQ(ThrownBy([] { ostrik::ReadSerializedIndex({}); }), InvalidArgument(kEmpty));
  for (size_t n = 1; n < 12; ++n) {
    for (uint8_t fill : {0x00, 0x04, 0xff}) {
      SCOPED_TRACE(std::to_string(n) + " bytes of " + std::to_string(fill));
      EXPECT_EQ(ThrownBy([&] { ostrik::ReadSerializedIndex(Bytes(n, fill)); }), InvalidArgument(kInvalid));
    }
  }

  // Twelve bytes are enough for a root table without fields: it passes the verifier and fails
  // only on reading.
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(flatbuffers::Offset<schema::IndexTable>(builder.EndTable(builder.StartTable())));
  const Bytes minimal(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
  ASSERT_EQ(minimal.size(), 12u);
  EXPECT_EQ(ThrownBy([&] { ostrik::ReadSerializedIndex(minimal); }), InvalidArgument(kUnknownType));

  // Every strict prefix of a valid buffer, each copied into a buffer of exactly its length so that
  // the address sanitizer sees any read beyond it.
  std::vector<Bytes> valid = {kAbcBytes, kAbcBytesFromFlatc};
  for (const Fields& c : RoundTripCases()) {
    valid.push_back(ostrik::SerializeIndexTable(c.name, Config(c.dimension, c.n_lists, c.metric, c.model), c.quantizers,
                                                c.trained));
  }
  for (const Bytes& bytes : valid) {
    for (size_t n = 0; n < bytes.size(); ++n) {
      SCOPED_TRACE("prefix of " + std::to_string(n) + " of " + std::to_string(bytes.size()) + " bytes");
      const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(ThrownBy([&] { ostrik::ReadSerializedIndex(prefix); }), InvalidArgument(n == 0 ? kEmpty : kInvalid));
    }
  }
}

// Random damage either is refused with one of the documented texts or reads as some index; it
// never escapes as another failure and never reads outside the buffer (run under the sanitizer).
TEST(SerializedIndex, CorruptedBuffersAreRefusedOrReadWithinBounds) {
  const std::vector<Bytes> valid = {kAbcBytes,
                                    ostrik::SerializeIndexTable("corrupt-me", Config(3, 2, ostrik::Cosine, "model"),
                                                                {{Mat(2, 2, 3)}, {Mat(1, 1, 3), Mat(0, 0, 2)}}, true)};
  const std::set<std::string> documented = {kInvalid, kUnknownType, kUnknownMetric, kBadMatrix};
  std::mt19937 rng(20240611);
  int refused = 0, read = 0;
  for (const Bytes& base : valid) {
    for (int round = 0; round < 3000; ++round) {
      Bytes bytes = base;
      const int damaged = 1 + static_cast<int>(rng() % 3);
      for (int d = 0; d < damaged; ++d) {
        const size_t at = rng() % bytes.size();
        if (rng() % 2) {
          bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        } else {
          bytes[at] = static_cast<uint8_t>(rng());
        }
      }
      const Thrown thrown = ThrownBy([&] {
        const ostrik::SerializedIndex index = ostrik::ReadSerializedIndex(bytes);
        (void)ostrik::CheckIndexShape(*index.config, index.quantizers, index.is_trained);
      });
      if (thrown.type.empty()) {
        ++read;
        continue;
      }
      ++refused;
      ASSERT_EQ(thrown.type, "invalid_argument") << thrown << " round " << round;
      ASSERT_TRUE(documented.count(thrown.text)) << thrown << " round " << round;
    }
  }
  // Both outcomes occurred, so the damage reached the verifier and the readers alike.
  EXPECT_GT(refused, 0);
  EXPECT_GT(read, 0);
}

// A buffer built field by field; an absent optional leaves its field out, an engaged one is
// written even when it equals the default.
struct CraftedMatrix {
  std::optional<int32_t> count;
  std::optional<uint32_t> cols;
  std::optional<std::vector<float>> data;
};

struct Crafted {
  std::optional<std::string> name = "crafted";
  bool config = true;
  std::optional<std::string> index_type = "IVFFLAT";
  std::optional<uint32_t> dimension = 3;
  std::optional<std::string> metric = "Euclidean";
  std::optional<uint32_t> n_lists = 2;
  std::optional<uint32_t> pq_dim;
  std::optional<uint32_t> pq_bits;
  std::optional<std::string> model;
  bool quantizers = true;
  std::optional<std::vector<CraftedMatrix>> coarse = std::vector<CraftedMatrix>{};
  std::optional<std::vector<CraftedMatrix>> secondary = std::vector<CraftedMatrix>{};
  std::optional<uint8_t> is_trained;  // the raw byte
};

Bytes Build(const Crafted& c) {
  flatbuffers::FlatBufferBuilder fbb;
  fbb.ForceDefaults(true);
  auto text = [&](const std::optional<std::string>& s) {
    return s ? fbb.CreateString(*s) : flatbuffers::Offset<flatbuffers::String>();
  };
  auto matrices = [&](const std::optional<std::vector<CraftedMatrix>>& list) {
    if (!list) return flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<schema::MatrixTable>>>();
    std::vector<flatbuffers::Offset<schema::MatrixTable>> tables;
    for (const CraftedMatrix& m : *list) {
      const auto data = m.data ? fbb.CreateVector(*m.data) : flatbuffers::Offset<flatbuffers::Vector<float>>();
      schema::MatrixTableBuilder b(fbb);
      if (m.count) b.add_count(*m.count);
      if (m.cols) b.add_cols(*m.cols);
      if (m.data) b.add_data(data);
      tables.push_back(b.Finish());
    }
    return fbb.CreateVector(tables);
  };

  flatbuffers::Offset<schema::IndexConfigTable> config;
  if (c.config) {
    const auto type = text(c.index_type), metric = text(c.metric), model = text(c.model);
    schema::IndexConfigTableBuilder b(fbb);
    if (c.index_type) b.add_index_type(type);
    if (c.dimension) b.add_dimension(*c.dimension);
    if (c.metric) b.add_metric(metric);
    if (c.n_lists) b.add_n_lists(*c.n_lists);
    if (c.pq_dim) b.add_pq_dim(*c.pq_dim);
    if (c.pq_bits) b.add_pq_bits(*c.pq_bits);
    if (c.model) b.add_embedding_model(model);
    config = b.Finish();
  }
  flatbuffers::Offset<schema::QuantizersTable> quantizers;
  if (c.quantizers) {
    const auto coarse = matrices(c.coarse), secondary = matrices(c.secondary);
    schema::QuantizersTableBuilder b(fbb);
    if (c.coarse) b.add_coarse(coarse);
    if (c.secondary) b.add_secondary(secondary);
    quantizers = b.Finish();
  }
  const auto name = text(c.name);
  schema::IndexTableBuilder b(fbb);
  if (c.name) b.add_index_name(name);
  if (c.config) b.add_config(config);
  if (c.quantizers) b.add_quantizers(quantizers);
  if (c.is_trained) fbb.AddElement<uint8_t>(schema::IndexTable::VT_IS_TRAINED, *c.is_trained, 0);
  fbb.Finish(b.Finish());
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

template <typename Change>
Crafted With(Change change) {
  Crafted c;
  change(c);
  return c;
}

std::vector<CraftedMatrix> OneMatrix(std::optional<int32_t> count, std::optional<uint32_t> cols,
                                     std::optional<std::vector<float>> data) {
  return {CraftedMatrix{count, cols, std::move(data)}};
}

std::vector<float> Floats(size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i) + 0.5f;
  return v;
}

TEST(SerializedIndex, CraftedBuffersReadAsTheFormatSays) {
  using Check = std::function<void(const ostrik::SerializedIndex&)>;
  struct Case {
    std::string label;
    Crafted buffer;
    Thrown thrown;  // empty: the buffer reads, and `check` looks at the result
    Check check = [](const ostrik::SerializedIndex&) {};
  };
  const std::vector<Case> cases = {
      {"no config table", With([](Crafted& c) { c.config = false; }), InvalidArgument(kUnknownType)},
      {"no index_type", With([](Crafted& c) { c.index_type.reset(); }), InvalidArgument(kUnknownType)},
      {"index_type in lower case", With([](Crafted& c) { c.index_type = "ivfflat"; }), InvalidArgument(kUnknownType)},
      {"index_type with a trailing space", With([](Crafted& c) { c.index_type = "IVFFLAT "; }),
       InvalidArgument(kUnknownType)},
      {"index_type with a trailing NUL", With([](Crafted& c) { c.index_type = std::string("IVFFLAT\0", 8); }),
       InvalidArgument(kUnknownType)},
      {"empty index_type", With([](Crafted& c) { c.index_type = ""; }), InvalidArgument(kUnknownType)},
      {"no metric", With([](Crafted& c) { c.metric.reset(); }), InvalidArgument(kUnknownMetric)},
      {"the Python text of a metric", With([](Crafted& c) { c.metric = "cosine"; }), InvalidArgument(kUnknownMetric)},
      {"metric in upper case", With([](Crafted& c) { c.metric = "EUCLIDEAN"; }), InvalidArgument(kUnknownMetric)},
      {"metric with a trailing space", With([](Crafted& c) { c.metric = "Cosine "; }), InvalidArgument(kUnknownMetric)},
      {"metric with a trailing NUL", With([](Crafted& c) { c.metric = std::string("Cosine\0", 7); }),
       InvalidArgument(kUnknownMetric)},
      {"empty metric", With([](Crafted& c) { c.metric = ""; }), InvalidArgument(kUnknownMetric)},
      {"both texts wrong: the index type is reported", With([](Crafted& c) {
         c.index_type = "IVFPQ";
         c.metric = "cosine";
       }),
       InvalidArgument(kUnknownType)},
      {"bad metric and bad matrix: the configuration is read first", With([](Crafted& c) {
         c.metric = "L2";
         c.coarse = std::vector<CraftedMatrix>{{1, 0, Floats(3)}};
       }),
       InvalidArgument(kUnknownMetric)},
      {"SquaredEuclidean",
       With([](Crafted& c) { c.metric = "SquaredEuclidean"; }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_EQ(r.config->metric, ostrik::SquaredEuclidean); }},
      {"no index_name reads as an empty name",
       With([](Crafted& c) { c.name.reset(); }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_EQ(r.index_name, ""); }},
      {"no dimension and no n_lists read as 0",
       With([](Crafted& c) {
         c.dimension.reset();
         c.n_lists.reset();
       }),
       {},
       [](const ostrik::SerializedIndex& r) {
         EXPECT_EQ(r.config->dimension(), 0u);
         EXPECT_EQ(r.config->n_lists(), 0u);
       }},
      {"fields 4 and 5 are ignored",
       With([](Crafted& c) {
         c.pq_dim = 7;
         c.pq_bits = 4294967295u;
       }),
       {},
       [](const ostrik::SerializedIndex& r) {
         EXPECT_EQ(r.config->pq_dim(), 0u);
         EXPECT_EQ(r.config->pq_bits(), 0u);
         EXPECT_EQ(r.config->dimension(), 3u);
         EXPECT_EQ(r.config->n_lists(), 2u);
       }},
      {"an empty model name is set",
       With([](Crafted& c) { c.model = ""; }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_EQ(r.config->embedding_model, std::optional<std::string>("")); }},
      {"no model name is not set",
       Crafted{},
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_FALSE(r.config->embedding_model.has_value()); }},
      {"trained byte 2 reads as true",
       With([](Crafted& c) { c.is_trained = 2; }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_TRUE(r.is_trained); }},
      {"trained byte 0 written reads as false",
       With([](Crafted& c) { c.is_trained = 0; }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_FALSE(r.is_trained); }},
      {"no quantizers table reads as empty lists",
       With([](Crafted& c) { c.quantizers = false; }),
       {},
       [](const ostrik::SerializedIndex& r) {
         EXPECT_TRUE(r.quantizers.coarse.empty());
         EXPECT_TRUE(r.quantizers.secondary.empty());
       }},
      {"no coarse vector, secondary kept",
       With([](Crafted& c) {
         c.coarse.reset();
         c.secondary = std::vector<CraftedMatrix>{{3, 2, Floats(6)}};
       }),
       {},
       [](const ostrik::SerializedIndex& r) {
         EXPECT_TRUE(r.quantizers.coarse.empty());
         ASSERT_EQ(r.quantizers.secondary.size(), 1u);
         EXPECT_EQ(r.quantizers.secondary[0].rows, 3u);
         EXPECT_EQ(r.quantizers.secondary[0].data, Floats(6));
       }},
      {"no secondary vector",
       With([](Crafted& c) { c.secondary.reset(); }),
       {},
       [](const ostrik::SerializedIndex& r) { EXPECT_TRUE(r.quantizers.secondary.empty()); }},
      {"cols 0 with data", With([](Crafted& c) { c.coarse = OneMatrix(1, 0, Floats(3)); }),
       InvalidArgument(kBadMatrix)},
      {"cols 0 without data", With([](Crafted& c) { c.coarse = OneMatrix(1, 0, std::nullopt); }),
       InvalidArgument(kBadMatrix)},
      {"cols 0 with an empty data vector", With([](Crafted& c) { c.coarse = OneMatrix(0, 0, Floats(0)); }),
       InvalidArgument(kBadMatrix)},
      {"no cols field", With([](Crafted& c) { c.coarse = OneMatrix(4, std::nullopt, Floats(12)); }),
       InvalidArgument(kBadMatrix)},
      {"12 values in rows of 5", With([](Crafted& c) { c.coarse = OneMatrix(2, 5, Floats(12)); }),
       InvalidArgument(kBadMatrix)},
      {"a bad matrix in the secondary list", With([](Crafted& c) {
         c.coarse = OneMatrix(2, 3, Floats(6));
         c.secondary = OneMatrix(1, 5, Floats(12));
       }),
       InvalidArgument(kBadMatrix)},
      {"cols 5 without data: 0 rows of 5",
       With([](Crafted& c) { c.coarse = OneMatrix(2, 5, std::nullopt); }),
       {},
       [](const ostrik::SerializedIndex& r) {
         ASSERT_EQ(r.quantizers.coarse.size(), 1u);
         EXPECT_EQ(r.quantizers.coarse[0].count, 2);
         EXPECT_EQ(r.quantizers.coarse[0].rows, 0u);
         EXPECT_EQ(r.quantizers.coarse[0].cols, 5u);
         EXPECT_TRUE(r.quantizers.coarse[0].data.empty());
       }},
      {"cols 5 with an empty data vector: 0 rows of 5",
       With([](Crafted& c) { c.coarse = OneMatrix(0, 5, Floats(0)); }),
       {},
       [](const ostrik::SerializedIndex& r) {
         ASSERT_EQ(r.quantizers.coarse.size(), 1u);
         EXPECT_EQ(r.quantizers.coarse[0].rows, 0u);
         EXPECT_EQ(r.quantizers.coarse[0].cols, 5u);
       }},
      {"no count reads as 0; rows come from the data",
       With([](Crafted& c) { c.coarse = OneMatrix(std::nullopt, 4, Floats(12)); }),
       {},
       [](const ostrik::SerializedIndex& r) {
         ASSERT_EQ(r.quantizers.coarse.size(), 1u);
         EXPECT_EQ(r.quantizers.coarse[0].count, 0);
         EXPECT_EQ(r.quantizers.coarse[0].rows, 3u);
         EXPECT_EQ(r.quantizers.coarse[0].data, Floats(12));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes bytes = Build(c.buffer);
    ASSERT_NO_THROW(ostrik::VerifySerializedIndex(bytes));  // every case is a well-formed buffer
    if (!c.thrown.type.empty()) {
      EXPECT_EQ(ThrownBy([&] { ostrik::ReadSerializedIndex(bytes); }), c.thrown);
      continue;
    }
    ostrik::SerializedIndex read;
    ASSERT_EQ(ThrownBy([&] { read = ostrik::ReadSerializedIndex(bytes); }), Thrown{});
    c.check(read);
  }
}

TEST(SerializedIndex, WriterRefusesWhatTheFormatCannotHold) {
  struct Case {
    std::string label;
    std::function<void(ostrik::IndexIVFFlat&, Quantizers&)> change;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"index type 1", [](ostrik::IndexIVFFlat& c, Quantizers&) { c.index_type = 1; }, kUnknownType},
      {"metric 3", [](ostrik::IndexIVFFlat& c, Quantizers&) { c.metric = 3; }, kUnknownMetric},
      {"metric -1", [](ostrik::IndexIVFFlat& c, Quantizers&) { c.metric = -1; }, kUnknownMetric},
      {"bad type and metric: the type is reported",
       [](ostrik::IndexIVFFlat& c, Quantizers&) {
         c.index_type = 9;
         c.metric = 9;
       },
       kUnknownType},
      {"dimension 2^32", [](ostrik::IndexIVFFlat& c, Quantizers&) { c.dimension_ = 4294967296ull; },
       "Vector dimension 4294967296 does not fit the serialized index (at most 4294967295)"},
      {"n_lists 2^32 + 1", [](ostrik::IndexIVFFlat& c, Quantizers&) { c.n_lists_ = 4294967297ull; },
       "n_lists 4294967297 does not fit the serialized index (at most 4294967295)"},
      {"coarse centroids 2^32 wide",
       [](ostrik::IndexIVFFlat&, Quantizers& q) { q.coarse = {Mat(0, 0, 4294967296ull)}; },
       "Centroid width 4294967296 does not fit the serialized index (at most 4294967295)"},
      {"secondary centroids 2^32 wide",
       [](ostrik::IndexIVFFlat&, Quantizers& q) {
         q.secondary = {Mat(1, 1, 3), Mat(0, 0, 4294967296ull)};
       },
       "Centroid width 4294967296 does not fit the serialized index (at most 4294967295)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ostrik::IndexIVFFlat config = Config(3, 2, ostrik::Euclidean);
    Quantizers quantizers;
    c.change(config, quantizers);
    EXPECT_EQ(ThrownBy([&] { ostrik::SerializeIndexTable("refused", config, quantizers, false); }),
              InvalidArgument(c.text));
  }
}

}  // namespace
}  // namespace index_test
