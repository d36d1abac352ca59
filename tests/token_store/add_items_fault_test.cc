// AddItems when a store fails midway. Each of the four stores is wrapped in turn and made to fail
// at every call of a batch that moves, replaces, re-adds and adds items (refused, store gone, reply
// lost after the work). After each failure every item of the batch must show in exactly one list
// and by id as its old version or its new one (old record, old contents; a new record may still
// meet old contents), a new item must be absent or whole, the items outside the batch untouched;
// a later unrelated add must not disturb that, and repeating the batch must complete it. Plus the
// real-server case: a PostgreSQL trigger refusing the counts write.
#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <type_traits>

#include "core/aes_gcm.h"
#include "core/sha3.h"
#include "stores/memory_keystore.h"
#include "support/faulty_keystore.h"
#include "token_store/encoded_item_record.h"
#include "token_store/engine_fixture.h"

namespace engine_test {
namespace {

using dz_test::FaultyKeystore;
using Mode = FaultyKeystore::Mode;
using Op = FaultyKeystore::Op;
namespace bs = ostrik_encrypted_index::internal::backing_store;

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::kFailCall: return "fail one call";
    case Mode::kDeadFrom: return "store down";
    case Mode::kLostReply: return "reply lost";
    case Mode::kHook: return "hook";
  }
  return "?";
}

TEST(FaultyKeystore, InjectsEachFaultAtTheArmedCall) {
  std::shared_ptr<bs::Keystore> slot = std::make_shared<bs::MemoryKeystore>("f", 1, bs::INDEX);
  FaultyKeystore* f = FaultyKeystore::Wrap(slot);
  const ostrik::Bytes v = {1, 2};
  auto throws_injected = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const std::runtime_error& e) {
      return std::string(e.what()).rfind(dz_test::kInjectedFault, 0) == 0;
    }
    return false;
  };

  f->Arm(Mode::kFailCall, 2);
  slot->PushItem(1, v);
  EXPECT_TRUE(throws_injected([&] { slot->PushItem(2, v); }));
  EXPECT_TRUE(f->fired());
  EXPECT_TRUE(slot->GetItem(2).empty());  // not made
  EXPECT_EQ(slot->GetItem(1), v);         // later calls pass

  f->Arm(Mode::kLostReply, 1, Op::PushItem);
  EXPECT_EQ(slot->NumItems(), 1u);  // another operation: not counted
  EXPECT_TRUE(throws_injected([&] { slot->PushItem(3, v); }));
  EXPECT_EQ(slot->GetItem(3), v);  // made

  f->Arm(Mode::kDeadFrom, 1);
  EXPECT_TRUE(throws_injected([&] { slot->DeleteItem(1); }));
  EXPECT_TRUE(throws_injected([&] { slot->GetItem(1); }));
  EXPECT_TRUE(throws_injected([&] { slot->BatchGetVariable({1}); }));
  f->Disarm();
  EXPECT_EQ(slot->GetItem(1), v);  // nothing was made while down

  EXPECT_EQ(f->calls(Op::PushItem), 3u);
  EXPECT_EQ(f->calls(), 11u);
  EXPECT_EQ(f->inner().NumItems(), 2u);
  EXPECT_THROW(f->Arm(Mode::kFailCall, 0), std::invalid_argument);
}

// Everything a user sees of the index: every list (fetched twice, so that the second may come
// from the cache), and each id's record and contents by id.
struct Look {
  Groups groups;
  std::vector<size_t> placeholders;                          // per token
  std::map<std::string, std::vector<std::pair<uint32_t, Got>>> listed;  // id -> (token, entry)
  struct ById {
    uint32_t token = 0;
    Got record;
    std::string contents;
    bool operator==(const ById&) const = default;
  };
  std::map<std::string, ById> by_id;  // ids with a stored record
};

Look LookAt(ts::TokenIndex& e, const std::vector<std::string>& ids) {
  Look out;
  std::vector<uint32_t> all(static_cast<size_t>(e.vocab_size_));
  for (size_t t = 0; t < all.size(); ++t) all[t] = static_cast<uint32_t>(t);
  out.groups = ToGroups(e.GetTokenItems(all), all.size());
  EXPECT_EQ(ToGroups(e.GetTokenItems(all), all.size()), out.groups) << "a second fetch differs";
  out.placeholders.assign(all.size(), 0);
  for (size_t t = 0; t < out.groups.size(); ++t) {
    for (const Got& g : out.groups[t]) {
      if (g.id.empty()) {
        ++out.placeholders[t];
      } else {
        out.listed[g.id].push_back({static_cast<uint32_t>(t), g});
      }
    }
  }
  const auto records = ostrik::DecryptItems(e.data_store_->BatchGetVariable(ostrik::HashItemIds(ids, e.data_key_.data())),
                                            e.data_key_.data());
  const auto contents = ostrik::DecryptItems(
      e.items_store_->BatchGetVariable(ostrik::HashItemIds(ids, e.content_key_.data())), e.content_key_.data());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (records[i].empty()) continue;
    const ts::EncodedItemRecord rec = ts::DecodeItemRecord(records[i], e.payload_size_);
    Look::ById& b = out.by_id[ids[i]];
    b.token = rec.token;
    b.record = Got{std::string(rec.item_id), ostrik::Bytes(rec.payload, rec.payload + e.payload_size_),
                   std::string(rec.metadata)};
    b.contents.assign(contents[i].begin(), contents[i].end());
  }
  return out;
}

Look::ById Expected(const ItemSpec& s) {
  return Look::ById{s.token, Got{s.id, ostrik::Bytes(kWidth, s.fill), s.metadata}, s.contents};
}

std::map<std::string, ItemSpec> LastOf(const std::vector<ItemSpec>& items) {
  std::map<std::string, ItemSpec> out;
  for (const auto& s : items) out[s.id] = s;
  return out;
}

// A history of adds and deletes, then the batch under test.
struct Scenario {
  std::vector<ItemSpec> initial;
  std::vector<std::string> deleted;
  std::vector<ItemSpec> batch;
  std::vector<ItemSpec> later;  // an unrelated add made after the failure, before the retry
};

// Every kind of change in one batch, each id's contents given or not in both versions.
Scenario Mixed() {
  Scenario s;
  s.initial = {{"move-a", 0, 1, "ma", "c-ma"},  {"move-b", 1, 2, "mb", "c-mb"}, {"same-c", 2, 3, "sc", "c-sc"},
               {"same-d", 3, 4, "sd", "c-sd"},  {"plain-e", 0, 5, "pe", ""},    {"keep-f", 0, 6, "kf", "c-kf"},
               {"keep-g", 1, 7, "kg", ""},      {"gone-h", 2, 8, "gh", "c-gh"}, {"gone-i", 1, 9, "gi", ""}};
  s.deleted = {"gone-h", "gone-i"};
  s.batch = {{"new-j", 2, 19, "nj0", "c-nj0"},  // repeated: the last occurrence wins
             {"move-a", 1, 11, "ma2", "c-ma2"},  {"same-c", 2, 13, "sc2", "c-sc2"}, {"gone-h", 0, 18, "gh2", "c-gh2"},
             {"new-k", 3, 21, "nk", ""},         {"move-b", 2, 12, "mb2", ""},      {"same-d", 3, 14, "sd2", ""},
             {"plain-e", 3, 15, "pe2", "c-pe2"}, {"new-j", 1, 20, "nj", "c-nj"},    {"new-l", 0, 22, "nl", "c-nl"}};
  s.later = {{"later-m", 0, 30, "lm", "c-lm"}, {"later-n", 1, 31, "ln", ""}, {"later-o", 2, 32, "lo", "c-lo"},
             {"later-p", 3, 33, "lp", ""}};
  return s;
}

// More than one write chunk: moved, re-added and new items in both chunks.
Scenario Chunked() {
  Scenario s;
  const int kOld = 10002;
  for (int i = 0; i < kOld; ++i) {
    s.initial.push_back({"x" + std::to_string(i), static_cast<uint32_t>(i % 2), static_cast<uint8_t>(i), "",
                         i % 3 == 0 ? "c" + std::to_string(i) : ""});
  }
  for (int i = 0; i < kOld; ++i) {
    const uint32_t token = i % 4 == 0 ? static_cast<uint32_t>(1 - i % 2) : static_cast<uint32_t>(i % 2);
    s.batch.push_back({"x" + std::to_string(i), token, static_cast<uint8_t>(i + 1), "v2",
                       i % 5 == 0 ? "d" + std::to_string(i) : ""});
    if (i == 3 || i == kOld - 2) s.batch.push_back({"y" + std::to_string(i), 1, 7, "y", "cy"});
  }
  s.later = {{"later-m", 0, 30, "", ""}, {"later-n", 1, 31, "", "c-ln"}};
  return s;
}

std::vector<std::string> AllIds(const Scenario& s) {
  std::set<std::string> ids;
  for (const auto* list : {&s.initial, &s.batch, &s.later}) {
    for (const auto& i : *list) ids.insert(i.id);
  }
  return std::vector<std::string>(ids.begin(), ids.end());
}

// After a failed add of the batch (and maybe later adds that succeeded): the invariant above.
void ExpectMidway(const Scenario& sc, const Look& before, const Look& now, const std::vector<ItemSpec>& whole_extra) {
  const auto old_items = LastOf(sc.initial);
  std::set<std::string> deleted(sc.deleted.begin(), sc.deleted.end());
  const auto new_items = LastOf(sc.batch);
  std::vector<size_t> absent_new(now.placeholders.size(), 0);
  auto listed = [&](const std::string& id) {
    auto it = now.listed.find(id);
    return it == now.listed.end() ? std::vector<std::pair<uint32_t, Got>>{} : it->second;
  };
  auto whole = [&](const ItemSpec& s, const char* what) {
    const auto l = listed(s.id);
    auto b = now.by_id.find(s.id);
    const bool ok = l.size() == 1 && b != now.by_id.end() && b->second == Expected(s) && l[0].first == s.token &&
                    l[0].second == b->second.record;
    if (!ok) ADD_FAILURE() << s.id << " is not whole (" << what << "): listed " << l.size() << " times";
  };
  for (const auto& [id, wanted] : new_items) {
    const auto l = listed(id);
    auto b = now.by_id.find(id);
    const bool existed = old_items.count(id) != 0 && deleted.count(id) == 0;
    if (!existed) {
      if (b == now.by_id.end()) {
        if (!l.empty()) ADD_FAILURE() << id << " is listed without a record";
        ++absent_new[wanted.token];
      } else {
        whole(wanted, "new item with a record");
      }
      continue;
    }
    const ItemSpec& old = old_items.at(id);
    if (b == now.by_id.end()) {
      ADD_FAILURE() << id << " lost its record";
      continue;
    }
    const Look::ById& got = b->second;
    const bool is_new = got.token == wanted.token && got.record == Expected(wanted).record;
    const bool is_old = got.token == old.token && got.record == Expected(old).record;
    EXPECT_TRUE(is_new || is_old) << id << " shows a record of neither version";
    if (is_new) {
      EXPECT_TRUE(got.contents == wanted.contents || got.contents == old.contents) << id << ": " << got.contents;
    } else {
      EXPECT_EQ(got.contents, old.contents) << id << " shows its old record with other contents";
    }
    ASSERT_EQ(l.size(), 1u) << id << " must be in exactly one list";
    EXPECT_EQ(l[0].first, got.token) << id;
    EXPECT_EQ(l[0].second, got.record) << id;
  }
  for (const auto& s : whole_extra) whole(s, "added after the failure");
  // Everything else is as it was, in the same order.
  std::set<std::string> touched;
  for (const auto& entry : new_items) touched.insert(entry.first);
  for (const auto& s : whole_extra) touched.insert(s.id);
  auto untouched = [&](const auto& by_id) {
    std::remove_cvref_t<decltype(by_id)> out;
    for (const auto& [id, v] : by_id) {
      if (touched.count(id) == 0) out.emplace(id, v);
    }
    return out;
  };
  EXPECT_EQ(untouched(now.listed), untouched(before.listed)) << "items outside the batch moved in the lists";
  EXPECT_EQ(untouched(now.by_id), untouched(before.by_id)) << "items outside the batch changed by id";
  for (size_t t = 0; t < now.placeholders.size(); ++t) {
    EXPECT_LE(now.placeholders[t], before.placeholders[t] + absent_new[t]) << "placeholders of token " << t;
  }
}

// After a successful add: the model's lists, every record and contents as last added.
void ExpectComplete(const Model& model, const std::vector<ItemSpec>& history, const std::vector<std::string>& deleted,
                    const Look& now) {
  std::vector<uint32_t> all(now.groups.size());
  for (size_t t = 0; t < all.size(); ++t) all[t] = static_cast<uint32_t>(t);
  EXPECT_EQ(now.groups, model.Fetch(all));
  auto last = LastOf(history);
  for (const auto& id : deleted) last.erase(id);
  for (const auto& [id, wanted] : last) {
    auto it = now.by_id.find(id);
    if (it == now.by_id.end()) {
      ADD_FAILURE() << id << " has no record";
    } else {
      EXPECT_EQ(it->second, Expected(wanted)) << id;
    }
  }
  EXPECT_EQ(now.by_id.size(), last.size());
}

struct SweepOptions {
  std::vector<Mode> modes = {Mode::kFailCall, Mode::kDeadFrom, Mode::kLostReply};
  std::vector<uint64_t> caches = {0, 8};
  bool reopen = false;  // close the failed engine and load the index afresh before going on
};

enum class Slot { Index, Data, Config, Items };
const char* SlotName(Slot s) {
  switch (s) {
    case Slot::Index: return "index";
    case Slot::Data: return "data";
    case Slot::Config: return "config";
    case Slot::Items: return "items";
  }
  return "?";
}

FaultyKeystore* WrapSlot(ts::TokenIndex& e, Slot s) {
  switch (s) {
    case Slot::Index: return FaultyKeystore::Wrap(e.index_store_);
    case Slot::Data: return FaultyKeystore::Wrap(e.data_store_);
    case Slot::Config: return FaultyKeystore::Wrap(e.config_store_);
    case Slot::Items: return FaultyKeystore::Wrap(e.items_store_);
  }
  return nullptr;
}

class AddItemsFaultTest : public EngineTest {
 protected:
  // One fresh index per injected fault: history, fault, checks, a later add, the retry.
  void Sweep(const Scenario& sc, const SweepOptions& options) {
    const std::vector<std::string> ids = AllIds(sc);
    for (uint64_t cache : options.caches) {
      for (Slot slot : {Slot::Index, Slot::Data, Slot::Config, Slot::Items}) {
        for (Mode mode : options.modes) {
          uint64_t faults = 0;
          for (uint64_t nth = 1;; ++nth) {
            SCOPED_TRACE(std::string("cache ") + std::to_string(cache) + ", " + SlotName(slot) + " store, " +
                         ModeName(mode) + " at its call " + std::to_string(nth) + " of the batch");
            bool fired = false;
            RunOne(sc, ids, cache, slot, mode, nth, options.reopen, fired);
            if (HasFatalFailure() || !fired) break;
            ++faults;
          }
          // The batch makes no config-store call; every other store is reached.
          if (slot != Slot::Config) {
            EXPECT_GT(faults, 0u) << SlotName(slot) << " store never reached";
          }
          if (HasFatalFailure()) return;
        }
      }
    }
  }

  void RunOne(const Scenario& sc, const std::vector<std::string>& ids, uint64_t cache, Slot slot, Mode mode,
              uint64_t nth, bool reopen, bool& fired) {
    ostrik::IndexSetup setup = Setup(UniqueName(), 4, cache);
    // Hundreds of small adds and fetches: a full team would spend the sweep in barriers.
    setup.cpu_threads = 2;
    auto e = std::make_unique<ts::TokenIndex>(setup, nullptr);
    e->AddItems(Batch(sc.initial, true, true));
    e->DeleteItems(sc.deleted);
    Model model;
    model.Add(sc.initial);
    model.Delete(sc.deleted);
    const Look before = LookAt(*e, ids);  // also fills the cache
    const std::vector<uint32_t> counts_before = StoredCounts(*e);

    FaultyKeystore* f = WrapSlot(*e, slot);
    f->Arm(mode, nth);
    std::optional<std::string> error;
    try {
      e->AddItems(Batch(sc.batch, true, true));
    } catch (const std::runtime_error& err) {
      error = err.what();
    }
    fired = f->fired();
    f->Disarm();
    std::vector<ItemSpec> history = sc.initial;
    std::vector<std::string> deleted;  // and not added again
    for (const auto& id : sc.deleted) {
      if (LastOf(sc.batch).count(id) == 0) deleted.push_back(id);
    }
    if (!fired) {
      EXPECT_FALSE(error) << *error;
      model.Add(sc.batch);
      history.insert(history.end(), sc.batch.begin(), sc.batch.end());
      ExpectComplete(model, history, deleted, LookAt(*e, ids));
      Drop(e);
      return;
    }
    ASSERT_TRUE(error) << "a failed write was reported as success";
    EXPECT_NE(error->find(dz_test::kInjectedFault), std::string::npos) << *error;
    const std::vector<uint32_t> counts_after = StoredCounts(*e);
    const bool positions_taken = counts_after != counts_before;
    if (reopen) {
      // Looked at through a second engine: a fetch by the failed one would reload its counts.
      auto reader = ts::TokenIndex::Load(setup, nullptr);
      ExpectMidway(sc, before, LookAt(*reader, ids), {});
      e = std::move(reader);  // the failed engine's destructor must leave the stored counts alone
      EXPECT_EQ(StoredCounts(*e), counts_after);
    } else {
      ExpectMidway(sc, before, LookAt(*e, ids), {});
    }
    // An unrelated add must take positions of its own.
    e->AddItems(Batch(sc.later, true, true));
    ExpectMidway(sc, before, LookAt(*e, ids), sc.later);

    e->AddItems(Batch(sc.batch, true, true));
    // Each item sits at its first position: the failed attempt's where they became visible.
    if (positions_taken) model.Add(sc.batch);
    model.Add(sc.later);
    model.Add(sc.batch);
    history.insert(history.end(), sc.later.begin(), sc.later.end());
    history.insert(history.end(), sc.batch.begin(), sc.batch.end());
    ExpectComplete(model, history, deleted, LookAt(*e, ids));
    EXPECT_EQ(StoredCounts(*e), e->token_counts_);
    Drop(e);
  }
};

TEST_P(AddItemsFaultTest, EveryFailurePointKeepsEachItemFindableAndARetryCompletesTheBatch) {
  SweepOptions options;
  if (persistent()) {
    options.caches = {8};
    options.reopen = true;
  }
  Sweep(Mixed(), options);
}

// The memory sweep alone: the servers run the small batch.
class ChunkedAddItemsFaultTest : public AddItemsFaultTest {};

TEST_P(ChunkedAddItemsFaultTest, BatchFailingInAnyChunk) {
  SweepOptions options;
  options.modes = {Mode::kFailCall, Mode::kLostReply};
  options.caches = {4};
  Sweep(Chunked(), options);
}

INSTANTIATE_TEST_SUITE_P(Stores, AddItemsFaultTest, testing::Values(Backend::Memory, Backend::Postgres, Backend::Redis),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Stores, ChunkedAddItemsFaultTest, testing::Values(Backend::Memory), BackendName);

// Runs SQL on the test cluster; a failure fails the test.
void Exec(const std::string& conn, const std::string& sql) {
  PGconn* pg = PQconnectdb(conn.c_str());
  ASSERT_EQ(PQstatus(pg), CONNECTION_OK) << PQerrorMessage(pg);
  PGresult* r = PQexec(pg, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  const std::string message = PQerrorMessage(pg);
  PQclear(r);
  PQfinish(pg);
  ASSERT_TRUE(ok) << sql << ": " << message;
}

class PostgresAddItemsFaultTest : public EngineTest {};

// Index and data stores share one table; a trigger refuses every write of the counts record.
TEST_P(PostgresAddItemsFaultTest, RefusedCountsWriteKeepsTheMovedItemInItsOldList) {
  const std::string name = UniqueName();
  const std::string suffix = name.substr(name.rfind('_') + 1);
  const std::string table = "dz_tokens_trig_" + suffix;
  const std::string function = "dz_refuse_counts_" + suffix;
  ostrik::IndexSetup setup = Setup(name, 2);
  setup.index_location = setup.data_location = ostrik::DBConfig("postgres", table, conn_);
  auto e = std::make_unique<ts::TokenIndex>(setup, nullptr);
  const std::vector<std::string> ids = {"w", "x", "y"};
  e->AddItems(Batch({{"x", 0, 1, "x1", "cx1"}, {"y", 0, 2, "y1", ""}}, true, true));

  Exec(conn_, "CREATE FUNCTION " + function +
                  "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'counts write refused'; END $$;");
  Exec(conn_, "CREATE TRIGGER refuse_counts BEFORE INSERT OR UPDATE ON " + table +
                  " FOR EACH ROW WHEN (NEW.key = '" + std::to_string(ts::kTokenCountsKey) + "') EXECUTE FUNCTION " +
                  function + "();");
  try {
    e->AddItems(Batch({{"x", 1, 3, "x2", "cx2"}}, true, true));
    ADD_FAILURE() << "the refused counts write was reported as success";
  } catch (const std::runtime_error& err) {
    EXPECT_NE(std::string(err.what()).find("counts write refused"), std::string::npos) << err.what();
  }
  const Look::ById x1 = Expected({"x", 0, 1, "x1", "cx1"});
  auto expect_x = [&](const Look::ById& version, const char* step) {
    SCOPED_TRACE(step);
    const Look now = LookAt(*e, ids);
    ASSERT_EQ(now.listed.count("x"), 1u);
    EXPECT_EQ(now.listed.at("x"), (std::vector<std::pair<uint32_t, Got>>{{version.token, version.record}}));
    ASSERT_EQ(now.by_id.count("x"), 1u);
    EXPECT_EQ(now.by_id.at("x"), version);
    EXPECT_EQ(now.by_id.at("y"), Expected({"y", 0, 2, "y1", ""}));
  };
  expect_x(x1, "after the refused write");
  e.reset();
  e = ts::TokenIndex::Load(setup, nullptr);
  expect_x(x1, "reopened");

  Exec(conn_, "DROP FUNCTION " + function + "() CASCADE;");
  // The next add to token 1 takes positions of its own and leaves x where it is.
  e->AddItems(Batch({{"w", 1, 4, "w1", ""}}, true, true));
  expect_x(x1, "after another add to token 1");
  e->AddItems(Batch({{"x", 1, 3, "x2", "cx2"}}, true, true));
  expect_x(Expected({"x", 1, 3, "x2", "cx2"}), "after the retry");
  EXPECT_EQ(ToGroups(e->GetTokenItems({0, 1}), 2),
            (Groups{{Got{"y", ostrik::Bytes(kWidth, 2), "y1"}},
                    {Got{"w", ostrik::Bytes(kWidth, 4), "w1"}, Got{"x", ostrik::Bytes(kWidth, 3), "x2"}}}));
  Drop(e);
  Exec(conn_, "DROP TABLE " + table + ";");
}

INSTANTIATE_TEST_SUITE_P(Stores, PostgresAddItemsFaultTest, testing::Values(Backend::Postgres), BackendName);

}  // namespace
}  // namespace engine_test
