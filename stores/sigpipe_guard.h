// SigpipeGuard: keeps a write to a socket whose peer has gone from ending the process with
// SIGPIPE. The Redis client library writes with plain send() and SSL_write(), so a server that dies
// between two writes would otherwise kill a host that, unlike CPython, leaves SIGPIPE at its
// default; with the signal blocked the write fails with EPIPE and the operation reports the error.
//
// While a guard lives, SIGPIPE is blocked on the calling thread. When it ends, a SIGPIPE that became
// pending in its lifetime is consumed; one that was already pending when it began is left for its
// owner, and the thread's mask is put back as it was found. Signal dispositions are never touched.
//
// Nothing here throws; errno is preserved. Per thread: a guard belongs to the thread that made it
// and is made and ended in one scope. Guards nest.
#pragma once

namespace ostrik_encrypted_index::internal::backing_store {

class SigpipeGuard {
 public:
  SigpipeGuard() noexcept;
  ~SigpipeGuard();

  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  bool was_blocked_ = false;
  bool was_pending_ = false;
};

}  // namespace ostrik_encrypted_index::internal::backing_store
