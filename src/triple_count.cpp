#include "triple_count.hpp"

#include <cmath>

std::int64_t solve(std::int32_t n) {
    // A negative n has no triples, and converting the root of one (NaN) to an integer is undefined.
    if (n < 0) {
        return 0;
    }
    std::int64_t k = 0;
    // b < c gives a*b*b < n, so b never passes the square root; nor does a, being below b.
    // sn*sn <= INT32_MAX, so a*b cannot overflow for any n.
    const auto sn = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
    for (std::int32_t a = 1; a <= sn; ++a) {
        for (std::int32_t b = a + 1; b <= sn; ++b) {
            // The admissible c for this pair are b+1 .. n/(a*b).
            const std::int32_t temp = n / (a * b) - b;
            if (temp < 0) {
                break;  // only falls as b grows
            }
            k += temp;
        }
    }
    return k;
}
