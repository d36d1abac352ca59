// LockGroup: the connections of one index's stores (one per server and database, see
// store_connections.h) and the state of the writer lock they hold together. A write takes the lock
// on its index store's connection first (the primary) and then a lock of its own on every other
// connection of the group (a companion), so that each server fences the writes it receives by a
// lock it keeps itself. Once any of them is lost the write is over: no connection of the group
// sends another write until the holder releases the primary.
//
// Members join when their connection is made and leave when it is destroyed. Never throws. Not
// synchronised: the connections of one index are used by one thread at a time.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ostrik_encrypted_index::internal::backing_store {

class StoreConnection;

class LockGroup {
 public:
  void Join(StoreConnection* member) { members_.push_back(member); }
  void Leave(StoreConnection* member) {
    members_.erase(std::remove(members_.begin(), members_.end(), member), members_.end());
    if (primary_ == member) primary_ = nullptr;
  }
  const std::vector<StoreConnection*>& members() const { return members_; }

  // The connection holding the primary lock of a write under way in this process, or null.
  StoreConnection* primary() const { return Ours() ? primary_ : nullptr; }
  void SetPrimary(StoreConnection* primary) {
    primary_ = primary;
    taken_by_ = getpid();
    lost_ = false;
    lost_text_.clear();
  }
  // The write has ended (released, or inherited by a forked child, which holds nothing).
  void Clear() {
    primary_ = nullptr;
    lost_ = false;
    lost_text_.clear();
  }

  // The write under way lost its lock: `text` is the lost-lock error it failed with.
  void MarkLost(const std::string& text) {
    if (!Ours() || primary_ == nullptr || lost_) return;
    lost_ = true;
    lost_text_ = text;
  }
  bool lost() const { return Ours() && primary_ != nullptr && lost_; }
  const std::string& lost_text() const { return lost_text_; }

 private:
  bool Ours() const { return taken_by_ == getpid(); }

  std::vector<StoreConnection*> members_;
  StoreConnection* primary_ = nullptr;
  pid_t taken_by_ = 0;
  bool lost_ = false;
  std::string lost_text_;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
