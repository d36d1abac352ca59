// A Redis server that dies before or during a large batch: the batch fails with its error and the
// process lives (no SIGPIPE), with its signal mask and SIGPIPE disposition as they were. Each case
// runs the batch in a forked child against a server of the test's own, plain or TLS, which the
// parent kills; the parent checks how the child ended.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store_fixtures.h"
#include "stores/keystore_factory.h"

extern char** environ;

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kBatchItems = 60000;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

// Runs a program found on PATH with its output discarded; its process id, or -1.
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for a process of ours to end, at most `limit`; -1 when it is still running.
int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (true) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 || Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A redis-server of the test's own on a free port of 127.0.0.1, plain or TLS-only with a
// self-signed certificate; stopped with SIGKILL, as a crash would stop it.
class OwnRedisServer {
 public:
  ~OwnRedisServer() {
    Kill();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Empty on success, else why the server could not be started.
  std::string Start(bool tls) {
    char dir_template[] = "/tmp/dz-redis-loss.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return "mkdtemp failed";
    dir_ = dir_template;
    tls_ = tls;
    std::vector<std::string> listen;
    if (tls) {
      const std::string key = dir_ + "/server.key", pem = dir_ + "/server.pem";
      const pid_t openssl =
          Spawn({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-days", "1", "-keyout", key, "-out", pem, "-subj", "/CN=localhost"});
      const int status = openssl > 0 ? WaitFor(openssl, std::chrono::seconds(30)) : -1;
      if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "openssl could not make a certificate";
      listen = {"--port", "0", "--tls-cert-file", pem, "--tls-key-file", key};
      listen.insert(listen.end(), {"--tls-ca-cert-file", pem, "--tls-auth-clients", "no", "--tls-port"});
    } else {
      listen = {"--port"};
    }
    // The free port may be taken by someone else before the server binds it: a few tries.
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreePort();
      std::vector<std::string> args = {"redis-server", "--bind", "127.0.0.1", "--save", "",
                                       "--appendonly", "no",     "--dir",     dir_};
      args.insert(args.end(), listen.begin(), listen.end());
      args.push_back(std::to_string(port_));
      why = Listen(args);
      if (why.empty()) return why;
      Kill();
    }
    return why;
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    WaitFor(pid_, std::chrono::seconds(30));
    pid_ = -1;
  }

  // Unverified TLS: what is checked here is the socket, not the certificate.
  std::string ConnString() const {
    return "host:127.0.0.1,port:" + std::to_string(port_) + ",db:0" + (tls_ ? ",ssl:true" : "");
  }

 private:
  std::string Listen(const std::vector<std::string>& args) {
    pid_ = Spawn(args);
    if (pid_ <= 0) return "redis-server could not be started";
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!Accepts(port_)) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "redis-server exited at start";
      }
      if (Clock::now() > deadline) return "redis-server does not listen";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }

  std::string dir_;
  bool tls_ = false;
  int port_ = 0;
  pid_t pid_ = -1;
};

enum class KillPoint { BeforeBatch, DuringBatch };
enum class BatchKind { FixedWidth, Variable };

// How the child ended and what it reported.
struct ChildOutcome {
  int status = -1;  // from waitpid; -1 when it had to be killed
  std::string report;
};

// Child exit codes.
constexpr int kChildBatchSucceeded = 10;
constexpr int kChildSawError = 11;
constexpr int kChildOtherException = 12;
constexpr int kChildSetupFailed = 13;
constexpr int kChildSignalStateChanged = 14;

bool SignalStateIs(const sigset_t& mask, void (*handler)(int)) {
  sigset_t now;
  struct sigaction action {};
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  sigaction(SIGPIPE, nullptr, &action);
  return sigismember(&now, SIGPIPE) == sigismember(&mask, SIGPIPE) && action.sa_handler == handler;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void ChildMain(const std::string& conn, uint64_t hash, BatchKind kind, int ready_fd, int go_fd) {
  std::unique_ptr<bs::Keystore> store;
  try {
    store = bs::CreateKeystore(dz_test::RedisLocation(conn, "loss_config"), "idx", hash, bs::INDEX);
  } catch (const std::exception& e) {
    WriteAll(ready_fd, std::string("setup failed: ") + e.what());
    _exit(kChildSetupFailed);
  }
  // Built before the signal: the batch alone is timed against the kill.
  std::vector<uint64_t> keys(kBatchItems);
  for (uint64_t i = 0; i < kBatchItems; ++i) keys[i] = i + 1;
  ostrik::ByteMatrix fixed;
  std::vector<Bytes> variable;
  if (kind == BatchKind::FixedWidth) {
    fixed = ostrik::ByteMatrix(Bytes(kBatchItems * 8, 0x5a), 8);
  } else {
    variable.assign(kBatchItems, Bytes(1024, 0xa5));
  }
  sigset_t mask_before;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask_before);
  WriteAll(ready_fd, "R");
  char go = 0;
  if (read(go_fd, &go, 1) != 1) _exit(kChildSetupFailed);
  int code = kChildBatchSucceeded;
  std::string report = "batch succeeded";
  try {
    if (kind == BatchKind::FixedWidth) {
      store->BatchPushItems(keys, fixed);
    } else {
      store->BatchPushVariable(keys, variable);
    }
  } catch (const std::runtime_error& e) {
    code = kChildSawError;
    report = e.what();
  } catch (const std::exception& e) {
    code = kChildOtherException;
    report = e.what();
  }
  if (code == kChildSawError) {
    // The connection is spent: later operations fail too, and quietly.
    try {
      store->PushItem(1, Bytes{1});
      code = kChildBatchSucceeded;
      report = "a write after the failed batch succeeded";
    } catch (const std::runtime_error&) {
    }
  }
  if (!SignalStateIs(mask_before, SIG_DFL)) {
    code = kChildSignalStateChanged;
    report = "signal mask or SIGPIPE disposition changed by the batch";
  }
  WriteAll(ready_fd, report);
  _exit(code);
}

std::string ReadUntilClosed(int fd) {
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// Forks a child that connects, waits for the signal, and runs one batch of kBatchItems items; the
// server is killed before the signal or once the server has stored part of the batch.
ChildOutcome RunBatchAgainstDyingServer(OwnRedisServer& server, KillPoint when, BatchKind kind) {
  const uint64_t hash = dz_test::FreshHash();
  // A second connection watches the batch arrive; made before the child exists.
  std::unique_ptr<bs::Keystore> probe =
      bs::CreateKeystore(dz_test::RedisLocation(server.ConnString(), "loss_config"), "idx", hash, bs::INDEX);
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) return {-1, "pipe failed"};
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(go[1]);
    ChildMain(server.ConnString(), hash, kind, ready[1], go[0]);
  }
  close(ready[1]);
  close(go[0]);
  ChildOutcome outcome;
  char r = 0;
  if (child < 0 || read(ready[0], &r, 1) != 1 || r != 'R') {
    outcome.report = std::string(1, r) + ReadUntilClosed(ready[0]);
  } else if (when == KillPoint::BeforeBatch) {
    server.Kill();
    WriteAll(go[1], "G");
  } else {
    WriteAll(go[1], "G");
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (probe->NumItems() == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    server.Kill();
  }
  close(go[1]);
  if (outcome.report.empty()) outcome.report = ReadUntilClosed(ready[0]);
  close(ready[0]);
  if (child > 0) {
    outcome.status = WaitFor(child, std::chrono::seconds(60));
    if (outcome.status == -1) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
  return outcome;
}

std::string Describe(int status) {
  if (status == -1) return "did not end in time";
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  return "ended oddly";
}

class RedisServerLossTest : public ::testing::TestWithParam<bool> {};

TEST_P(RedisServerLossTest, BatchFailsAndTheProcessLives) {
  const bool tls = GetParam();
  const struct {
    KillPoint when;
    BatchKind kind;
    const char* name;
  } cases[] = {
      {KillPoint::BeforeBatch, BatchKind::FixedWidth, "killed before, fixed-width batch"},
      {KillPoint::BeforeBatch, BatchKind::Variable, "killed before, 60,000 x 1 KiB"},
      {KillPoint::DuringBatch, BatchKind::FixedWidth, "killed during, fixed-width batch"},
      {KillPoint::DuringBatch, BatchKind::Variable, "killed during, 60,000 x 1 KiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OwnRedisServer server;
    const std::string why = server.Start(tls);
    if (!why.empty()) {
      if (dz_test::RunningInCi()) FAIL() << why;
      GTEST_SKIP() << why;
    }
    const ChildOutcome outcome = RunBatchAgainstDyingServer(server, c.when, c.kind);
    const bool exited = outcome.status != -1 && WIFEXITED(outcome.status);
    EXPECT_TRUE(exited) << Describe(outcome.status) << "; " << outcome.report;
    if (!exited) continue;
    EXPECT_EQ(WEXITSTATUS(outcome.status), kChildSawError) << outcome.report;
    EXPECT_EQ(outcome.report.rfind("HSET command failed in batch execution", 0), 0u) << outcome.report;
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, RedisServerLossTest, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
