#pragma once

#include <cmath>
#include <cstdint>

// The enumeration in its plainest form: an integer division for every pair, tested at every step.
// solve must match it exactly and beat it.
inline std::int64_t baseline(std::int32_t n) {
    if (n < 0) {
        return 0;
    }
    std::int64_t k = 0;
    const auto sn = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
    for (std::int32_t a = 1; a <= sn; ++a) {
        for (std::int32_t b = a + 1; b <= sn; ++b) {
            const std::int32_t temp = n / (a * b) - b;
            if (temp < 0) {
                break;
            }
            k += temp;
        }
    }
    return k;
}
