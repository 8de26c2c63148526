#pragma once

#include <cstdint>

// How each quotient n/(a*b) is worked out: a reciprocal estimate mended by one exact fused step,
// or a division. Both give the same counts; which is faster depends on the CPU's divider.
// automatic takes the faster, as timed on this CPU once, at the first call that can take either.
enum class route : std::uint8_t { automatic, estimate, division };

// Number of integer triples 1 <= a < b < c with a*b*c <= n; 0 for n < 0.
std::int64_t solve(std::int32_t n);

// The same by the route asked, where the code path the CPU runs has it; by division otherwise.
std::int64_t solve(std::int32_t n, route asked);

// The route solve(n, asked) takes for 0 <= n < 2^23 on the code path the CPU runs: estimate or
// division (beyond, every route is a double division).
route taken(route asked = route::automatic);
