// Addresses of the throwaway test servers that scripts/test-servers.sh starts, read from the
// environment. A test that needs a missing server fails under CI=true and is skipped otherwise,
// with a message naming the variable.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace dz_test {

inline std::optional<std::string> EnvVar(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

inline bool RunningInCi() {
  const auto ci = EnvVar("CI");
  return ci && *ci == "true";
}

// libpq connection string of the test cluster, e.g. "host=127.0.0.1 port=N dbname=postgres user=postgres".
inline std::optional<std::string> PostgresConnString() { return EnvVar("DZ_PG_CONNSTR"); }
// Redis store connection strings: "host:127.0.0.1,port:N,db:0" (plain) and the TLS-only server's
// with "ssl:true,ca_cert:<path>" appended.
inline std::optional<std::string> RedisConnString() { return EnvVar("DZ_REDIS_CONNSTR"); }
inline std::optional<std::string> RedisTlsConnString() { return EnvVar("DZ_REDIS_TLS_CONNSTR"); }

}  // namespace dz_test

// Use in a test body or SetUp(): binds `var` to the value of `getter()` or fails/skips.
#define DZ_REQUIRE_SERVER(var, getter, envname)                                          \
  std::string var;                                                                       \
  do {                                                                                   \
    auto dz_value_ = getter();                                                           \
    if (!dz_value_) {                                                                    \
      if (::dz_test::RunningInCi()) FAIL() << envname " is not set: test server missing"; \
      GTEST_SKIP() << envname " is not set: start the servers with scripts/test";        \
    }                                                                                    \
    var = *dz_value_;                                                                    \
  } while (0)
