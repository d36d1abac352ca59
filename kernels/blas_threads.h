// BLAS threading policy of the kernels.
//
// The kernels split their matrix products into blocks over the OpenMP team themselves, so every
// BLAS call is made from inside a parallel region and must not start OpenBLAS threads of its own
// (the pthread build would oversubscribe the cores). SingleThreadedBlas holds OpenBLAS at one
// thread for its lifetime and restores the previous count afterwards; create one on the calling
// thread before a region that calls BLAS. The setting is process-wide: a BLAS call made by
// another thread meanwhile also runs single-threaded, which is slower but still correct.
//
// Throws nothing.
#pragma once

namespace ostrik_encrypted_index::internal::kernels {

class SingleThreadedBlas {
 public:
  SingleThreadedBlas() noexcept;
  ~SingleThreadedBlas();
  SingleThreadedBlas(const SingleThreadedBlas&) = delete;
  SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;

 private:
  int previous_;
};

}  // namespace ostrik_encrypted_index::internal::kernels
