#include "core/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using ostrik::Logger;
using ::testing::MatchesRegex;

const char kStamp[] = R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\])";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Each test starts from the singleton's initial state (threshold ERROR, console) with a private
// directory for log files.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::instance().configure(ostrik::ERROR, false, "");
    char tmpl[] = "/tmp/dz_logger_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    Logger::instance().configure(ostrik::ERROR, false, "");
    for (const char* name : {"a.log", "b.log", "threads.log"}) std::remove((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }

  // Calls fn and returns {stdout, stderr}.
  template <typename Fn>
  std::pair<std::string, std::string> Capture(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    std::string err = testing::internal::GetCapturedStderr();
    return {testing::internal::GetCapturedStdout(), err};
  }

  std::string dir_;
};

TEST_F(LoggerTest, LineFormat) {
  EXPECT_THAT(Logger::FormatLine(2, "Failed to compute HMAC hash"),
              MatchesRegex(std::string(kStamp) + R"(\[ERROR\] Failed to compute HMAC hash)" + "\n"));
  const std::string empty = Logger::FormatLine(0, "");
  EXPECT_EQ(empty.substr(empty.size() - 8), "[INFO] \n");
  const std::string multi = Logger::FormatLine(3, "one\ntwo\n");
  EXPECT_EQ(multi.substr(multi.size() - 20), "[CRITICAL] one\ntwo\n\n");
}

struct RouteCase {
  int32_t threshold;
  int32_t level;
  const char* name;    // level name in the line, or null when nothing is written
  bool to_stdout;      // else stderr
};

TEST_F(LoggerTest, LevelsPickTheirStreamAndName) {
  const RouteCase cases[] = {
      {2, 0, nullptr, false},       {2, 1, nullptr, false},       {2, 2, "ERROR", false},
      {2, 3, "CRITICAL", false},    {0, 0, "INFO", true},         {0, 1, "WARNING", true},
      {0, 2, "ERROR", false},       {0, 3, "CRITICAL", false},    {0, 4, "INFO", false},
      {-5, -1, "INFO", false},      {3, 2, nullptr, false},       {1, 0, nullptr, false},
  };
  for (const auto& c : cases) {
    Logger::instance().configure(c.threshold, false, "");
    const auto [out, err] = Capture([&] { Logger::instance().log(c.level, "msg"); });
    const std::string where = "threshold " + std::to_string(c.threshold) + " level " + std::to_string(c.level);
    if (c.name == nullptr) {
      EXPECT_EQ(out + err, "") << where;
      continue;
    }
    const std::string line_re = std::string(kStamp) + R"(\[)" + c.name + R"(\] msg)" + "\n";
    EXPECT_THAT(c.to_stdout ? out : err, MatchesRegex(line_re)) << where;
    EXPECT_EQ(c.to_stdout ? err : out, "") << where;
  }
}

TEST_F(LoggerTest, LevelRoutinesAndDebug) {
  Logger& log = Logger::instance();
  log.configure(0, false, "");
  const auto [out, err] = Capture([&] {
    log.info("i");
    log.warning("w");
    log.error("e");
    log.critical("c");
    log.debug("d");
  });
  EXPECT_THAT(out, MatchesRegex(std::string(kStamp) + R"(\[INFO\] i)" + "\n" + kStamp + R"(\[WARNING\] w)" + "\n"));
  EXPECT_THAT(err, MatchesRegex(std::string(kStamp) + R"(\[ERROR\] e)" + "\n" + kStamp + R"(\[CRITICAL\] c)" + "\n"));
}

TEST_F(LoggerTest, FileReceivesEveryLevelAppendingAndFlushed) {
  const std::string a = dir_ + "/a.log";
  const std::string b = dir_ + "/b.log";
  { std::ofstream(a) << "kept\n"; }
  Logger& log = Logger::instance();
  const auto [out, err] = Capture([&] {
    log.configure(0, true, a);
    log.info("one");
    log.critical("two");
  });
  EXPECT_EQ(out + err, "");
  // Read while the logger still holds the file open: each line is flushed at once.
  EXPECT_THAT(ReadFile(a), MatchesRegex(std::string("kept\n") + kStamp + R"(\[INFO\] one)" + "\n" + kStamp +
                                        R"(\[CRITICAL\] two)" + "\n"));

  log.configure(0, true, b);  // closes a, appends to b
  log.warning("three");
  EXPECT_THAT(ReadFile(b), MatchesRegex(std::string(kStamp) + R"(\[WARNING\] three)" + "\n"));

  // Back to the console although b stays open; nothing more reaches b.
  const auto [out2, err2] = Capture([&] {
    log.configure(0, false, "");
    log.info("four");
  });
  EXPECT_THAT(out2, MatchesRegex(std::string(kStamp) + R"(\[INFO\] four)" + "\n"));
  EXPECT_EQ(ReadFile(b).find("four"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileFallsBackToConsole) {
  const std::string path = dir_ + "/missing/dir/x.log";
  Logger& log = Logger::instance();
  const auto [out, err] = Capture([&] {
    log.configure(0, true, path);
    log.info("still here");
  });
  EXPECT_EQ(err, "[Logger] Failed to open log file: " + path + "\n");
  EXPECT_THAT(out, MatchesRegex(std::string(kStamp) + R"(\[INFO\] still here)" + "\n"));
}

// Threads log while another reconfigures: every line in the file is whole.
TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
  const std::string path = dir_ + "/threads.log";
  Logger& log = Logger::instance();
  log.configure(0, true, path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 300; ++i) log.warning("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  threads.emplace_back([&log, &path] {
    for (int i = 0; i < 50; ++i) log.configure(i % 2, true, path);
  });
  for (auto& th : threads) th.join();
  std::istringstream lines(ReadFile(path));
  std::string line;
  int count = 0;
  const std::regex whole(std::string(kStamp) + R"(\[WARNING\] thread [0-5] line [0-9]+)");
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    ++count;
  }
  EXPECT_EQ(count, 6 * 300);
}

TEST_F(LoggerTest, GlobalPointersFallBackToTheSingleton) {
  ASSERT_EQ(ostrik::engine_logger, nullptr);
  ASSERT_EQ(ostrik::current_logger, nullptr);
  EXPECT_EQ(&ostrik::EngineLogger(), &Logger::instance());
  EXPECT_EQ(&ostrik::CurrentLogger(), &Logger::instance());
}

}  // namespace
