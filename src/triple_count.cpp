#include "triple_count.hpp"

#include <cmath>

namespace {

// Truncating the double root is exact far beyond int32: the root of r*r - 1 rounds below r.
std::int32_t root(std::int32_t m) {
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(m)));
}

// Divides in `real` and sums the pairs of one a in `part`; solve picks types exact for n.
template <class real, class part>
std::int64_t count(std::int32_t n) {
    std::int64_t k = 0;
    // b < c gives a*b*b < n, so b never passes the square root; nor does a, being below b.
    const std::int32_t sn = root(n);
    for (std::int32_t a = 1; a <= sn; ++a) {
        // temp = n/(a*b) - b is not negative exactly while a*b*b <= n. Ending the pairs there, once
        // per a, leaves a loop the compiler can vectorize; the end is at most sn and only falls.
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

std::int64_t solve(std::int32_t n) {
    // A negative n has no triples, and converting the root of one (NaN) to an integer is undefined.
    if (n < 0) {
        return 0;
    }
    // n/(a*b) is at least 1/(a*b) below the next integer up. For n below 2^24 a float, and for any
    // n a double, holds n and a*b exactly and rounds their quotient by less than that, so
    // truncation gives the integer quotient. Below 2^24 the pairs of one a also add up to less than
    // 2^31.
    return n < (1 << 24) ? count<float, std::int32_t>(n) : count<double, std::int64_t>(n);
}
