// RunInForkedChild: runs a check in a child made by fork(), for tests of what works after a fork.
// The child runs `body` and reports what it returns (empty: passed) through a pipe; a child still
// running after `limit` is killed with every process it forked (its own process group) and
// reported as hung, so a test of a hang ends and leaves nothing behind. The child leaves
// with _exit: no test framework state, destructor or atexit handler of the parent runs there.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace dz_test {

// Empty when the child's body returned an empty text and the child exited 0; else what went wrong.
inline std::string RunInForkedChild(const std::function<std::string()>& body,
                                    std::chrono::seconds limit = std::chrono::seconds(60)) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  // The outermost child leads a group that its own children join, so one kill ends them all.
  static bool in_group = false;
  const bool lead = !in_group;
  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return "fork failed";
  }
  if (pid == 0) {
    if (lead) setpgid(0, 0);
    in_group = true;
    close(out[0]);
    std::string failure;
    try {
      failure = body();
    } catch (const std::exception& e) {
      failure = std::string("threw: ") + e.what();
    } catch (...) {
      failure = "threw a non-standard exception";
    }
    if (failure.size() > 4000) failure.resize(4000);  // stays within the pipe's buffer
    for (size_t done = 0; done < failure.size();) {
      const ssize_t n = write(out[1], failure.data() + done, failure.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(failure.empty() ? 0 : 1);
  }
  close(out[1]);
  if (lead) setpgid(pid, pid);  // also here: the group exists before any kill, whoever runs first
  // The pipe is read only after the child ended: a report fits in the pipe's buffer.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  bool ended = false;
  while (!ended) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      ended = true;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      kill(lead ? -pid : pid, SIGKILL);
      waitpid(pid, &status, 0);
      close(out[0]);
      return "hung: still running after " + std::to_string(limit.count()) + " s";
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status)) + " " + report;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !report.empty()) {
    return "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ": " + report;
  }
  return "";
}

}  // namespace dz_test
