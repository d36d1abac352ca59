// A batch's payload rows: rows that hold their bytes keep them through copies and moves (a copy
// never points into the rows it was copied from), and a view reads the caller's bytes in place.
#include "token_store/token_item_batch.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using ostrik_encrypted_index::internal::token_store::PayloadRows;

TEST(PayloadRows, HeldRowsSurviveTheirSourceAndViewsReadInPlace) {
  auto source = std::make_unique<PayloadRows>(ostrik::ByteMatrix(ostrik::Bytes{1, 2, 3, 4, 5, 6}, 2));
  PayloadRows copy = *source;
  PayloadRows assigned;
  assigned = *source;
  PayloadRows moved = std::move(*source);
  EXPECT_EQ(source->rows, 0u);
  source.reset();
  for (const PayloadRows* rows : {&copy, &assigned, &moved}) {
    ASSERT_EQ(rows->rows, 3u);
    ASSERT_EQ(rows->cols, 2u);
    EXPECT_EQ(rows->row(2)[0], 5);
    EXPECT_EQ(rows->row(2)[1], 6);
  }

  ostrik::Bytes caller{9, 8, 7, 6};
  const PayloadRows view = PayloadRows::View(caller.data(), 2, 2);
  const PayloadRows view_copy = view;
  caller[3] = 42;
  EXPECT_EQ(view.row(1), caller.data() + 2);
  EXPECT_EQ(view_copy.row(1)[1], 42);
}

}  // namespace
