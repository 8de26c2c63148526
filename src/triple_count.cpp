#include "triple_count.hpp"

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

// Where the CPU's reciprocal estimate, checked by a fused multiply-add, beats a division: for
// quotients below 2^estimated_below. 0 where only division is exact and fast.
#if HWY_ARCH_X86 && HWY_NATIVE_FMA && HWY_TARGET <= HWY_AVX3
constexpr int estimated_below = 12;  // vrcp14ps: relative error below 2^-14
#elif HWY_ARCH_X86 && HWY_NATIVE_FMA && HWY_TARGET == HWY_AVX2
constexpr int estimated_below = 10;  // vrcpps: relative error at most 1.5 * 2^-12
#else
constexpr int estimated_below = 0;
#endif

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

// The count for 0 <= n < 2^23. Over all pairs the quotients add up to at most
// n * (1 + ln sqrt(n))^2 / 2 < 2^29, so they are summed lane by lane in 32 bits, and the b of each
// a's pairs are taken away at once, in closed form.
std::int64_t vectors(std::int32_t n) {
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

std::int64_t count(std::int32_t n) {
    // One lane at a time is slower than what the compiler makes of the plain loop; and on 32-bit
    // Arm, Highway divides vectors by an estimate, which is not exact.
    if constexpr (HWY_TARGET == HWY_SCALAR || HWY_ARCH_ARM_V7) {
        return plain<float, std::int32_t>(n);
    }
    return vectors(n);
}

}  // namespace triple_count::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace triple_count {
HWY_EXPORT(count);
}  // namespace triple_count

std::int64_t solve(std::int32_t n) {
    // A negative n has no triples, and converting the root of one (NaN) to an integer is undefined.
    if (n < 0) {
        return 0;
    }
    // Beyond 2^23 a float may round a quotient up to the next integer; a double never does below
    // 2^52, since it rounds n/(a*b) by less than n/(a*b) * 2^-52.
    if (n >= (1 << 23)) {
        return plain<double, std::int64_t>(n);
    }
    return HWY_DYNAMIC_DISPATCH(triple_count::count)(n);
}
#endif
