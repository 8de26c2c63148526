#include "triple_count.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <utility>

TEST(Solve, MatchesCountsWorkedOutByHand) {
    // A perfect square (36) must not lose its root to rounding; a negative n has no triples.
    const std::pair<std::int32_t, std::int64_t> known[] = {
        {0, 0},     {5, 0},     {6, 1},  {12, 5}, {30, 26},      {36, 35},
        {100, 170}, {200, 466}, {-1, 0}, {-6, 0}, {INT32_MIN, 0}};
    for (const auto& [n, count] : known) {
        EXPECT_EQ(solve(n), count) << "n = " << n;
    }
}
