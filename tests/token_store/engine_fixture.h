// Shared set-up of the engine suites: one fixture parameterised over the store kinds (memory,
// PostgreSQL, Redis on the throwaway test servers), batch builders, and a reference model of what
// a fetch must return after any sequence of adds and deletes.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/aes_gcm.h"
#include "support/store_backends.h"
#include "support/test_servers.h"
#include "token_store/token_index.h"

namespace engine_test {

namespace ts = ostrik_encrypted_index::internal::token_store;

using dz_test::Backend;
using dz_test::BackendName;

constexpr uint64_t kWidth = 8;  // payload bytes per item (two floats)

struct ItemSpec {
  std::string id;
  uint32_t token;
  uint8_t fill;  // every payload byte
  std::string metadata;
  std::string contents;
};

inline ts::TokenItemBatch Batch(const std::vector<ItemSpec>& items, bool with_metadata = true, bool with_contents = false) {
  ts::TokenItemBatch b;
  ostrik::Bytes rows;
  for (const auto& s : items) {
    b.input_tokens.push_back(s.token);
    b.item_ids.push_back(s.id);
    rows.insert(rows.end(), kWidth, s.fill);
    if (with_metadata) b.metadata.push_back(s.metadata);
    if (with_contents) b.contents.emplace_back(s.contents.begin(), s.contents.end());
  }
  if (!rows.empty()) b.payloads = ostrik::ByteMatrix(std::move(rows), kWidth);
  return b;
}

struct Got {
  std::string id;
  ostrik::Bytes payload;
  std::string metadata;
  bool operator==(const Got&) const = default;
};
using Groups = std::vector<std::vector<Got>>;

inline void PrintTo(const Got& g, std::ostream* os) {
  *os << "{" << (g.id.empty() ? "<placeholder>" : g.id) << ", fill " << (g.payload.empty() ? -1 : int(g.payload[0]))
      << ", " << g.metadata << "}";
}

// Checks the group layout and splits the records into groups.
inline Groups ToGroups(const ostrik::ItemRecords& r, size_t n_groups) {
  Groups out;
  EXPECT_EQ(r.token_indices.size(), n_groups + 1);
  if (r.token_indices.size() != n_groups + 1) return out;
  EXPECT_EQ(r.token_indices.front(), 0u);
  EXPECT_EQ(r.token_indices.back(), r.item_ids.size());
  EXPECT_EQ(r.metadata.size(), r.item_ids.size());
  for (size_t g = 0; g < n_groups; ++g) {
    EXPECT_LE(r.token_indices[g], r.token_indices[g + 1]);
    std::vector<Got> group;
    for (uint64_t i = r.token_indices[g]; i < r.token_indices[g + 1] && i < r.item_ids.size(); ++i) {
      const uint8_t* row = r.payloads.data.data() + i * r.payloads.cols;
      group.push_back(Got{r.item_ids[i], ostrik::Bytes(row, row + r.payloads.cols), r.metadata[i]});
    }
    out.push_back(std::move(group));
  }
  return out;
}

inline Groups ListGroups(const std::vector<ts::SharedTokenList>& lists) {
  Groups out;
  for (const auto& list : lists) {
    std::vector<Got> group;
    for (uint64_t i = 0; i < list->size(); ++i) {
      group.push_back(Got{std::string(list->id(i)), ostrik::Bytes(list->payload(i), list->payload(i) + list->width()),
                          std::string(list->metadata(i))});
    }
    out.push_back(std::move(group));
  }
  return out;
}

// Every way of fetching: by value, into reused records, as lists into a reused answer.
struct Fetcher {
  ostrik::ItemRecords records;
  std::vector<ts::SharedTokenList> lists;

  void Check(ts::TokenIndex& e, const std::vector<uint32_t>& tokens, const Groups& expected, const std::string& what) {
    EXPECT_EQ(ToGroups(e.GetTokenItems(tokens), tokens.size()), expected) << what << ", by value";
    e.GetTokenItems(tokens, records);
    EXPECT_EQ(ToGroups(records, tokens.size()), expected) << what << ", reused records";
    EXPECT_EQ(records.payloads.rows, records.item_ids.size()) << what;
    EXPECT_EQ(records.payloads.data.size(), records.item_ids.size() * records.payloads.cols) << what;
    e.GetTokenLists(tokens, lists);
    EXPECT_EQ(ListGroups(lists), expected) << what << ", lists";
  }
};

// What a fetch returns: per token, each id once at its first position, only while its latest
// record belongs to the token; a deleted id leaves a placeholder.
class Model {
 public:
  void Add(const std::vector<ItemSpec>& items) {
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < items.size(); ++i) last[items[i].id] = i;
    for (size_t i = 0; i < items.size(); ++i) {
      if (last[items[i].id] != i) continue;
      positions_[items[i].token].push_back(items[i].id);
      records_[items[i].id] = items[i];
    }
  }
  void Delete(const std::vector<std::string>& ids) {
    for (const auto& id : ids) records_.erase(id);
  }
  Groups Fetch(const std::vector<uint32_t>& tokens) const {
    Groups out;
    for (uint32_t t : tokens) {
      std::vector<Got> group;
      std::set<std::string> seen;
      auto it = positions_.find(t);
      if (it != positions_.end()) {
        for (const auto& id : it->second) {
          if (!seen.insert(id).second) continue;
          auto rec = records_.find(id);
          if (rec == records_.end()) {
            group.push_back(Got{"", ostrik::Bytes(kWidth, 0), ""});
          } else if (rec->second.token == t) {
            group.push_back(Got{id, ostrik::Bytes(kWidth, rec->second.fill), rec->second.metadata});
          }
        }
      }
      out.push_back(std::move(group));
    }
    return out;
  }

 private:
  std::map<uint32_t, std::vector<std::string>> positions_;
  std::map<std::string, ItemSpec> records_;
};

// The token counts as the index store holds them (empty when none are stored).
inline std::vector<uint32_t> StoredCounts(ts::TokenIndex& e) {
  ostrik::Bytes v = e.index_store_->GetItem(ts::kTokenCountsKey);
  if (v.empty()) return {};
  const uint64_t cols = v.size();
  const ostrik::ByteMatrix plain = ostrik::DecryptMatrix(ostrik::ByteMatrix(std::move(v), cols), e.index_key_.data());
  std::vector<uint32_t> out(plain.data.size() / 4);
  for (size_t t = 0; t < out.size(); ++t) {
    out[t] = plain.data[4 * t] | plain.data[4 * t + 1] << 8 | plain.data[4 * t + 2] << 16 |
             static_cast<uint32_t>(plain.data[4 * t + 3]) << 24;
  }
  return out;
}

class EngineTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case Backend::Memory:
        index_ = config_ = items_ = ostrik::DBConfig("memory");
        break;
      case Backend::Postgres: {
        DZ_REQUIRE_SERVER(conn, dz_test::PostgresConnString, "DZ_PG_CONNSTR");
        conn_ = conn;
        index_ = ostrik::DBConfig("postgres", "dz_tokens_items", conn);
        config_ = ostrik::DBConfig("postgres", "dz_tokens_config", conn);
        items_ = ostrik::DBConfig("postgres", "dz_tokens_contents", conn);
        break;
      }
      case Backend::Redis: {
        DZ_REQUIRE_SERVER(conn, dz_test::RedisConnString, "DZ_REDIS_CONNSTR");
        conn_ = conn;
        index_ = config_ = items_ = ostrik::DBConfig("redis", "dz_tokens", conn);
        break;
      }
    }
  }

  bool persistent() const { return GetParam() != Backend::Memory; }

  std::string UniqueName(const std::string& tag = "") const { return dz_test::UniqueTestName("tk_", tag); }

  ostrik::IndexSetup Setup(const std::string& name, int32_t vocab = 4, uint64_t cache = 0) const {
    ostrik::IndexSetup s;
    s.index_name = name;
    for (int i = 0; i < 32; ++i) s.index_key[i] = static_cast<uint8_t>(0x40 + i);
    s.index_location = index_;
    s.config_location = config_;
    s.items_location = items_;
    s.data_location = index_;
    s.cpu_threads = 0;
    s.max_cache_size = cache;
    s.tree_depth = 32;
    s.vocab_size = vocab;
    s.payload_size = kWidth;
    return s;
  }

  // Removes what an engine left in persistent stores.
  static void Drop(std::unique_ptr<ts::TokenIndex>& engine) {
    if (!engine) return;
    try {
      engine->DeleteIndex(true);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cleanup: " << e.what();
    }
    engine.reset();
  }

  ostrik::DBConfig index_, config_, items_;
  std::string conn_;
};

}  // namespace engine_test
