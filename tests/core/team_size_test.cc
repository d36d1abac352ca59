// Team sizes are what every sized region indexes its per-thread buffers with: never 0, never more
// than the calling thread may start, and work estimates that overflow count as the most work.
#include "core/team_size.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(TeamSize, OneThreadBelowTwoGrainsElseTheWholeTeam) {
  struct Case {
    int max_threads;
    uint64_t work, grain;
    int team;
  };
  const std::vector<Case> cases = {
      {8, 0, 100, 1},       {8, 99, 100, 1},    {8, 199, 100, 1}, {8, 200, 100, 8},      {8, 799, 100, 8},
      {3, 1 << 30, 100, 3}, {1, 1 << 30, 1, 1}, {8, 5, 0, 8},     {8, UINT64_MAX, 1, 8},
  };
  const int saved = omp_get_max_threads();
  for (const Case& c : cases) {
    omp_set_num_threads(c.max_threads);
    EXPECT_EQ(ostrik::TeamSize(c.work, c.grain), c.team)
        << c.max_threads << " threads, work " << c.work << ", grain " << c.grain;
  }
  omp_set_num_threads(saved);
}

TEST(TeamSize, WorkProductSaturates) {
  EXPECT_EQ(ostrik::WorkProduct(0, UINT64_MAX), 0u);
  EXPECT_EQ(ostrik::WorkProduct(uint64_t{1} << 32, uint64_t{1} << 31), uint64_t{1} << 63);
  EXPECT_EQ(ostrik::WorkProduct(uint64_t{1} << 32, uint64_t{1} << 32), UINT64_MAX);
  EXPECT_EQ(ostrik::WorkProduct(UINT64_MAX, 2), UINT64_MAX);
}

}  // namespace
