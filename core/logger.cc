#include "core/logger.h"

#include <pthread.h>

#include <chrono>
#include <ctime>
#include <iostream>

namespace ostrik {

Logger* current_logger = nullptr;
Logger* engine_logger = nullptr;

Logger& Logger::instance() {
  static Logger logger;
  return logger;
}

Logger::Logger() {
  // Without this a child forked while another thread wrote a line would inherit the mutex locked
  // by a thread it does not have, and its first line would wait for ever.
  pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                 [] { instance().mutex_.unlock(); });
}

Logger::~Logger() {
  if (log_file_.is_open()) log_file_.close();
}

std::string Logger::FormatLine(int32_t level, const std::string& message) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);  // reentrant: several threads format at once
  char stamp[32];
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  const char* name = level == ERROR      ? "ERROR"
                     : level == CRITICAL ? "CRITICAL"
                     : level == WARNING  ? "WARNING"
                                         : "INFO";
  std::string line;
  line.reserve(n + message.size() + 16);
  line.append("[").append(stamp, n).append("][").append(name).append("] ").append(message).append("\n");
  return line;
}

void Logger::log(int32_t level, const std::string& message) {
  if (level < level_.load(std::memory_order_relaxed)) return;
  const std::string line = FormatLine(level, message);
  std::lock_guard<std::mutex> lock(mutex_);
  if (to_file_ && log_file_.is_open()) {
    log_file_ << line;
    log_file_.flush();
  } else if (static_cast<uint32_t>(level) <= 1) {
    // Flushed: a process that ends with _exit (a forked worker does) would lose a buffered line.
    std::cout << line << std::flush;
  } else {
    std::cerr << line;
  }
}

void Logger::configure(int32_t level, bool to_file, const std::string& file_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  level_.store(level, std::memory_order_relaxed);
  to_file_ = to_file;
  if (!to_file) return;  // an earlier file stays open but unused
  if (log_file_.is_open()) log_file_.close();
  log_file_.clear();
  log_file_.open(file_path, std::ios::out | std::ios::app);
  if (!log_file_) {
    std::cerr << "[Logger] Failed to open log file: " << file_path << std::endl;
    to_file_ = false;
  }
}

}  // namespace ostrik
