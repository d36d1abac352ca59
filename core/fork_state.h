// Fork state: the process-wide fact "this process was forked after the module started threads",
// and the one way the module sets an OpenMP thread count.
//
// The OpenMP runtime (GNU libgomp) keeps its worker threads between parallel regions, and fork
// copies only the calling thread: in the child the pool's bookkeeping names threads that no
// longer exist, and the first region of more than one thread waits for them without end. A
// region of one thread never touches the pool. So the first request for a larger team arms a
// fork handler, and a child forked after that runs every region on its calling thread (and so
// do its own children): the same results, only slower. A process forked before any such request
// keeps all its threads. OpenBLAS (the pthread build) stops its threads before a fork and starts
// new ones when needed, so BLAS needs nothing here.
//
// Never throws. Safe from any thread. The one WARNING line of such a child goes through
// CurrentLogger().
#pragma once

namespace ostrik {

// The line a forked child writes once, the first time it would have started threads.
inline constexpr const char* kForkedChildWarning =
    "This process was forked after the module started its threads: it runs the module's work on one thread. "
    "The \"spawn\" start method keeps every thread.";

// True in a process forked (itself or through a forked ancestor) after the module first asked for
// a team of more than one thread.
bool ForkedAfterThreads() noexcept;

// Whether a parallel region may start more than one thread; call it only when it would. The first
// call arms the fork handler. In a child ForkedAfterThreads(): false, and the first such call in
// the process writes kForkedChildWarning at WARNING.
bool MayStartTeam() noexcept;

// omp_set_num_threads for the calling thread; in a child ForkedAfterThreads(), 1 whatever is asked
// (and a request for more is the child's first, writes kForkedChildWarning).
void SetThreadCount(int threads) noexcept;

}  // namespace ostrik
