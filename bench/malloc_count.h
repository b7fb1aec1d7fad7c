// Heap allocations of the benchmark binary, counted at malloc itself: the
// JSON library allocates its strings with malloc, so a count of operator new
// alone would miss them (operator new comes here too).
#pragma once

#include <cstdint>

#include <benchmark/benchmark.h>

namespace bench {

std::uint64_t malloc_calls();

// Reports the mallocs per iteration since `start` as the counter "mallocs".
inline void report_mallocs(benchmark::State& state, std::uint64_t start) {
    state.counters["mallocs"] = benchmark::Counter(static_cast<double>(malloc_calls() - start),
                                                   benchmark::Counter::kAvgIterations);
}

}  // namespace bench
