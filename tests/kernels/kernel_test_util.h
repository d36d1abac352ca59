// Small builders shared by the kernel tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace kernel_test {

inline ostrik::FloatMatrix Rows(uint64_t rows, uint64_t cols, std::vector<float> values) {
  return ostrik::FloatMatrix{rows, cols, std::move(values)};
}

inline ostrik::FloatMatrix RandomRows(uint64_t rows, uint64_t cols, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist;
  ostrik::FloatMatrix m{rows, cols, std::vector<float>(rows * cols)};
  for (float& v : m.data) v = dist(gen);
  return m;
}

inline std::vector<ostrik::QuantizerMatrix> Quantizer(uint64_t cols, std::vector<float> values) {
  const auto count = static_cast<int32_t>(values.size() / cols);
  return {ostrik::QuantizerMatrix(count, std::move(values), cols)};
}

inline std::vector<ostrik::QuantizerMatrix> Quantizer(const ostrik::FloatMatrix& centres) {
  return Quantizer(centres.cols, centres.data);
}

}  // namespace kernel_test
