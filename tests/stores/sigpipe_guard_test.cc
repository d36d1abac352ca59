// SigpipeGuard on its own: a SIGPIPE raised while a guard lives does not end the process and is
// consumed, one that was pending before is kept, and the thread's mask is left as found. Each case
// runs in a child process, where a fault shows as death by SIGPIPE or a non-zero exit code.
#include "stores/sigpipe_guard.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>

namespace {

namespace bs = ostrik_encrypted_index::internal::backing_store;

bool Blocked() {
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, SIGPIPE) == 1;
}

bool Pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

void Block() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct Case {
  const char* name;
  bool caller_blocks;   // SIGPIPE blocked by the caller before the guard
  bool pending_before;  // and one already pending (needs caller_blocks)
  int raised_inside;    // SIGPIPEs raised on this thread while the guard lives
  bool nested;          // a second guard inside the first
};

// Exit codes of the child: 0 when every expectation holds.
[[noreturn]] void RunCase(const Case& c) {
  if (c.caller_blocks) Block();
  if (c.pending_before) raise(SIGPIPE);
  {
    bs::SigpipeGuard outer;
    if (!Blocked()) std::_Exit(2);
    if (c.nested) {
      bs::SigpipeGuard inner;
      for (int i = 0; i < c.raised_inside; ++i) raise(SIGPIPE);
    } else {
      for (int i = 0; i < c.raised_inside; ++i) raise(SIGPIPE);
    }
    // The error of the failed write must survive the guard's end.
    errno = EPIPE;
  }
  if (errno != EPIPE) std::_Exit(3);
  if (Blocked() != c.caller_blocks) std::_Exit(4);
  if (Pending() != c.pending_before) std::_Exit(5);
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  if (action.sa_handler != SIG_DFL) std::_Exit(6);
  std::_Exit(0);
}

TEST(SigpipeGuard, ConsumesOnlyItsOwnSigpipeAndRestoresTheMask) {
  const Case cases[] = {
      {"unblocked caller, one raised", false, false, 1, false},
      {"unblocked caller, two raised", false, false, 2, false},
      {"unblocked caller, none raised", false, false, 0, false},
      {"unblocked caller, raised under a nested guard", false, false, 1, true},
      {"caller blocks, one raised", true, false, 1, false},
      {"caller blocks, one pending before, another raised", true, true, 1, false},
      {"caller blocks, one pending before, none raised", true, true, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(RunCase(c), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
