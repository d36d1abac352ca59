// Team sizes are what every sized region indexes its per-thread buffers with: never 0, never more
// than the calling thread may start, and work estimates that overflow count as the most work.
#include "core/team_size.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/thread_scope.h"

namespace {

TEST(TeamSize, OneThreadBelowTwoGrainsOrItemsElseTheWholeTeam) {
  struct Case {
    int max_threads;
    uint64_t work, grain, items;
    int team;
  };
  const std::vector<Case> cases = {
      {8, 0, 100, UINT64_MAX, 1},       {8, 99, 100, UINT64_MAX, 1},  {8, 199, 100, UINT64_MAX, 1},
      {8, 200, 100, UINT64_MAX, 8},     {8, 799, 100, UINT64_MAX, 8}, {3, 1 << 30, 100, UINT64_MAX, 3},
      {1, 1 << 30, 1, UINT64_MAX, 1},   {8, 5, 0, UINT64_MAX, 8},     {8, UINT64_MAX, 1, UINT64_MAX, 8},
      // Work items to hand out: one stays on the calling thread; fewer than threads still get all.
      {8, 1 << 30, 100, 0, 1},          {8, 1 << 30, 100, 1, 1},      {8, 1 << 30, 100, 2, 8},
      {8, 50, 100, 1000, 1},
  };
  for (const Case& c : cases) {
    const ostrik::ThreadCountScope threads(c.max_threads);
    EXPECT_EQ(ostrik::TeamSize(c.work, c.grain, c.items), c.team)
        << c.max_threads << " threads, work " << c.work << ", grain " << c.grain << ", items " << c.items;
  }
}

TEST(TeamSize, WorkProductSaturates) {
  EXPECT_EQ(ostrik::WorkProduct(0, UINT64_MAX), 0u);
  EXPECT_EQ(ostrik::WorkProduct(uint64_t{1} << 32, uint64_t{1} << 31), uint64_t{1} << 63);
  EXPECT_EQ(ostrik::WorkProduct(uint64_t{1} << 32, uint64_t{1} << 32), UINT64_MAX);
  EXPECT_EQ(ostrik::WorkProduct(UINT64_MAX, 2), UINT64_MAX);
}

}  // namespace
