// The store kinds a suite runs on (memory, PostgreSQL, Redis on the throwaway test servers), their
// names in parameterised test names, and unique names for what a test leaves in a persistent
// store.
//
// Nothing here throws but std::bad_alloc. UniqueTestName draws from one generator: call it from
// the test's own thread.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

namespace dz_test {

enum class Backend { Memory, Postgres, Redis };

inline std::string BackendName(const testing::TestParamInfo<Backend>& info) {
  switch (info.param) {
    case Backend::Memory: return "Memory";
    case Backend::Postgres: return "Postgres";
    case Backend::Redis: return "Redis";
  }
  return "Unknown";
}

// prefix + the current test's name (cut, identifier characters only) + tag + a random number, so
// that runs against the same servers never meet each other's indexes.
inline std::string UniqueTestName(const std::string& prefix, const std::string& tag = "") {
  static std::mt19937_64 rng(std::random_device{}());
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string base = std::string(info->name()).substr(0, 40);
  for (char& c : base) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return prefix + base + tag + "_" + std::to_string(rng() % 1000000000);
}

}  // namespace dz_test
