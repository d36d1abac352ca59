// A writer that stalls past its lock while another process writes, shared by the worker that
// stalls and the test that writes meanwhile: the items of each version, the stalling writer's
// operations, the other writer's changes, and what must hold afterwards.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "durability.h"
#include "index_fixture.h"

namespace index_test::stalled {

constexpr size_t kItems = 48;

inline std::string Id(size_t i) {
  std::string id = "s";
  return id += std::to_string(i);
}

inline Dataset Items(size_t begin, size_t end, int version, uint64_t seed) {
  const Dataset all = Clustered(end, kDurabilityDim, kDurabilityLists, seed);
  Dataset out;
  out.vectors = FloatMatrix{0, kDurabilityDim, {}};
  for (size_t i = begin; i < end; ++i) {
    out.ids.push_back(Id(i));
    out.vectors.data.insert(out.vectors.data.end(), all.vectors.row(i), all.vectors.row(i) + kDurabilityDim);
    out.metadata.push_back(R"({"version":)" + std::to_string(version) + R"(,"n":)" + std::to_string(i) + "}");
    // Some items gain contents, some lose them, some change them.
    std::string contents;
    if ((i + version) % 3 != 0) contents.append("v").append(std::to_string(version)).append(" of ").append(Id(i));
    out.contents.emplace_back(contents.begin(), contents.end());
  }
  out.vectors.rows = out.ids.size();
  return out;
}

// Row i of `from` appended to `to`.
inline void AppendRow(Dataset& to, const Dataset& from, size_t i) {
  to.ids.push_back(from.ids[i]);
  to.vectors.data.insert(to.vectors.data.end(), from.vectors.row(i), from.vectors.row(i) + kDurabilityDim);
  to.vectors.rows = to.ids.size();
  to.metadata.push_back(from.metadata[i]);
  to.contents.push_back(from.contents[i]);
}

// Version 1: what the index holds before.
inline Dataset First() { return Items(0, kItems, 1, 11); }

// The stalling writer's upsert: re-upserts the second half of version 1 and adds as many new
// items, then repeats a few ids with other values (the first occurrence is kept).
inline Dataset Second() {
  Dataset d = Items(kItems / 2, kItems + kItems / 2, 2, 12);
  const Dataset repeats = Items(kItems / 2, kItems / 2 + 4, 9, 13);
  for (size_t i = 0; i < repeats.ids.size(); ++i) AppendRow(d, repeats, i);
  return d;
}

// The other writer's upsert: version 3 of every even item of either version.
inline Dataset Third() {
  const Dataset all = Items(0, kItems + kItems / 2, 3, 14);
  Dataset even;
  even.vectors = FloatMatrix{0, kDurabilityDim, {}};
  for (size_t i = 0; i < all.ids.size(); i += 2) AppendRow(even, all, i);
  return even;
}

// And the ids it deletes: odd ones of either version, so no deleted id has a version 3.
inline std::vector<std::string> Deleted() {
  std::vector<std::string> ids;
  for (size_t i = 1; i < kItems + kItems / 2; i += 4) ids.push_back(Id(i));
  return ids;
}

// The stalling writer's operation on an index holding version 1.
inline void RunStalling(const std::string& operation, ostrik::EncryptedIndex& index) {
  if (operation == "upsert") {
    const Dataset d = Second();
    index.Upsert(d.vectors, d.ids, d.contents, d.metadata);
  } else if (operation == "train") {
    index.TrainIndex(QuickTraining());
  } else {
    throw std::invalid_argument("unknown operation " + operation);
  }
}

// The head and intent as stored, read through an open index's own store without any refresh (a
// load, the next writer or reader would repair a head left pending): the head must not be
// pending, and no intent left.
inline void ExpectHeadSettled(ostrik::EncryptedIndex& index) {
  namespace ts = ostrik_encrypted_index::internal::token_store;
  auto& engine = EncryptedIndexTestAccess::Engine(index);
  EXPECT_FALSE(ts::IndexHead::Decode(engine.index_store_->GetItem(ts::kIndexHeadKey)).pending)
      << "the head is left pending";
  EXPECT_TRUE(engine.index_store_->GetItem(ts::kIntentKey).empty()) << "an intent is left";
}

// The other writer's changes.
inline void RunOther(ostrik::EncryptedIndex& index) {
  const Dataset d = Third();
  index.Upsert(d.vectors, d.ids, d.contents, d.metadata);
  index.Delete(Deleted());
}

// Afterwards: the other writer's versions and deletions stand, every other item is whole in
// version 1 or in the stalling writer's version (a new item may be absent), each is found once by
// a query probing every list.
inline void ExpectOthersWorkStands(ostrik::EncryptedIndex& index, const std::string& operation) {
  std::map<std::string, ItemVersion> before = ByIdOf(First());
  std::map<std::string, ItemVersion> after = before;
  std::set<std::string> absent_ok;
  if (operation == "upsert") {
    Dataset second = Second();
    second.ids.resize(kItems);  // the repeated ids' first occurrences
    for (const auto& [id, v] : ByIdOf(second)) {
      if (before.count(id) == 0) absent_ok.insert(id);
      after[id] = v;
    }
  }
  for (const auto& [id, v] : ByIdOf(Third())) {
    before[id] = v;
    after[id] = v;
    absent_ok.erase(id);
  }
  const std::vector<std::string> deleted = Deleted();
  for (const std::string& id : deleted) {
    before.erase(id);
    after.erase(id);
    absent_ok.erase(id);
  }
  ExpectEachItemWhole(index, before, after, absent_ok);
  EXPECT_TRUE(index.Get(deleted, {}).empty()) << "a deleted id is back";
}

}  // namespace index_test::stalled

namespace index_test {

// The locations of a stalling writer's kind: one server for everything, or (redis-split) the
// items on the TLS server and the rest on the plain one. None when a server's address is missing.
inline std::optional<TestLocations> StallLocations(const std::string& kind) {
  if (kind == "postgres") {
    const auto conn = dz_test::PostgresConnString();
    if (!conn) return std::nullopt;
    return LocationsFor(Backend::Postgres, *conn);
  }
  const auto plain = dz_test::RedisConnString();
  const auto tls = dz_test::RedisTlsConnString();
  if (kind == "redis" && plain) return LocationsFor(Backend::Redis, *plain);
  if (kind == "redis-tls" && tls) return LocationsFor(Backend::Redis, *tls);
  if (kind == "redis-split" && plain && tls) {
    TestLocations l = LocationsFor(Backend::Redis, *plain);
    l.items = ostrik::DBConfig("redis", "dz_index", *tls);
    return l;
  }
  return std::nullopt;
}

}  // namespace index_test
