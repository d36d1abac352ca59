// Read-only Armadillo views over row-major float storage: n vectors of width d read column-major
// are the d x n matrix whose columns are the vectors. No copy is made; the viewed memory must
// outlive the view and is never written through it.
#pragma once

#include <armadillo>
#include <cstdint>

namespace ostrik_encrypted_index::internal::kernels {

inline const arma::fmat ColumnView(const float* data, uint64_t rows, uint64_t cols) {
  // Armadillo's auxiliary-memory constructor takes a mutable pointer; the view is const.
  return arma::fmat(const_cast<float*>(data), rows, cols, /*copy_aux_mem=*/false, /*strict=*/true);
}

}  // namespace ostrik_encrypted_index::internal::kernels
