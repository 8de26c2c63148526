#include "triple_count.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "baseline.hpp"

TEST(Solve, MatchesCountsWorkedOutByHand) {
    // A perfect square (36) must not lose its root to rounding; a negative n has no triples. The
    // largest n was counted another way, over ordered triples.
    const std::pair<std::int32_t, std::int64_t> known[] = {
        {0, 0},     {5, 0},     {6, 1},  {12, 5}, {30, 26},       {36, 35},
        {100, 170}, {200, 466}, {-1, 0}, {-6, 0}, {INT32_MIN, 0}, {INT32_MAX, 86'661'927'082}};
    for (const auto& [n, count] : known) {
        EXPECT_EQ(solve(n), count) << "n = " << n;
    }
}

TEST(Solve, MatchesThePlainEnumerationFarBeyondTheTable) {
    // Squares and their neighbours up to the largest n, and where floats give way to doubles.
    std::vector<std::int32_t> ns = {(1 << 24) - 1, 1 << 24, INT32_MAX};
    for (std::int32_t r = 1000; r < 46'341; r += r / 8) {
        ns.insert(ns.end(), {r * r - 1, r * r, r * r + 1});
    }
    for (const std::int32_t n : ns) {
        EXPECT_EQ(solve(n), baseline(n)) << "n = " << n;
    }
}
