// A writer that dies: loads an index kept by the index suites' locations, and runs one of the
// durability operations with one store wrapped so that the process kills itself with SIGKILL at
// that store's nth call (no unwinding, no destructor, no cleanup, as when a process is killed).
// Without a fatal call it prints the calls each store saw and exits 0.
//
//   durability_worker postgres|redis <index name> <operation> index|data|config|items|none <n>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "durability.h"
#include "index_fixture.h"
#include "stores/redis_store_connection.h"

namespace {

using ostrik_encrypted_index::internal::backing_store::Keystore;
using index_test::Backend;

// Forwards every call; the nth (counted from 1) is never made: the process dies first.
class KillingKeystore : public Keystore {
 public:
  // `calls` outlives the store: deleting an index destroys its stores.
  KillingKeystore(std::shared_ptr<Keystore> inner, uint64_t nth, uint64_t& calls)
      : inner_(std::move(inner)), nth_(nth), calls_(calls) {}

  void BatchPushItems(const std::vector<uint64_t>& k, const ostrik::ByteMatrix& v) override {
    Tick();
    inner_->BatchPushItems(k, v);
  }
  void BatchPushVariable(const std::vector<uint64_t>& k, const std::vector<std::vector<uint8_t>>& v) override {
    Tick();
    inner_->BatchPushVariable(k, v);
  }
  void PushItem(const uint64_t& k, const std::vector<uint8_t>& v) override {
    Tick();
    inner_->PushItem(k, v);
  }
  void BatchDeleteItems(const std::vector<uint64_t>& k) override {
    Tick();
    inner_->BatchDeleteItems(k);
  }
  void DeleteItem(const uint64_t& k) override {
    Tick();
    inner_->DeleteItem(k);
  }
  std::vector<uint8_t> GetItem(const uint64_t& k) override {
    Tick();
    return inner_->GetItem(k);
  }
  ostrik::ByteMatrix BatchGetItems(const std::vector<uint64_t>& k) override {
    Tick();
    return inner_->BatchGetItems(k);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& k) override {
    Tick();
    return inner_->BatchGetVariable(k);
  }
  void BatchGetViews(const std::vector<uint64_t>& k, ostrik_encrypted_index::internal::backing_store::ValueViews& out) override {
    Tick();
    inner_->BatchGetViews(k, out);
  }
  void PushConfigItem(const std::string& n, const std::vector<uint8_t>& v) override {
    Tick();
    inner_->PushConfigItem(n, v);
  }
  std::vector<uint8_t> LoadConfigItem(const std::string& n) override {
    Tick();
    return inner_->LoadConfigItem(n);
  }
  bool ConfigItemExists(const std::string& n) override {
    Tick();
    return inner_->ConfigItemExists(n);
  }
  void DeleteIndex() override {
    Tick();
    inner_->DeleteIndex();
  }
  uint64_t NumItems() override {
    Tick();
    return inner_->NumItems();
  }
  void SetValueSize(const uint64_t& s) override { inner_->SetValueSize(s); }
  void LockIndex(std::chrono::milliseconds timeout) override { inner_->LockIndex(timeout); }
  void UnlockIndex() noexcept override { inner_->UnlockIndex(); }
  bool HoldsIndexLock() const override { return inner_->HoldsIndexLock(); }
  void CheckIndexLock() override { inner_->CheckIndexLock(); }
  void SetLockGuard(uint64_t key, const std::vector<uint8_t>& value) override { inner_->SetLockGuard(key, value); }

 private:
  void Tick() {
    if (++calls_ == nth_) raise(SIGKILL);
  }
  std::shared_ptr<Keystore> inner_;
  uint64_t nth_;
  uint64_t& calls_;
};

template <typename Slot>
void Wrap(Slot& slot, uint64_t nth, uint64_t& calls) {
  slot = std::make_unique<KillingKeystore>(std::shared_ptr<Keystore>(std::move(slot)), nth, calls);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: durability_worker postgres|redis <name> <operation> <store> <n>\n";
    return 2;
  }
  const std::string kind = argv[1], name = argv[2], operation = argv[3], slot = argv[4];
  const uint64_t nth = std::strtoull(argv[5], nullptr, 10);
  const Backend backend = kind == "postgres" ? Backend::Postgres : Backend::Redis;
  const auto conn = backend == Backend::Postgres ? dz_test::PostgresConnString() : dz_test::RedisConnString();
  if (!conn) {
    std::cerr << "durability_worker: no server address in the environment\n";
    return 2;
  }
  // A killed writer's Redis lock must expire before the test's patience does.
  ostrik_encrypted_index::internal::backing_store::SetRedisLockTimingForTesting(std::chrono::milliseconds(500),
                                                                               std::chrono::milliseconds(100));
  try {
    const index_test::TestLocations l = index_test::LocationsFor(backend, *conn);
    ostrik::Client client(l.index, l.config, l.items, 1, false);
    auto index = client.LoadIndex(name, index_test::Key(), 0, nullptr);
    auto& engine = ostrik::EncryptedIndexTestAccess::Engine(*index);
    static uint64_t calls[4] = {0, 0, 0, 0};
    Wrap(engine.index_store_, slot == "index" ? nth : 0, calls[0]);
    Wrap(engine.data_store_, slot == "data" ? nth : 0, calls[1]);
    Wrap(engine.config_store_, slot == "config" ? nth : 0, calls[2]);
    Wrap(engine.items_store_, slot == "items" ? nth : 0, calls[3]);
    const index_test::Versions v = index_test::MakeVersions(16);
    bool found = false;
    for (const index_test::Operation& op : index_test::Operations(v)) {
      if (op.name != operation) continue;
      found = true;
      op.run(*index);
    }
    if (!found) {
      std::cerr << "durability_worker: unknown operation " << operation << "\n";
      return 2;
    }
    std::cout << "calls " << calls[0] << " " << calls[1] << " " << calls[2] << " " << calls[3] << std::endl;
    // Leave the index as the operation left it: no destructor may write anything more.
    std::fflush(stdout);
    std::_Exit(0);
  } catch (const std::exception& e) {
    std::cerr << "durability_worker: " << e.what() << "\n";
    return 1;
  }
}
