// What must survive an interrupted write, shared by the in-process fault sweeps and the tests that
// kill a writing process: two versions of every item, the operations that move an index from the
// first to the second, and the check that every item is whole in one of them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "index_fixture.h"

namespace index_test {

constexpr size_t kDurabilityDim = 4;
constexpr int kDurabilityLists = 3;

// Version 1 of items 0..n-1 and version 2 of items n/4..n+n/4-1 (new items at the end): other
// vectors, metadata and contents; some items gain contents, some lose them.
struct Versions {
  Dataset v1;
  Dataset v2;
};

inline Versions MakeVersions(size_t n) {
  Versions out;
  out.v1 = Clustered(n, kDurabilityDim, kDurabilityLists, 7);
  Dataset next = Clustered(n + n / 4, kDurabilityDim, kDurabilityLists, 8);
  Dataset v2;
  v2.vectors = FloatMatrix{0, kDurabilityDim, {}};
  for (size_t i = n / 4; i < n + n / 4; ++i) {
    v2.ids.push_back("item-" + std::to_string(i));
    v2.vectors.data.insert(v2.vectors.data.end(), next.vectors.row(i), next.vectors.row(i) + kDurabilityDim);
    v2.metadata.push_back(R"({"version":2,"n":)" + std::to_string(i) + "}");
    const std::string contents = i % 2 == 0 ? "second contents of item-" + std::to_string(i) : "";
    v2.contents.emplace_back(contents.begin(), contents.end());
  }
  v2.vectors.rows = v2.ids.size();
  out.v2 = std::move(v2);
  return out;
}

struct ItemVersion {
  std::vector<float> vector;
  std::string metadata;
  Bytes contents;
  bool operator==(const ItemVersion&) const = default;
};

inline std::map<std::string, ItemVersion> ByIdOf(const Dataset& ds) {
  std::map<std::string, ItemVersion> out;
  for (size_t i = 0; i < ds.ids.size(); ++i) {
    out[ds.ids[i]] = ItemVersion{std::vector<float>(ds.vectors.row(i), ds.vectors.row(i) + ds.vectors.cols),
                                 ds.metadata[i], ds.contents[i]};
  }
  return out;
}

inline ostrik::QueryParams Everything() {
  ostrik::QueryParams p;
  p.top_k = 100000;
  p.n_probes = 100000;
  return p;
}

// Every id of either version is absent (only where `absent_ok` allows it), or whole in its old or
// its new version: vector, metadata and contents together, and found exactly once by a query over
// every list, at the distance of that version's vector. Returns how many items are in version 2.
inline size_t ExpectEachItemWhole(ostrik::EncryptedIndex& index, const std::map<std::string, ItemVersion>& old_items,
                                  const std::map<std::string, ItemVersion>& new_items,
                                  const std::set<std::string>& absent_ok) {
  std::set<std::string> ids;
  for (const auto& [id, v] : old_items) ids.insert(id);
  for (const auto& [id, v] : new_items) ids.insert(id);
  const std::vector<std::string> all(ids.begin(), ids.end());
  std::map<std::string, ItemVersion> got;
  for (const ostrik::GetResult& r : index.Get(all, {})) {
    EXPECT_EQ(got.count(r.id), 0u) << r.id << " returned twice";
    got[r.id] = ItemVersion{r.vector, r.metadata, r.contents};
  }
  size_t in_new = 0;
  for (const std::string& id : all) {
    auto g = got.find(id);
    if (g == got.end()) {
      EXPECT_TRUE(absent_ok.count(id) != 0) << id << " is missing";
      continue;
    }
    auto o = old_items.find(id);
    auto n = new_items.find(id);
    const bool is_old = o != old_items.end() && o->second == g->second;
    const bool is_new = n != new_items.end() && n->second == g->second;
    EXPECT_TRUE(is_old || is_new) << id << " is torn: metadata " << g->second.metadata << ", contents '"
                                  << std::string(g->second.contents.begin(), g->second.contents.end()) << "'";
    if (is_new && !is_old) ++in_new;
  }
  // The query sees exactly the items a get sees, each once, at its own vector's distance.
  const FloatMatrix q{1, kDurabilityDim, std::vector<float>(kDurabilityDim, 0.5f)};
  const ostrik::QueryResults r = index.Query(q, Everything());
  std::map<std::string, int> seen;
  for (const Hit& h : Row(r, 0)) {
    ++seen[h.id];
    auto g = got.find(h.id);
    if (g == got.end()) {
      ADD_FAILURE() << h.id << " is found by a query but not by a get";
      continue;
    }
    const float want = Distance(q.data.data(), g->second.vector.data(), kDurabilityDim, ostrik::Euclidean);
    EXPECT_NEAR(h.distance, want, 1e-4f * std::max(1.0f, want)) << h.id << " is found with another vector";
  }
  for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << id << " is found " << count << " times";
  EXPECT_EQ(seen.size(), got.size()) << "a query misses items that a get finds";
  return in_new;
}

// An operation that moves an index holding version 1 (trained first when `trained`) towards what
// `after` says; `absent_ok` are the ids that may be missing while it is cut short.
struct Operation {
  const char* name;
  bool trained;
  std::function<void(ostrik::EncryptedIndex&)> run;
  // What a complete run leaves, and the ids that may be absent midway.
  std::map<std::string, ItemVersion> after;
  std::set<std::string> absent_ok;
};

inline std::vector<Operation> Operations(const Versions& v) {
  const auto v1 = ByIdOf(v.v1);
  const auto v2 = ByIdOf(v.v2);
  std::set<std::string> only_new;
  for (const auto& [id, item] : v2) {
    if (v1.count(id) == 0) only_new.insert(id);
  }
  std::map<std::string, ItemVersion> upserted = v1;
  for (const auto& [id, item] : v2) upserted[id] = item;
  std::vector<std::string> doomed(v.v1.ids.begin(), v.v1.ids.begin() + v.v1.ids.size() / 2);
  std::map<std::string, ItemVersion> remaining = v1;
  for (const auto& id : doomed) remaining.erase(id);
  std::set<std::string> all;
  for (const auto& [id, item] : v1) all.insert(id);
  auto upsert = [&v](ostrik::EncryptedIndex& index) {
    index.Upsert(v.v2.vectors, v.v2.ids, v.v2.contents, v.v2.metadata);
  };
  return {
      {"train",
       false,
       [](ostrik::EncryptedIndex& index) {
         if (!index.is_trained()) index.TrainIndex(QuickTraining());
       },
       v1,
       {}},
      {"re-upsert with contents", false, upsert, upserted, only_new},
      {"re-upsert moving items between lists", true, upsert, upserted, only_new},
      {"delete", true, [doomed](ostrik::EncryptedIndex& index) { index.Delete(doomed); }, remaining,
       std::set<std::string>(doomed.begin(), doomed.end())},
      {"delete_index", false, [](ostrik::EncryptedIndex& index) { index.DeleteIndex(); }, {}, all},
  };
}

}  // namespace index_test
