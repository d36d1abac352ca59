// FaultyKeystore: a Keystore that forwards every call to a real store, counts the calls of each
// operation, and on request makes one of them fail, so that a test can check what a failure
// midway through an operation leaves behind. Three faults, armed at the nth call from the arming
// (counting every operation, or only one named operation):
//   kFailCall   the call throws without reaching the store; later calls pass (a refused command);
//   kDeadFrom   that call and every later one, of any operation, throw without reaching the
//               store until Disarm() (a server gone);
//   kLostReply  the call reaches the store and then throws; later calls pass (a reply lost after
//               the work was done);
//   kHook       a function of the test runs just before the call reaches the store (a real fault:
//               the connection dropped, the server restarted), and the call goes on.
// An operation the interface builds on others (a default method) reaches the wrapper as the calls
// it makes. The writer-lock members are forwarded too and can be failed like the others, except
// HoldsIndexLock (a local answer) and UnlockIndex, which never throws and whose failure a server
// answers by dropping the lock anyway: both always pass and are not counted. Wrap() swaps it into
// an engine's store slot (the shared_ptr index and data slots, the unique_ptr config and items
// slots) and hands back a pointer to arm and read it.
//
// Throws std::runtime_error whose text starts with kInjectedFault for an injected failure, and
// whatever the wrapped store throws otherwise. Not synchronised: one thread at a time, like the
// stores it wraps.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <functional>
#include <vector>

#include "stores/keystore.h"

namespace dz_test {

inline constexpr const char* kInjectedFault = "injected store fault";

class FaultyKeystore : public ostrik_encrypted_index::internal::backing_store::Keystore {
 public:
  enum class Op {
    BatchPushItems,
    BatchPushVariable,
    PushItem,
    BatchDeleteItems,
    DeleteItem,
    GetItem,
    BatchGetItems,
    BatchGetVariable,
    PushConfigItem,
    LoadConfigItem,
    ConfigItemExists,
    DeleteIndex,
    NumItems,
    SetValueSize,
    LockIndex,
    UnlockIndex,
    CheckIndexLock,
    SetLockGuard,
  };
  static constexpr size_t kOps = static_cast<size_t>(Op::SetLockGuard) + 1;

  enum class Mode { kFailCall, kDeadFrom, kLostReply, kHook };

  explicit FaultyKeystore(std::shared_ptr<Keystore> inner) : inner_(std::move(inner)) {
    if (!inner_) throw std::invalid_argument("FaultyKeystore needs a store to wrap");
  }

  // Replace the store in `slot` by a wrapper around it; the slot owns the wrapper.
  static FaultyKeystore* Wrap(std::shared_ptr<Keystore>& slot) {
    auto wrapper = std::make_shared<FaultyKeystore>(std::move(slot));
    FaultyKeystore* raw = wrapper.get();
    slot = std::move(wrapper);
    return raw;
  }
  static FaultyKeystore* Wrap(std::unique_ptr<Keystore>& slot) {
    auto wrapper = std::make_unique<FaultyKeystore>(std::shared_ptr<Keystore>(std::move(slot)));
    FaultyKeystore* raw = wrapper.get();
    slot = std::move(wrapper);
    return raw;
  }

  // REQUIRES: nth >= 1. Replaces any fault armed before.
  // kHook with the function to run.
  void ArmHook(uint64_t nth, std::function<void()> hook, std::optional<Op> only = std::nullopt) {
    Arm(Mode::kHook, nth, only);
    hook_ = std::move(hook);
  }
  void Arm(Mode mode, uint64_t nth, std::optional<Op> only = std::nullopt) {
    if (nth == 0) throw std::invalid_argument("FaultyKeystore: calls are counted from 1");
    armed_ = true;
    dead_ = *fired_ = false;
    mode_ = mode;
    nth_ = nth;
    seen_ = 0;
    only_ = only;
  }
  // No more faults: a dead store comes back.
  void Disarm() { armed_ = dead_ = false; }
  // Whether the fault armed last has been injected; the flag outlives the wrapper (an operation
  // that disconnects the index destroys its stores).
  bool fired() const { return *fired_; }
  std::shared_ptr<const bool> FiredFlag() const { return fired_; }

  // Calls since construction, of every operation or of one.
  uint64_t calls() const { return total_; }
  uint64_t calls(Op op) const { return per_op_[static_cast<size_t>(op)]; }
  Keystore& inner() { return *inner_; }

  static const char* OpName(Op op) {
    static constexpr std::array<const char*, kOps> kNames = {
        "BatchPushItems", "BatchPushVariable", "PushItem",         "BatchDeleteItems", "DeleteItem",
        "GetItem",        "BatchGetItems",     "BatchGetVariable", "PushConfigItem",   "LoadConfigItem",
        "ConfigItemExists", "DeleteIndex",     "NumItems",         "SetValueSize",     "LockIndex",
        "UnlockIndex",      "CheckIndexLock",  "SetLockGuard"};
    return kNames[static_cast<size_t>(op)];
  }

  void BatchPushItems(const std::vector<uint64_t>& keys, const ostrik::ByteMatrix& values) override {
    Call(Op::BatchPushItems, [&] { inner_->BatchPushItems(keys, values); });
  }
  void BatchPushVariable(const std::vector<uint64_t>& keys, const std::vector<std::vector<uint8_t>>& values) override {
    Call(Op::BatchPushVariable, [&] { inner_->BatchPushVariable(keys, values); });
  }
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override {
    Call(Op::PushItem, [&] { inner_->PushItem(key, value); });
  }
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override {
    Call(Op::BatchDeleteItems, [&] { inner_->BatchDeleteItems(keys); });
  }
  void DeleteItem(const uint64_t& key) override {
    Call(Op::DeleteItem, [&] { inner_->DeleteItem(key); });
  }
  std::vector<uint8_t> GetItem(const uint64_t& key) override {
    return Call(Op::GetItem, [&] { return inner_->GetItem(key); });
  }
  ostrik::ByteMatrix BatchGetItems(const std::vector<uint64_t>& keys) override {
    return Call(Op::BatchGetItems, [&] { return inner_->BatchGetItems(keys); });
  }
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override {
    return Call(Op::BatchGetVariable, [&] { return inner_->BatchGetVariable(keys); });
  }
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& value) override {
    Call(Op::PushConfigItem, [&] { inner_->PushConfigItem(name, value); });
  }
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override {
    return Call(Op::LoadConfigItem, [&] { return inner_->LoadConfigItem(name); });
  }
  bool ConfigItemExists(const std::string& name) override {
    return Call(Op::ConfigItemExists, [&] { return inner_->ConfigItemExists(name); });
  }
  void DeleteIndex() override {
    Call(Op::DeleteIndex, [&] { inner_->DeleteIndex(); });
  }
  uint64_t NumItems() override {
    return Call(Op::NumItems, [&] { return inner_->NumItems(); });
  }
  void SetValueSize(const uint64_t& size) override {
    Call(Op::SetValueSize, [&] { inner_->SetValueSize(size); });
  }
  void LockIndex(std::chrono::milliseconds timeout) override {
    Call(Op::LockIndex, [&] { inner_->LockIndex(timeout); });
  }
  void UnlockIndex() noexcept override { inner_->UnlockIndex(); }
  bool HoldsIndexLock() const override { return inner_->HoldsIndexLock(); }
  void CheckIndexLock() override {
    Call(Op::CheckIndexLock, [&] { inner_->CheckIndexLock(); });
  }
  void SetLockGuard(uint64_t key, const std::vector<uint8_t>& value) override {
    Call(Op::SetLockGuard, [&] { inner_->SetLockGuard(key, value); });
  }

 private:
  [[noreturn]] void Throw(Op op, const char* what) const {
    throw std::runtime_error(std::string(kInjectedFault) + ": call " + std::to_string(total_) + " (" + OpName(op) +
                             ") " + what);
  }

  template <typename F>
  std::invoke_result_t<F&> Call(Op op, F&& forward) {
    ++total_;
    ++per_op_[static_cast<size_t>(op)];
    if (dead_) Throw(op, "not made: store down");
    if (armed_ && !*fired_ && (!only_ || *only_ == op) && ++seen_ == nth_) {
      *fired_ = true;
      switch (mode_) {
        case Mode::kFailCall:
          Throw(op, "not made");
        case Mode::kDeadFrom:
          dead_ = true;
          Throw(op, "not made: store down");
        case Mode::kHook:
          hook_();
          return forward();
        case Mode::kLostReply:
          forward();
          Throw(op, "made, reply lost");
      }
    }
    return forward();
  }

  std::shared_ptr<Keystore> inner_;
  std::array<uint64_t, kOps> per_op_{};
  uint64_t total_ = 0;
  bool armed_ = false, dead_ = false;
  std::shared_ptr<bool> fired_ = std::make_shared<bool>(false);
  Mode mode_ = Mode::kFailCall;
  uint64_t nth_ = 0, seen_ = 0;
  std::optional<Op> only_;
  std::function<void()> hook_;
};

}  // namespace dz_test
