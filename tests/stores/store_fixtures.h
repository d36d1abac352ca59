// Shared helpers of the store tests: fresh index hashes and table names per run (the servers may
// be reused between runs), and DBConfig builders for the test servers.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "core/config.h"
#include "support/test_servers.h"

namespace dz_test {

inline uint64_t FreshHash() {
  static std::mt19937_64 rng{std::random_device{}()};
  // Bit 63 clear and room for the kind, so stores of one index never wrap in these tests.
  return (rng() >> 2) & ~uint64_t{0xff};
}

inline std::string FreshTableName(const std::string& stem) {
  static std::mt19937_64 rng{std::random_device{}()};
  return stem + "_" + std::to_string(rng() % 1000000000000ULL);
}

inline ostrik::DBConfig PostgresLocation(const std::string& conn, const std::string& table) {
  return ostrik::DBConfig("postgres", table, conn);
}

inline ostrik::DBConfig RedisLocation(const std::string& conn, const std::string& table) {
  return ostrik::DBConfig("redis", table, conn);
}

inline std::optional<std::string> RedisTlsCa() { return EnvVar("DZ_REDIS_TLS_CA"); }
inline std::optional<std::string> RedisTlsOtherCa() { return EnvVar("DZ_REDIS_TLS_OTHER_CA"); }
inline std::optional<std::string> RedisPort() { return EnvVar("DZ_REDIS_PORT"); }
inline std::optional<std::string> RedisTlsPort() { return EnvVar("DZ_REDIS_TLS_PORT"); }

}  // namespace dz_test
