// Logger: the process-wide logging facility.
//
// One singleton per process (Logger::instance), with a level threshold and either console output
// (INFO/WARNING to stdout, everything else to stderr) or an append-mode log file. Lines have the
// form "[%Y-%m-%d %H:%M:%S][LEVEL] message".
//
// Thread-safety: any thread may log at any time. The threshold is atomic and tested before any
// formatting; the mutex covers only the write of one finished line and the whole of configure().
// Nothing here throws on a failed write; a log file that cannot be opened is reported on stderr.
// A fork waits for a line being written, so the child's copy of the mutex is always free.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace ostrik {

enum LogLevel : int32_t { INFO = 0, WARNING = 1, ERROR = 2, CRITICAL = 3 };

class Logger {
 public:
  static Logger& instance();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void configure(int32_t level, bool to_file, const std::string& file_path);

  void log(int32_t level, const std::string& message);
  void info(const std::string& message) { log(INFO, message); }
  void warning(const std::string& message) { log(WARNING, message); }
  void error(const std::string& message) { log(ERROR, message); }
  void critical(const std::string& message) { log(CRITICAL, message); }
  void debug(const std::string& /*message*/) {}

  int32_t level() const { return level_.load(std::memory_order_relaxed); }

  // Formats one line as log() writes it, newline included (exposed for tests).
  static std::string FormatLine(int32_t level, const std::string& message);

 private:
  Logger();
  ~Logger();

  std::atomic<int32_t> level_{ERROR};
  bool to_file_ = false;  // guarded by mutex_
  std::ofstream log_file_;
  std::mutex mutex_;
};

// Where components without a logger of their own write: the logger of the index created or loaded
// last. Null means Logger::instance(). Set on the caller's thread before the readers run.
extern Logger* current_logger;
extern Logger* engine_logger;

inline Logger& CurrentLogger() { return current_logger ? *current_logger : Logger::instance(); }
inline Logger& EngineLogger() { return engine_logger ? *engine_logger : Logger::instance(); }

}  // namespace ostrik
