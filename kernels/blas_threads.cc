#include "kernels/blas_threads.h"

#include <cblas.h>

namespace ostrik_encrypted_index::internal::kernels {

SingleThreadedBlas::SingleThreadedBlas() noexcept : previous_(openblas_get_num_threads()) {
  if (previous_ != 1) openblas_set_num_threads(1);
}

SingleThreadedBlas::~SingleThreadedBlas() {
  if (previous_ != 1) openblas_set_num_threads(previous_);
}

}  // namespace ostrik_encrypted_index::internal::kernels
