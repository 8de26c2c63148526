#include <benchmark/benchmark.h>

#include "baseline.hpp"
#include "triple_count.hpp"

namespace {

// One count at n, as the table takes it; read the ratio of the two at each n.
template <std::int64_t (*count)(std::int32_t)>
void at(benchmark::State& state) {
    auto n = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(n);  // or the compiler may count once for all rounds
        benchmark::DoNotOptimize(count(n));
    }
}

}  // namespace

BENCHMARK(at<solve>)->Name("solve")->RangeMultiplier(10)->Range(1'000, 1'000'000);
BENCHMARK(at<baseline>)->Name("baseline")->RangeMultiplier(10)->Range(1'000, 1'000'000);
