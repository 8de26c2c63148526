#include "triple_count.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>

// The counts are exact only while every quotient is: fast-math would let the compiler swap a
// division for an estimate. The build compiles this file with those options off; this is for
// any other build.
#ifdef __FAST_MATH__
#error "triple_count.cpp must not be compiled with -ffast-math: its counts rely on exact division"
#endif

// Highway compiles this file once for each target; what lies outside the targets' namespace, once.
#ifndef TRIPLE_COUNT_PLAIN
#define TRIPLE_COUNT_PLAIN
namespace {

// Truncating the double root is exact far beyond int32, in any rounding mode: the root of r*r - 1
// lies 1/(2r) below r, and rounds by less than r * 2^-52.
std::int32_t root(std::int32_t m) {
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(m)));
}

// The loop as the compiler vectorizes it: a division for each pair, each a's pairs ending where
// their count turns negative. Divides in `real`; the pairs of one a add up in `part`, which for
// n < 2^23 may be int32, as all quotients together stay below 2^29 (see vectors).
template <class real, class part>
std::int64_t plain(std::int32_t n) {
    std::int64_t k = 0;
    const std::int32_t sn = root(n);
    for (std::int32_t a = 1; a <= sn; ++a) {
        // temp = n/(a*b) - b is not negative exactly while a*b*b <= n; the end only falls.
        const std::int32_t end = root(n / a);
        if (end <= a) {
            break;
        }
        part sum = 0;
        for (std::int32_t b = a + 1; b <= end; ++b) {
            const auto temp =
                static_cast<std::int32_t>(static_cast<real>(n) / static_cast<real>(a * b)) - b;
            sum += temp;
        }
        k += sum;
    }
    return k;
}

}  // namespace
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "triple_count.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace triple_count::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using floats = hn::ScalableTag<float>;
using ints = hn::RebindToSigned<floats>;
using vf = hn::Vec<floats>;
using vi = hn::Vec<ints>;

// Where the CPU's reciprocal estimate, checked by a fused multiply-add, may beat a division: for
// quotients below 2^estimated_below. 0 where only division is exact and fast.
#if HWY_ARCH_X86 && HWY_NATIVE_FMA && HWY_TARGET <= HWY_AVX3
constexpr int estimated_below = 12;  // vrcp14ps: relative error below 2^-14
#elif HWY_ARCH_X86 && HWY_NATIVE_FMA && HWY_TARGET == HWY_AVX2
constexpr int estimated_below = 10;  // vrcpps: relative error at most 1.5 * 2^-12
#else
constexpr int estimated_below = 0;
#endif
constexpr bool with_estimate = estimated_below > 0;

// One lane at a time is slower than what the compiler makes of the plain loop; and on 32-bit Arm,
// Highway divides vectors by an estimate, which is not exact.
constexpr bool lanes_pay = HWY_TARGET != HWY_SCALAR && !HWY_ARCH_ARM_V7;

// The a's with pairs number at most cbrt(n) < 204 for n < 2^23; their ends are stored a vector at
// a time, and the last vector may reach one vector past them.
constexpr std::size_t most_ends = 208 + HWY_MAX_BYTES / sizeof(std::int32_t);

// Truncation toward zero. Highway's conversion also mends lanes beyond the range of int32, which
// here never occur; where the CPU truncates in one instruction, that is all it takes.
vi truncated(vf y) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return vi{_mm512_cvttps_epi32(y.raw)};
#elif HWY_TARGET == HWY_AVX2
    return vi{_mm256_cvttps_epi32(y.raw)};
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
    return vi{_mm_cvttps_epi32(y.raw)};
#else
    return hn::ConvertTo(ints(), y);
#endif
}

// floor(n/d) for each lane; 0 <= n < 2^23 and 1 <= d < 2^23 whole numbers, in any rounding mode.
//
// Division: n/d lies at least 1/d below the next whole number up, and rounds by less than
// n/d * 2^-23, which is below 1/d. Truncation then gives the floor.
//
// Estimate, for n/d < 2^estimated_below: r = 1/d within relative error e, so y = n*r + 1/2 is
// within n/d * e + 2^-11 (its own rounding) of n/d + 1/2, that is within 1/2, and q = trunc(y) is
// the floor or one more. Then (n + 1/2) - q*d is a half-integer below 2^23 in size, exact in one
// fused operation, never zero, and negative exactly where q is one too many: its sign bit takes
// the one away. up is n + 1/2.
vi quotients(vf n, vf up, vf d, bool estimate) {
    if (!estimate) {
        return truncated(hn::Div(n, d));
    }
    const floats df;
    const vi q = truncated(hn::MulAdd(n, hn::ApproximateReciprocal(d), hn::Set(df, 0.5f)));
    const vf rest = hn::NegMulAdd(hn::ConvertTo(df, q), d, up);
    return hn::Add(q, hn::ShiftRight<31>(hn::BitCast(ints(), rest)));
}

// Each a's end, floor(sqrt(floor(n/a))), a vector of a's at a time, for 0 <= n < 2^23: end[a] for
// the a with pairs, a < end. As a grows its end only falls, so those a are 1 ... top, top being
// the lanes where a < end. Each a's pairs have b = a+1 ... end, which add up to
// (end - a)(end + a + 1)/2; these are taken from sum at once. Returns top.
//
// Exact in any rounding mode:
// - m = trunc(n/a) is floor(n/a) < 2^23, a float, as in quotients.
// - The root r = floor(sqrt(m)) < 2^12: r and r + 1 are floats, and sqrt(m) lies in [r, r + 1).
//   Rounding is monotone and keeps floats as they are, so the root rounds to r or r + 1 in any
//   mode, and so does its truncation s. s*s < 2^24 is exact: s*s > m marks r + 1, one too many.
// - Whole numbers below 2^24 are floats: (end - a)(end + a + 1) <= end^2 + end < 2^24, and it is
//   even, so each step of the sum of b is exact, whatever the mode. All of these sums together
//   stay below sum over a of n/a < n * (1 + ln 204) < 2^26, well within the lanes of sum.
std::int32_t ends(std::int32_t n, std::int32_t* end, vi& sum) {
    const floats df;
    const ints di;
    const auto width = static_cast<std::int32_t>(hn::Lanes(df));
    const vf nf = hn::Set(df, static_cast<float>(n));
    const vf one = hn::Set(df, 1.0f);
    std::int32_t top = 0;
    for (std::int32_t first = 1;; first += width) {
        const vf a = hn::Iota(df, static_cast<float>(first));
        const vf m = hn::ConvertTo(df, truncated(hn::Div(nf, a)));
        const vf s = hn::ConvertTo(df, truncated(hn::Sqrt(m)));
        const vf r = hn::IfThenElse(hn::Gt(hn::Mul(s, s), m), hn::Sub(s, one), s);
        hn::StoreU(truncated(r), di, end + first);
        const auto pairs = hn::Lt(a, r);
        const vf twice = hn::Mul(hn::Sub(r, a), hn::Add(hn::Add(r, a), one));
        const vf b = hn::Mul(twice, hn::Set(df, 0.5f));
        sum = hn::Sub(sum, hn::IfThenElseZero(hn::RebindMask(di, pairs), truncated(b)));
        const auto lanes = static_cast<std::int32_t>(hn::CountTrue(df, pairs));
        top += lanes;
        if (lanes < width) {
            return top;
        }
    }
}

// The count for 0 <= n < 2^23 by the estimate, each a's pairs in vectors of their own, as tuned on
// Intel's Sapphire Rapids. Over all pairs the quotients add up to at most
// n * (1 + ln sqrt(n))^2 / 2 < 2^29, so they are summed lane by lane in 32 bits, and the b of each
// a's pairs are taken away at once, in closed form. The ends stay scalar here: worked out ahead,
// they cost this loop nothing, while those of ends() slowed it by 8% on AMD's Zen 5.
std::int64_t estimated(std::int32_t n) {
    const floats df;
    const ints di;
    const auto width = static_cast<std::int32_t>(hn::Lanes(df));
    const vf nf = hn::Set(df, static_cast<float>(n));
    const vf up = hn::Set(df, static_cast<float>(n) + 0.5f);
    // A vector takes the estimate once a*b > n / 2^estimated_below; where there is none, never, as
    // even past the last pair a*b <= a*(end+1) <= n.
    const std::int32_t near = n >> estimated_below;
    vi sum = hn::Zero(di);
    std::int64_t k = 0;
    const std::int32_t sn = root(n);
    // Each a's end, and its first products and their step, are worked out ahead, so that a
    // mispredicted end of the pairs before does not hold them up.
    std::int32_t end = sn;
    vf first = hn::Iota(df, 2.0f);                     // a*(a+1+i) for a = 1
    vf rise = hn::Iota(df, 4.0f);                      // from a to a+1 that grows by a+1+i + (a+1)
    vf step = hn::Set(df, static_cast<float>(width));  // a*width
    const vf two = hn::Set(df, 2.0f);
    const vf wide = hn::Set(df, static_cast<float>(width));
    for (std::int32_t a = 1; a < end; ++a) {
        const std::int32_t next = root(n / (a + 1));
        k -= std::int64_t{end - a} * (end + a + 1) / 2;
        vf d = first;
        std::int32_t b = a + 1;
        // The few pairs whose quotients are too large for the estimate come first.
        for (; b + width - 1 <= end && a * b <= near; b += width, d = hn::Add(d, step)) {
            sum = hn::Add(sum, quotients(nf, up, d, false));
        }
        for (; b + width - 1 <= end; b += width, d = hn::Add(d, step)) {
            sum = hn::Add(sum, quotients(nf, up, d, true));
        }
        const auto in = hn::FirstN(di, static_cast<std::size_t>(end + 1 - b));
        sum = hn::Add(sum, hn::IfThenElseZero(in, quotients(nf, up, d, a * b > near)));
        end = next;
        first = hn::Add(first, rise);
        rise = hn::Add(rise, two);
        step = hn::Add(step, wide);
    }
    return k + hn::GetLane(hn::SumOfLanes(di, sum));
}

// The quotients of every pair by division, added to sum, for 0 <= n < 2^23 and the ends of
// ends(). Each a's pairs take vectors of their own: filling the lanes that the a before left free
// instead saves 7% of the divisions, but its steps for each a made it no faster on Zen 5.
vi divided(std::int32_t n, const std::int32_t* end, std::int32_t top, vi sum) {
    const floats df;
    const ints di;
    const auto width = static_cast<std::int32_t>(hn::Lanes(df));
    const vf nf = hn::Set(df, static_cast<float>(n));
    // The products grow from a to a+1 as in estimated(), which saved 2% over working them out.
    vf first = hn::Iota(df, 2.0f);
    vf rise = hn::Iota(df, 4.0f);
    vf step = hn::Set(df, static_cast<float>(width));
    const vf two = hn::Set(df, 2.0f);
    const vf wide = hn::Set(df, static_cast<float>(width));
    for (std::int32_t a = 1; a <= top; ++a) {
        vf d = first;
        std::int32_t left = end[a] - a;
        for (; left >= width; left -= width, d = hn::Add(d, step)) {
            sum = hn::Add(sum, quotients(nf, nf, d, false));
        }
        const auto in = hn::FirstN(di, static_cast<std::size_t>(left));
        sum = hn::Add(sum, hn::IfThenElseZero(in, quotients(nf, nf, d, false)));
        first = hn::Add(first, rise);
        rise = hn::Add(rise, two);
        step = hn::Add(step, wide);
    }
    return sum;
}

// The count for 0 <= n < 2^23, by the estimate where asked and this code path has it.
std::int64_t count(std::int32_t n, bool estimate) {
    if constexpr (!lanes_pay) {
        return plain<float, std::int32_t>(n);
    }
    if (estimate) {
        return estimated(n);
    }
    std::int32_t end[most_ends];
    const ints di;
    vi sum = hn::Zero(di);
    const std::int32_t top = ends(n, end, sum);
    // The quotients add up as in estimated().
    return hn::GetLane(hn::SumOfLanes(di, divided(n, end, top, sum)));
}

// Whether this code path has the estimate as well as division.
bool estimates() { return with_estimate; }

}  // namespace triple_count::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace triple_count {
HWY_EXPORT(count);
HWY_EXPORT(estimates);

namespace {

using clock = std::chrono::steady_clock;

// The time one route takes over 16 n from the top of the table's range, where most of its time
// goes.
clock::duration timed(bool estimate) {
    const auto start = clock::now();
    std::int64_t total = 0;
    for (std::int32_t n = 1'000'000; n > 500'000; n -= 31'250) {
        total += HWY_DYNAMIC_DISPATCH(count)(n, estimate);
    }
    const auto took = clock::now() - start;
    const volatile std::int64_t made = total;  // so that the counts are made
    static_cast<void>(made);
    return took;
}

// The faster route on this CPU: each route timed nine times, in turns, and the best of each kept,
// so that turns the host slowed down count for nothing. About 0.3 ms in all on Zen 5.
route measured() {
    auto estimate = clock::duration::max();
    auto division = clock::duration::max();
    for (int turn = 0; turn < 9; ++turn) {
        estimate = std::min(estimate, timed(true));
        division = std::min(division, timed(false));
    }
    return estimate < division ? route::estimate : route::division;
}

}  // namespace
}  // namespace triple_count

route taken(route asked) {
    // Settled once, so that the table's every count does not ask the code path again.
    if (asked == route::automatic) {
        static const route faster =
            taken(route::estimate) == route::estimate ? triple_count::measured() : route::division;
        return faster;
    }
    const bool has = HWY_DYNAMIC_DISPATCH(triple_count::estimates)();
    return has && asked == route::estimate ? route::estimate : route::division;
}

std::int64_t solve(std::int32_t n, route asked) {
    // A negative n has no triples, and converting the root of one (NaN) to an integer is undefined.
    if (n < 0) {
        return 0;
    }
    // Beyond 2^23 a float may round a quotient up to the next integer; a double never does below
    // 2^52, since it rounds n/(a*b) by less than n/(a*b) * 2^-52.
    if (n >= (1 << 23)) {
        return plain<double, std::int64_t>(n);
    }
    return HWY_DYNAMIC_DISPATCH(triple_count::count)(n, taken(asked) == route::estimate);
}

std::int64_t solve(std::int32_t n) { return solve(n, route::automatic); }
#endif
