// Texts shared by several files of the engine. Header-only; nothing here throws.
#pragma once

namespace ostrik_encrypted_index::internal::token_store {

inline constexpr const char* kCudaRequiredMessage =
    "CUDA support is required, but the library was built without CUDA. Please build and run the "
    "program with CUDA support (e.g., ./build.sh -cuda).";

}  // namespace ostrik_encrypted_index::internal::token_store
