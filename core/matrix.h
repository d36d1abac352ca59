// Bulk records passed between the layers: ByteMatrix (fixed-width byte rows), FloatMatrix (float
// vectors, one per row) and ItemRecords (decrypted items grouped by token).
//
// Plain data. The ByteMatrix constructor from bytes throws std::invalid_argument when the bytes do
// not divide into whole rows of a non-zero width (and then takes nothing over). Not synchronised.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrik {

using Bytes = std::vector<uint8_t>;

struct ByteMatrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  Bytes data;

  ByteMatrix() = default;
  // Takes the bytes over; `data` is left empty on success and untouched on failure.
  ByteMatrix(Bytes&& bytes, uint64_t columns) {
    if (columns == 0 || bytes.size() % columns != 0) {
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    cols = columns;
    rows = bytes.size() / columns;
    data = std::move(bytes);
  }
  // rows x cols zero bytes; throws std::length_error when rows x cols does not fit in 64 bits.
  ByteMatrix(uint64_t n_rows, uint64_t n_cols) : rows(n_rows), cols(n_cols), data(CheckedSize(n_rows, n_cols), 0) {}

  uint8_t* row(uint64_t i) { return data.data() + i * cols; }
  const uint8_t* row(uint64_t i) const { return data.data() + i * cols; }

 private:
  static uint64_t CheckedSize(uint64_t n_rows, uint64_t n_cols) {
    if (n_cols != 0 && n_rows > UINT64_MAX / n_cols) throw std::length_error("ByteMatrix size overflows");
    return n_rows * n_cols;
  }
};

struct FloatMatrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<float> data;

  const float* row(uint64_t i) const { return data.data() + i * cols; }
  float* row(uint64_t i) { return data.data() + i * cols; }
};

// Items grouped by token: group g is positions [token_indices[g], token_indices[g + 1]).
// item_ids, payloads rows and metadata are parallel.
struct ItemRecords {
  std::vector<std::string> item_ids;
  std::vector<uint64_t> token_indices;
  ByteMatrix payloads;
  std::vector<std::string> metadata;
};

}  // namespace ostrik
