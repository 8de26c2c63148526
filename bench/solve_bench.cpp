#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <string>

#include "baseline.hpp"
#include "triple_count.hpp"

namespace {

using count_fn = std::int64_t (*)(std::int32_t, route);

std::int64_t plain(std::int32_t n, route /*way*/) { return baseline(n); }

const char* name(route way) { return way == route::estimate ? "estimate" : "division"; }

// One count at n, as the table takes it, on the code path given (0: whichever the CPU picks).
void at(benchmark::State& state, count_fn count, std::int64_t target, route way) {
    hwy::SetSupportedTargetsForTest(target);
    auto n = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(n);  // or the compiler may count once for all rounds
        benchmark::DoNotOptimize(count(n, way));
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Every hundredth count of the table, so that each path is timed on the mix of n a run takes.
void table(benchmark::State& state, count_fn count, std::int64_t target, route way) {
    hwy::SetSupportedTargetsForTest(target);
    for (auto _ : state) {
        for (std::int32_t n = 0; n <= 1'000'000; n += 100) {
            benchmark::DoNotOptimize(count(n, way));
        }
    }
    state.SetItemsProcessed(state.iterations() * 10'001);
    hwy::SetSupportedTargetsForTest(0);
}

void add(const std::string& label, count_fn count, std::int64_t target, route way) {
    benchmark::RegisterBenchmark(("table/" + label).c_str(), table, count, target, way)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(label.c_str(), at, count, target, way)
        ->RangeMultiplier(10)
        ->Range(1'000, 1'000'000);
}

// The plain loop; each route of each code path this CPU can take; and solve as the program calls
// it, on the route named in the context.
const bool added = [] {
    add("baseline", plain, 0, route::automatic);
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (const route way : {route::estimate, route::division}) {
            if (taken(way) == way) {
                add(std::string(hwy::TargetName(target)) + "/" + name(way), solve, target, way);
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    benchmark::AddCustomContext("solve takes", name(taken()));
    add("solve", solve, 0, route::automatic);
    return true;
}();

}  // namespace
