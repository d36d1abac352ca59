// A child forked after the module started threads must not wait for the parent's OpenMP pool:
// its teams are 1, it says so once, and its work gives the parent's answers. A process forked
// before any team keeps its threads. Every child runs under a time bound, so a hang fails.
#include "core/fork_state.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/aes_gcm.h"
#include "core/logger.h"
#include "core/team_size.h"
#include "core/thread_scope.h"
#include "support/forked_child.h"

namespace {

using dz_test::RunInForkedChild;
using ostrik::TeamIf;
using ostrik::TeamSize;

constexpr int kThreads = 4;

// The size of the team a region really started.
int StartedTeam(int asked) {
  int started = 0;
#pragma omp parallel num_threads(asked)
  {
#pragma omp single
    started = omp_get_num_threads();
  }
  return started;
}

int WarningLines(const std::string& path) {
  std::ifstream in(path);
  const std::string wanted = std::string("[WARNING] ") + ostrik::kForkedChildWarning;
  int lines = 0;
  for (std::string line; std::getline(in, line);) lines += line.find(wanted) != std::string::npos;
  return lines;
}

std::string Expect(bool ok, const std::string& what) { return ok ? "" : what + "; "; }

class ForkedChild : public testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/dz_fork_log_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    log_path_ = path;
    ostrik::Logger::instance().configure(ostrik::WARNING, true, log_path_);
  }
  void TearDown() override {
    ostrik::Logger::instance().configure(ostrik::ERROR, false, "");
    std::remove(log_path_.c_str());
  }
  std::string log_path_;
};

TEST_F(ForkedChild, AfterTheFirstTeamRunsOnOneThreadWithTheParentsAnswersAndSaysSoOnce) {
  const ostrik::ThreadCountScope threads(kThreads);
  const std::vector<uint8_t> key(32, 0x5a);
  std::vector<ostrik::Bytes> plaintexts(4000);
  for (size_t i = 0; i < plaintexts.size(); ++i) plaintexts[i].assign(256, static_cast<uint8_t>(i));
  ASSERT_EQ(StartedTeam(TeamIf(true)), kThreads);  // the pool runs
  const std::vector<ostrik::Bytes> envelopes = ostrik::EncryptItems(plaintexts, key.data());
  const uint64_t big_work = uint64_t{1} << 30;

  const std::string failure = RunInForkedChild([&] {
    // A child of this child, forked while its thread count is still the parent's, is in the same
    // state and says so once itself.
    const std::string grandchild = RunInForkedChild([&] {
      ostrik::Logger::instance().configure(ostrik::WARNING, true, log_path_ + ".2");
      std::string g = Expect(ostrik::ForkedAfterThreads() && StartedTeam(TeamIf(true)) == 1, "starts threads");
      g += Expect(ostrik::DecryptItems(envelopes, key.data()) == plaintexts, "opens wrong");
      return g + Expect(WarningLines(log_path_ + ".2") == 1, "not exactly one WARNING line");
    });
    std::remove((log_path_ + ".2").c_str());
    std::string f = Expect(grandchild.empty(), "grandchild: " + grandchild);
    f += Expect(ostrik::ForkedAfterThreads(), "not marked as forked after threads");
    f += Expect(TeamSize(big_work, 1) == 1, "TeamSize above 1");
    f += Expect(TeamIf(true) == 1, "TeamIf above 1");
    {
      const ostrik::ThreadCountScope more(kThreads);
      f += Expect(omp_get_max_threads() == 1, "ThreadCountScope raised the count");
    }
    ostrik::SetThreadCount(kThreads);
    f += Expect(omp_get_max_threads() == 1, "SetThreadCount raised the count");
    // The batch ciphers' regions: the parent's envelopes open, and the child's own round-trip.
    f += Expect(ostrik::DecryptItems(envelopes, key.data()) == plaintexts, "the parent's envelopes open wrong");
    f += Expect(ostrik::DecryptItems(ostrik::EncryptItems(plaintexts, key.data()), key.data()) == plaintexts,
                "the child's round-trip differs");
    f += Expect(StartedTeam(TeamIf(true)) == 1, "a region started more than one thread");
    return f + Expect(WarningLines(log_path_) == 1, "not exactly one WARNING line");
  });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(WarningLines(log_path_), 1);

  // The parent keeps its threads.
  EXPECT_FALSE(ostrik::ForkedAfterThreads());
  EXPECT_EQ(TeamSize(big_work, 1), kThreads);
  EXPECT_EQ(StartedTeam(TeamIf(true)), kThreads);
}

// In a fresh process (the death test's own, re-executed): a child forked before the first team
// keeps every thread; one forked after it runs on one thread.
void ForkBeforeAndAfterTheFirstTeam() {
  const ostrik::ThreadCountScope threads(kThreads);
  const std::string before = RunInForkedChild([] {
    return Expect(!ostrik::ForkedAfterThreads(), "marked as forked after threads") +
           Expect(StartedTeam(TeamIf(true)) == kThreads, "the child lost its threads");
  });
  if (!before.empty()) {
    std::fprintf(stderr, "forked before the first team: %s\n", before.c_str());
    std::exit(1);
  }
  if (StartedTeam(TeamIf(true)) != kThreads) std::exit(2);
  const std::string after = RunInForkedChild([] {
    return Expect(ostrik::ForkedAfterThreads() && StartedTeam(TeamIf(true)) == 1, "the child starts threads");
  });
  if (!after.empty()) {
    std::fprintf(stderr, "forked after the first team: %s\n", after.c_str());
    std::exit(3);
  }
  std::exit(0);
}

TEST(ForkedChildDeathTest, BeforeTheFirstTeamKeepsEveryThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ForkBeforeAndAfterTheFirstTeam(), testing::ExitedWithCode(0), "");
}

}  // namespace
