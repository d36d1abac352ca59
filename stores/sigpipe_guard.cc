#include "stores/sigpipe_guard.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

sigset_t PipeOnly() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

bool SigpipePending() {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

SigpipeGuard::SigpipeGuard() noexcept {
  const int saved_errno = errno;
  const sigset_t pipe_only = PipeOnly();
  sigset_t old;
  if (pthread_sigmask(SIG_BLOCK, &pipe_only, &old) == 0) {
    was_blocked_ = sigismember(&old, SIGPIPE) == 1;
  } else {
    // Nothing was changed, so there is nothing to undo or to consume later.
    was_blocked_ = true;
    was_pending_ = true;
  }
  // Only a blocked signal can be pending: if it was not blocked, none was.
  if (was_blocked_ && !was_pending_) was_pending_ = SigpipePending();
  errno = saved_errno;
}

SigpipeGuard::~SigpipeGuard() {
  const int saved_errno = errno;
  const sigset_t pipe_only = PipeOnly();
  if (!was_pending_ && SigpipePending()) {
    // A zero timeout: should another thread have taken a process-wide SIGPIPE meanwhile, there is
    // nothing to wait for, and this thread must never block here.
    const struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &zero) == -1 && errno == EINTR) {
    }
  }
  if (!was_blocked_) pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
  errno = saved_errno;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
