#pragma once

#include <cstdint>

// Number of integer triples 1 <= a < b < c with a*b*c <= n; 0 for n < 0.
std::int64_t solve(std::int32_t n);
