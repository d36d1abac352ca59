// CommandFailure: a store command that failed, on its way from the command to the store's
// connection (store_connection.h), which decides whether the command is repeated after a
// reconnect or the failure reported. It carries the operation's own text, which callers match and
// which always starts the reported message, the reason the server or client library gave, and how
// the failure is logged when it is reported as it is.
//
// Never leaves a store: the connection turns it into std::runtime_error. Plain data; no thread
// rules of its own.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "core/logger.h"

namespace ostrik_encrypted_index::internal::backing_store {

class CommandFailure : public std::runtime_error {
 public:
  // `start`: the operation's text; `reason`: why, possibly empty.
  CommandFailure(std::string start, std::string reason)
      : std::runtime_error(Join(start, reason)), start_(std::move(start)), reason_(std::move(reason)) {}

  // The text logged differs from the one thrown, or nothing is logged, or at another level.
  CommandFailure& Logged(std::string logged_start, ostrik::LogLevel level) {
    logged_start_ = std::move(logged_start);
    level_ = level;
    return *this;
  }
  CommandFailure& Unlogged() {
    logged_ = false;
    return *this;
  }

  const std::string& start() const { return start_; }
  const std::string& reason() const { return reason_; }
  const std::string& logged_start() const { return logged_start_.empty() ? start_ : logged_start_; }
  ostrik::LogLevel level() const { return level_; }
  bool logged() const { return logged_; }

  // start + reason: directly after a start that ends in a space, after ": " otherwise (a start
  // that ends a sentence gets a space only).
  static std::string Join(const std::string& start, const std::string& reason) {
    if (reason.empty()) return start;
    if (start.empty() || start.back() == ' ') return start + reason;
    if (start.back() == '.') return start + " " + reason;
    return start + ": " + reason;
  }

 private:
  std::string start_;
  std::string reason_;
  std::string logged_start_;
  ostrik::LogLevel level_ = ostrik::ERROR;
  bool logged_ = true;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
