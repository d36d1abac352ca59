#include "stores/store_connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/keystore.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

// Client libraries end their messages with a newline (libpq with several lines): the reason
// stands inside a sentence here.
std::string Trimmed(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  return text.substr(0, end);
}

std::string Seconds(std::chrono::milliseconds timeout) {
  const long long ms = timeout.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  return s;
}

}  // namespace

const char* StoreRoleName(int32_t kind) {
  switch (kind) {
    case INDEX: return "index";
    case CONFIG: return "config";
    case ITEMS: return "items";
    case DATA: return "data";
    default: return "unknown";
  }
}

std::string LostLockText(const std::string& index_name, const std::string& why) {
  return "Lost the writer lock of index '" + index_name + "': " + why;
}

std::function<void(int32_t)>* before_write_hook_for_testing = nullptr;

void SetBeforeWriteHookForTesting(std::function<void(int32_t role)> hook) {
  static std::function<void(int32_t)> stored;
  before_write_hook_for_testing = nullptr;
  stored = std::move(hook);
  if (stored) before_write_hook_for_testing = &stored;
}

StoreConnection::StoreConnection() : group_(std::make_shared<LockGroup>()) { group_->Join(this); }

StoreConnection::~StoreConnection() { group_->Leave(this); }

void StoreConnection::JoinGroup(std::shared_ptr<LockGroup> group) {
  group_->Leave(this);
  group_ = std::move(group);
  group_->Join(this);
}

void StoreConnection::RefuseIfLost() const {
  if (group_->lost()) throw std::runtime_error(group_->lost_text());
}

void StoreConnection::TakeCompanions(const void* owner, uint64_t identity, Clock::time_point deadline) {
  group_->SetPrimary(this);
  group_owner_ = owner;
  std::vector<StoreConnection*> taken;
  try {
    for (StoreConnection* member : group_->members()) {
      if (member == this) continue;
      member->TakeCompanionLock(identity, lock_.index_name, lock_.timeout, deadline);
      taken.push_back(member);
    }
  } catch (...) {
    for (StoreConnection* member : taken) member->ReleaseCompanionLock();
    group_->Clear();
    group_owner_ = nullptr;
    throw;
  }
}

void StoreConnection::ReleaseCompanions() noexcept {
  for (StoreConnection* member : group_->members()) {
    if (member != this && member->lock_.companion) member->ReleaseCompanionLock();
  }
  group_->Clear();
  group_owner_ = nullptr;
}

void StoreConnection::HoldCompanion(const std::string& index_name, std::chrono::milliseconds timeout) {
  lock_ = WriterLock();
  lock_.owner = group_.get();
  lock_.companion = true;
  lock_.index_name = index_name;
  lock_.timeout = timeout;
}

void StoreConnection::SetLockGuard(const void* owner, uint64_t key, const std::vector<uint8_t>& value) {
  if (!HoldsLock(owner)) return;
  lock_.guarded = true;
  lock_.guard_key = key;
  lock_.guard_value = value;
}

std::string StoreConnection::DistrustedLock(bool afresh,
                                            const std::function<std::vector<uint8_t>()>& read_guard) const {
  if (lock_.companion) {
    // Nobody writes here without first holding the primary, and every writer changes the primary's
    // guard: while the primary is confirmed ours, nobody can have written here meanwhile.
    if (!afresh) return "";
    StoreConnection* primary = group_->primary();
    if (primary == nullptr || primary == this) return "the index's lock is not held";
    const std::string why = primary->VerifyLock();
    return why.empty() ? "" : "the index's lock could not be confirmed: " + why;
  }
  try {
    if (!lock_.guarded) {
      // Never out of our hands, nobody else can have written; taken afresh, nothing tells.
      return afresh ? "no guard value was set to show that nothing changed meanwhile" : "";
    }
    if (read_guard() != lock_.guard_value) return "another writer changed the index meanwhile";
  } catch (const CommandFailure& failure) {
    return std::string("its guard could not be read: ") + failure.what();
  }
  return "";
}

void StoreConnection::LoseLock(const std::string& why) {
  const std::string text = LostLockText(lock_.index_name, why);
  lock_ = WriterLock();
  group_->MarkLost(text);
  EngineLogger().error(text);
  throw std::runtime_error(text);
}

void StoreConnection::CheckNoLockHeld(const void* owner) const {
  if (lock_.owner == nullptr || Inherited()) return;  // the parent's lock: forgotten before any use
  throw std::logic_error(lock_.owner == owner
                             ? "The writer lock of index '" + lock_.index_name + "' is already held by this store"
                             : "A writer lock is already held on this store's connection, for index '" +
                                   lock_.index_name + "'");
}

void StoreConnection::TimedOut(const std::string& index_name, std::chrono::milliseconds timeout) {
  const std::string text =
      "Timed out after " + Seconds(timeout) + " s waiting for the writer lock of index '" + index_name + "'";
  EngineLogger().error(text);
  throw std::runtime_error(text);
}

void StoreConnection::Report(const CommandFailure& failure) {
  if (failure.logged()) {
    EngineLogger().log(failure.level(), CommandFailure::Join(failure.logged_start(), failure.reason()));
  }
  throw std::runtime_error(failure.what());
}

void StoreConnection::ReportFault(const CommandFailure& failure, int32_t role, const std::string& what,
                                  const std::string& reason) {
  // After a sentence the role starts one of its own.
  const std::string article = !failure.start().empty() && failure.start().back() == '.' ? "The " : "the ";
  const std::string detail = article + StoreRoleName(role) + " store " + what + ": " + Trimmed(reason);
  const ostrik::LogLevel level = failure.level() > ostrik::ERROR ? failure.level() : ostrik::ERROR;
  EngineLogger().log(level, CommandFailure::Join(failure.logged_start(), detail));
  throw std::runtime_error(CommandFailure::Join(failure.start(), detail));
}

void StoreConnection::SilenceSocket(int fd) noexcept {
  if (fd < 0) return;
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  dup2(null_fd, fd);
  close(null_fd);
}

void StoreConnection::OpenOwnSession(int32_t role) {
  lock_ = WriterLock();  // the parent's, if it held one then
  LeaveParentSession();
  opened_by_ = getpid();
  try {
    Reopen();
  } catch (const std::exception& e) {
    const std::string text = std::string("The ") + StoreRoleName(role) +
                             " store could not open a connection of its own in this forked process: " + e.what();
    EngineLogger().error(text);
    throw std::runtime_error(text);
  }
}

void StoreConnection::Recover(int32_t role, const CommandFailure& failure) {
  EngineLogger().warning(std::string("The ") + StoreRoleName(role) + " store lost its connection (" +
                         Trimmed(failure.reason().empty() ? failure.what() : failure.reason()) + "); reconnecting");
  const bool locked = lock_.owner != nullptr;
  try {
    Reopen();
  } catch (const std::exception& e) {
    if (locked) {
      // Nothing is known of the lock now: it is not held, as far as the writer may rely on.
      const std::string text = LostLockText(lock_.index_name, "the connection could not be reopened");
      EngineLogger().error(text);
      lock_ = WriterLock();
      group_->MarkLost(text);
    }
    ReportFault(failure, role, "could not reconnect", e.what());
  }
  if (!locked) return;
  try {
    TakeLockBack(/*wait=*/true);
  } catch (const CommandFailure& again) {
    LoseLock("taking it back failed: " + Trimmed(again.what()));
  }
}

}  // namespace ostrik_encrypted_index::internal::backing_store
