// A writer stalled past its lock: a process stops itself in the middle of an upsert or a training,
// right after a write's lock checks and before anything of that write is sent; another process
// takes the lock (a Redis lock once it expired; on PostgreSQL once the stalled writer's backend was
// ended), writes new versions and deletes; then the stalled writer goes on. Whatever it had in
// hand, the servers refuse it: it fails with the lost-lock error and sends nothing more (the head
// is the other writer's, not pending), the other writer's work stands, and every item is whole in
// one version and reachable by a query.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "index_fixture.h"
#include "stalled_writer.h"
#include "stores/server_faults.h"

namespace index_test {
namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

struct Worker {
  pid_t pid = -1;
  std::string output_path;

  std::string Output() const {
    std::ifstream in(output_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

// Starts the stalling writer with its output in a file and, for PostgreSQL, an application name
// of its own, so that its backend can be ended alone.
Worker Spawn(const std::vector<std::string>& args, const std::string& application_name) {
  const std::string path = DZ_STALLING_WRITER;
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text{"PGAPPNAME=" + application_name};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("PGAPPNAME=", 0) != 0) env_text.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  Worker w;
  w.output_path = "/tmp/dz_stall_" + application_name + ".out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, w.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int spawned = posix_spawn(&w.pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("could not start " + path);
  return w;
}

// Waits (bounded) until the worker stops (true) or ends; `code` gets its exit code when it ended.
bool WaitForStop(const Worker& w, int& code) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < deadline) {
    int status = 0;
    const pid_t got = waitpid(w.pid, &status, WUNTRACED | WNOHANG);
    if (got == w.pid && WIFSTOPPED(status)) return true;
    if (got == w.pid) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(w.pid, SIGKILL);
  waitpid(w.pid, nullptr, 0);
  code = -2;
  return false;
}

// Waits (bounded) for the worker's exit; its exit code, or -1 when it had to be killed.
int WaitForExit(const Worker& w) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < deadline) {
    int status = 0;
    const pid_t got = waitpid(w.pid, &status, WNOHANG);
    if (got == w.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(w.pid, SIGKILL);
  waitpid(w.pid, nullptr, 0);
  return -1;
}

enum class Point { kFirst, kMiddle, kLast };

struct Case {
  const char* kind;
  const char* operation;
  const char* role;
  Point point;
  const char* lease = "short";
};

const char* PointName(Point p) { return p == Point::kFirst ? "first" : p == Point::kMiddle ? "middle" : "last"; }

int RoleIndex(const std::string& role) { return role == "index" ? 0 : role == "data" ? 1 : role == "config" ? 2 : 3; }

class StalledWriter : public testing::Test {
 protected:
  void SetUp() override {
    const bool all = dz_test::PostgresConnString() && dz_test::RedisConnString() && dz_test::RedisTlsConnString();
    if (!all) {
      if (dz_test::RunningInCi()) FAIL() << "test servers missing";
      GTEST_SKIP() << "start the servers with scripts/test";
    }
  }

  std::string Fresh(const TestLocations& l) {
    const std::string name = dz_test::UniqueTestName("st_");
    ostrik::Client client(l.index, l.config, l.items, 1, false);
    auto index = client.CreateIndex(name, Key(), ostrik::IndexIVFFlat(kDurabilityDim, kDurabilityLists), 0, nullptr);
    const Dataset first = stalled::First();
    index->Upsert(first.vectors, first.ids, first.contents, first.metadata);
    return name;
  }

  // The writes of each role in a whole run of the operation (a run of its own, on an index of its
  // own), read once per kind and operation.
  std::vector<uint64_t> Writes(const std::string& kind, const std::string& operation) {
    const std::string key = kind + "/" + operation;
    if (auto it = writes_.find(key); it != writes_.end()) return it->second;
    const TestLocations l = *StallLocations(kind);
    const std::string name = Fresh(l);
    const std::string app = dz_test::UniqueTestName("stw");
    const Worker w = Spawn({kind, name, operation, "index", "0", "short"}, app);
    const int code = WaitForExit(w);
    const std::string out = w.Output();
    std::vector<uint64_t> counts(4, 0);
    const size_t at = out.find("writes ");
    EXPECT_EQ(code, 0) << out;
    if (at != std::string::npos) {
      std::istringstream in(out.substr(at + 7));
      in >> counts[0] >> counts[1] >> counts[2] >> counts[3];
    }
    Remove(l, name);
    writes_[key] = counts;
    return counts;
  }

  static void Remove(const TestLocations& l, const std::string& name) {
    try {
      ostrik::Client(l.index, l.config, l.items, 1, false).LoadIndex(name, Key(), 0, nullptr)->DeleteIndex();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cleanup: " << e.what();
    }
  }

  std::map<std::string, std::vector<uint64_t>> writes_;
};

TEST_F(StalledWriter, ItsLateWritesAreRefusedAndTheOtherWritersWorkStands) {
  const Case cases[] = {
      {"redis", "upsert", "data", Point::kFirst},    // its records, queued
      {"redis", "upsert", "index", Point::kMiddle},  // its entries or counts
      {"redis", "upsert", "items", Point::kLast},    // contents it removes after its records
      {"redis", "train", "data", Point::kFirst},     // the re-filed records
      {"redis", "train", "index", Point::kLast},     // the switch's head
      {"redis-tls", "upsert", "data", Point::kFirst},
      {"redis-tls", "train", "data", Point::kMiddle},
      {"redis-split", "upsert", "items", Point::kFirst},  // new contents, on another server
      {"redis-split", "upsert", "items", Point::kLast},
      {"postgres", "upsert", "data", Point::kFirst},
      {"postgres", "upsert", "items", Point::kLast},
      {"postgres", "train", "data", Point::kFirst},
      {"postgres", "train", "config", Point::kFirst},  // the trained configuration
      // Once with the lock's real expiry.
      {"redis", "upsert", "data", Point::kFirst, "default"},
  };
  for (const Case& c : cases) {
    const std::vector<uint64_t> writes = Writes(c.kind, c.operation);
    const uint64_t total = writes[RoleIndex(c.role)];
    ASSERT_GT(total, 0u) << c.kind << " " << c.operation << " writes nothing to the " << c.role << " store";
    const uint64_t n = c.point == Point::kFirst ? 1 : c.point == Point::kLast ? total : (total + 1) / 2;
    SCOPED_TRACE(std::string(c.kind) + ", " + c.operation + ", stopped before write " + std::to_string(n) + " of " +
                 std::to_string(total) + " to the " + c.role + " store (" + PointName(c.point) + "), " + c.lease +
                 " lease");
    const TestLocations l = *StallLocations(c.kind);
    const std::string name = Fresh(l);
    const std::string app = dz_test::UniqueTestName("stw");
    const Worker w = Spawn({c.kind, name, c.operation, c.role, std::to_string(n), c.lease}, app);
    int code = 0;
    ASSERT_TRUE(WaitForStop(w, code)) << "exit " << code << ": " << w.Output();

    // PostgreSQL keeps a stalled session's lock: the other writer gets it once the backend ends.
    if (std::string(c.kind) == "postgres") {
      EXPECT_EQ(dz_test::PgAdmin(*dz_test::PostgresConnString()).Terminate(app), 1);
    }
    ostrik::Client client(l.index, l.config, l.items, 1, false);
    auto other = client.LoadIndex(name, Key(), 0, nullptr);
    stalled::RunOther(*other);

    kill(w.pid, SIGCONT);
    const int exit_code = WaitForExit(w);
    const std::string out = w.Output();
    EXPECT_EQ(exit_code, 1) << out;
    EXPECT_THAT(out, HasSubstr("Lost the writer lock of index '" + name + "'"));
    stalled::ExpectHeadSettled(*other);
    other.reset();

    {
      auto reloaded = ostrik::Client(l.index, l.config, l.items, 1, false).LoadIndex(name, Key(), 0, nullptr);
      stalled::ExpectOthersWorkStands(*reloaded, c.operation);
    }
    Remove(l, name);
    std::remove(w.output_path.c_str());
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace index_test
