#include "core/matrix.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace {

using ostrik::ByteMatrix;
using ostrik::Bytes;

struct ShapeCase {
  size_t bytes;
  uint64_t cols;
  bool accepted;
  uint64_t rows;
};

TEST(ByteMatrix, TakesWholeRowsOnly) {
  const ShapeCase cases[] = {
      {0, 8, true, 0}, {0, 0, false, 0}, {24, 8, true, 3}, {25, 8, false, 0}, {24, 0, false, 0}, {7, 7, true, 1},
  };
  for (const auto& c : cases) {
    Bytes data(c.bytes, 0xab);
    if (!c.accepted) {
      try {
        ByteMatrix m(std::move(data), c.cols);
        ADD_FAILURE() << c.bytes << " bytes / " << c.cols << " accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Data size must be a multiple of the number of columns");
      }
      EXPECT_EQ(data.size(), c.bytes) << "a refused matrix takes nothing over";
      continue;
    }
    const ByteMatrix m(std::move(data), c.cols);
    EXPECT_EQ(m.rows, c.rows);
    EXPECT_EQ(m.cols, c.cols);
    EXPECT_EQ(m.data.size(), c.bytes);
    EXPECT_TRUE(data.empty()) << "the bytes are moved in";
  }
}

TEST(ByteMatrix, ZeroFilledShape) {
  const ByteMatrix m(3, 5);
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.cols, 5u);
  EXPECT_EQ(m.data, Bytes(15, 0));
  EXPECT_EQ(m.row(2), m.data.data() + 10);
  // A shape whose byte count wraps around 64 bits must not yield a short buffer.
  EXPECT_THROW(ByteMatrix(std::numeric_limits<uint64_t>::max() / 2, 3), std::length_error);
}

}  // namespace
