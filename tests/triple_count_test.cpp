#include "triple_count.hpp"

#include <gtest/gtest.h>

#include <climits>

TEST(Solve, MatchesCountsWorkedOutByHand) {
    const std::int64_t first[] = {0, 0, 0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  5,  5,  6, 7,
                                  8, 8, 10, 10, 12, 13, 14, 14, 18, 18, 19, 20, 22, 22, 26};
    for (std::int32_t n = 0; n <= 30; ++n) {
        EXPECT_EQ(solve(n), first[n]) << "n = " << n;
    }
    EXPECT_EQ(solve(36), 35);  // a perfect square: its root must not come out one short
    EXPECT_EQ(solve(100), 170);
    EXPECT_EQ(solve(200), 466);
}

TEST(Solve, IsZeroForNegativeN) {
    for (const std::int32_t n : {-1, -6, -1'000'000, INT32_MIN}) {
        EXPECT_EQ(solve(n), 0) << "n = " << n;
    }
}
