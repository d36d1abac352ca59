// The refusal shared by the GPU variants of the kernel entry points: this build has no GPU
// support. Throws std::runtime_error always.
#pragma once

#include <stdexcept>

namespace ostrik_encrypted_index::internal::kernels {

[[noreturn]] inline void ThrowGpuUnavailable() {
  throw std::runtime_error(
      "CUDA support is required, but the library was built without CUDA. Please build and run the "
      "program with CUDA support (e.g., ./build.sh -cuda).");
}

}  // namespace ostrik_encrypted_index::internal::kernels
