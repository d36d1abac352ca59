// Thrown: what a call threw, as the exact exception class and its text, so that a table of cases
// can compare both at once and print them readably when they differ.
//
// ThrownBy lets nothing escape: every std::exception becomes a Thrown, and a call that returns
// gives an empty one. No shared state; any thread may use it.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace index_test {

struct Thrown {
  std::string type;  // the exact class, e.g. "invalid_argument"; empty when the call returned
  std::string text;

  bool operator==(const Thrown&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Thrown& t) {
  if (t.type.empty()) return os << "(nothing thrown)";
  return os << t.type << " \"" << t.text << "\"";
}

inline Thrown InvalidArgument(std::string text) { return {"invalid_argument", std::move(text)}; }
inline Thrown RuntimeError(std::string text) { return {"runtime_error", std::move(text)}; }
inline Thrown LogicError(std::string text) { return {"logic_error", std::move(text)}; }

// The exact class matters: a contract that says std::runtime_error is not met by a subclass that
// a caller mapping exceptions by type would treat differently.
inline std::string ExceptionClass(const std::exception& e) {
  const std::type_info& t = typeid(e);
  if (t == typeid(std::invalid_argument)) return "invalid_argument";
  if (t == typeid(std::logic_error)) return "logic_error";
  if (t == typeid(std::runtime_error)) return "runtime_error";
  if (t == typeid(std::out_of_range)) return "out_of_range";
  if (t == typeid(std::length_error)) return "length_error";
  return std::string("other:") + t.name();
}

template <typename F>
Thrown ThrownBy(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return {ExceptionClass(e), e.what()};
  }
  return {};
}

}  // namespace index_test
