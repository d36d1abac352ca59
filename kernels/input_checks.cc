#include "kernels/input_checks.h"

#include <limits>
#include <stdexcept>

namespace ostrik_encrypted_index::internal::kernels {
namespace {

bool ProductIs(uint64_t a, uint64_t b, uint64_t size) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
  return a * b == size;
}

}  // namespace

void CheckFloatMatrixShape(const ostrik::FloatMatrix& m) {
  if (!ProductIs(m.rows, m.cols, m.data.size())) {
    throw std::invalid_argument("Vector data size does not match its rows and columns.");
  }
}

void CheckQuantizerShape(const ostrik::QuantizerMatrix& q, uint64_t width) {
  if (q.count < 0 || static_cast<uint64_t>(q.count) != q.rows ||
      !ProductIs(q.rows, q.cols, q.data.size())) {
    throw std::invalid_argument("Quantizer count, rows and columns do not match its data.");
  }
  if (q.rows != 0 && q.cols != width) {
    throw std::invalid_argument("Quantizer width does not match the vector dimension.");
  }
}

}  // namespace ostrik_encrypted_index::internal::kernels
