#include "triple_count.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <utility>
#include <vector>

#include "baseline.hpp"

namespace {

// Each test runs once for every code path this CPU can take.
class Solve : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(Solve);

using cases = std::vector<std::pair<std::int32_t, std::int64_t>>;

// Counts worked out by hand (the largest n another way, over ordered triples).
const cases by_hand = {{0, 0},   {5, 0},   {6, 1},         {12, 5},
                       {30, 26}, {36, 35}, {100, 170},     {200, 466},
                       {-1, 0},  {-6, 0},  {INT32_MIN, 0}, {INT32_MAX, 86'661'927'082}};

// Those; then, against the plain loop, every n to 100,000, every 4099th on to 2^23, squares and
// their neighbours, where a root may be lost to rounding, and where the counting changes its
// arithmetic.
const cases& expected() {
    static const auto all = [] {
        cases out = by_hand;
        std::vector<std::int32_t> ns(100'001);
        std::iota(ns.begin(), ns.end(), 0);
        for (std::int32_t n = 100'001; n < (1 << 23); n += 4099) {
            ns.push_back(n);
        }
        for (std::int32_t r = 1000; r < 46'341; r += r / 4) {
            ns.insert(ns.end(), {r * r - 1, r * r, r * r + 1});
        }
        ns.insert(ns.end(), {(1 << 23) - 1, 1 << 23, (1 << 24) - 1, 1 << 24, (1 << 24) + 1});
        std::transform(ns.begin(), ns.end(), std::back_inserter(out),
                       [](std::int32_t n) { return std::make_pair(n, baseline(n)); });
        return out;
    }();
    return all;
}

const char* name(route way) { return way == route::estimate ? "estimate" : "division"; }

// On each route the code path has; and in every rounding mode, as whoever calls may have set
// another: all cases in the usual one, and a seventh of those to 100,000 in the others.
TEST_P(Solve, MatchesKnownCountsAndThePlainEnumeration) {
    struct nearest {
        ~nearest() { std::fesetround(FE_TONEAREST); }
    } const restored;
    for (const route way : {route::division, route::estimate}) {
        if (taken(way) != way) {
            break;
        }
        for (const int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
            ASSERT_EQ(std::fesetround(mode), 0);
            for (const auto& [n, count] : expected()) {
                if (mode == FE_TONEAREST || n < 0 || n > 100'000 || n % 7 == 0) {
                    ASSERT_EQ(solve(n, way), count)
                        << "n = " << n << " in rounding mode " << mode << " by " << name(way);
                }
            }
        }
    }
}

}  // namespace
