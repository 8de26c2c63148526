#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <string>

#include "baseline.hpp"
#include "triple_count.hpp"

namespace {

using count_fn = std::int64_t (*)(std::int32_t);

// One count at n, as the table takes it, on the code path given (0: whichever the CPU picks).
void at(benchmark::State& state, count_fn count, std::int64_t target) {
    hwy::SetSupportedTargetsForTest(target);
    auto n = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(n);  // or the compiler may count once for all rounds
        benchmark::DoNotOptimize(count(n));
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Every hundredth count of the table, so that each path is timed on the mix of n a run takes.
void table(benchmark::State& state, count_fn count, std::int64_t target) {
    hwy::SetSupportedTargetsForTest(target);
    for (auto _ : state) {
        for (std::int32_t n = 0; n <= 1'000'000; n += 100) {
            benchmark::DoNotOptimize(count(n));
        }
    }
    state.SetItemsProcessed(state.iterations() * 10'001);
    hwy::SetSupportedTargetsForTest(0);
}

void add(const std::string& name, count_fn count, std::int64_t target) {
    benchmark::RegisterBenchmark(("table/" + name).c_str(), table, count, target)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(name.c_str(), at, count, target)
        ->RangeMultiplier(10)
        ->Range(1'000, 1'000'000);
}

const bool added = [] {
    add("baseline", baseline, 0);
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        add(std::string("solve/") + hwy::TargetName(target), solve, target);
    }
    return true;
}();

}  // namespace
