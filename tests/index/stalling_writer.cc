// A writer that stalls: loads an index kept by the index suites' locations and runs one of the
// stalling operations (stalled_writer.h); at the nth write of one store's role it stops itself
// with SIGSTOP after the write's lock checks and before anything of it is sent, as a process does
// that a debugger, a frozen VM or a long pause stops at the worst moment. Without a stop point
// (n = 0) it prints the writes each role saw. It exits 0 when the operation succeeds, 1 with the
// error on standard error when it fails, 2 on bad arguments.
//
//   stalling_writer postgres|redis|redis-tls|redis-split <name> upsert|train index|data|config|items <n>
//                   short|default
//
// redis-split keeps the items on the TLS server and everything else on the plain one. "short"
// shortens the Redis lock's expiry to 500 ms (the test's patience); "default" keeps the real one.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "index_fixture.h"
#include "stalled_writer.h"
#include "stores/redis_store_connection.h"
#include "stores/store_connection.h"

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;

int RoleOf(const std::string& name) {
  if (name == "index") return bs::INDEX;
  if (name == "data") return bs::DATA;
  if (name == "config") return bs::CONFIG;
  if (name == "items") return bs::ITEMS;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: stalling_writer <kind> <name> <operation> <role> <n> short|default\n";
    return 2;
  }
  const std::string kind = argv[1], name = argv[2], operation = argv[3];
  const int role = RoleOf(argv[4]);
  const uint64_t nth = std::strtoull(argv[5], nullptr, 10);
  if (role < 0) return 2;
  if (std::string(argv[6]) == "short") {
    bs::SetRedisLockTimingForTesting(std::chrono::milliseconds(500), std::chrono::milliseconds(100));
  }
  const auto locations = index_test::StallLocations(kind);
  if (!locations) {
    std::cerr << "stalling_writer: no server address in the environment for " << kind << "\n";
    return 2;
  }
  static uint64_t writes[4] = {0, 0, 0, 0};
  bs::SetBeforeWriteHookForTesting([role, nth](int32_t r) {
    if (r < 0 || r > 3) return;
    if (++writes[r] == nth && r == role) {
      std::cout << "stopping" << std::endl;
      raise(SIGSTOP);
    }
  });
  try {
    ostrik::Client client(locations->index, locations->config, locations->items, 1, false);
    auto index = client.LoadIndex(name, index_test::Key(), 0, nullptr);
    index_test::stalled::RunStalling(operation, *index);
    std::cout << "writes " << writes[bs::INDEX] << " " << writes[bs::DATA] << " " << writes[bs::CONFIG] << " "
              << writes[bs::ITEMS] << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "stalling_writer: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
