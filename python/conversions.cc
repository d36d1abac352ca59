#include "python/conversions.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

uint64_t CheckedCount(uint64_t rows, uint64_t cols) {
  if (cols != 0 && rows > std::numeric_limits<uint64_t>::max() / cols) {
    throw std::length_error("Matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
                            " values is too large");
  }
  return rows * cols;
}

}  // namespace

ostrik::FloatMatrix NumpyToMatrix(const py::array_t<float, py::array::forcecast>& array, bool allow_1d) {
  const py::buffer_info info = array.request();
  ostrik::FloatMatrix matrix;
  if (info.ndim == 2) {
    matrix.rows = static_cast<uint64_t>(info.shape[0]);
    matrix.cols = static_cast<uint64_t>(info.shape[1]);
  } else if (info.ndim == 1 && allow_1d) {
    matrix.rows = 1;
    matrix.cols = static_cast<uint64_t>(info.shape[0]);
  } else {
    throw std::runtime_error(std::string("Expected a 2D array") + (allow_1d ? " or a 1D array if allowed." : "."));
  }
  const uint64_t count = CheckedCount(matrix.rows, matrix.cols);
  if (info.ptr == nullptr || count != static_cast<uint64_t>(info.size)) {
    throw std::runtime_error("Buffer size mismatch or null pointer.");
  }
  matrix.data.resize(count);
  if (count == 0) return matrix;

  // Strides decide the logical order, not the memory order: a transposed, stepped or reversed
  // view is first copied into C order by NumPy, so one block copy serves every layout.
  if (array.flags() & py::array::c_style) {
    std::memcpy(matrix.data.data(), info.ptr, count * sizeof(float));
  } else {
    const auto contiguous = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!contiguous) throw py::error_already_set();
    std::memcpy(matrix.data.data(), contiguous.data(), count * sizeof(float));
  }
  return matrix;
}

ostrik::FloatMatrix NestedListToMatrix(const std::vector<std::vector<float>>& rows) {
  ostrik::FloatMatrix matrix;
  if (rows.empty()) return matrix;
  matrix.rows = rows.size();
  matrix.cols = rows.front().size();
  for (size_t r = 1; r < rows.size(); ++r) {
    if (rows[r].size() != matrix.cols) {
      throw std::invalid_argument("All vectors must have the same length: vector " + std::to_string(r) + " has " +
                                  std::to_string(rows[r].size()) + " values, vector 0 has " +
                                  std::to_string(matrix.cols) + ".");
    }
  }
  matrix.data.resize(CheckedCount(matrix.rows, matrix.cols));
  for (size_t r = 0; r < rows.size(); ++r) {
    std::copy(rows[r].begin(), rows[r].end(), matrix.data.begin() + static_cast<std::ptrdiff_t>(r * matrix.cols));
  }
  return matrix;
}

py::list ListSnapshot(const py::handle& list) {
  auto copy = py::reinterpret_steal<py::list>(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
  if (!copy) throw py::error_already_set();
  return copy;
}

}  // namespace dodezero_vizu
