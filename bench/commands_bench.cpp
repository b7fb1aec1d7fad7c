// The command interface's cheap paths: the status object and the result
// query (the status text has a file of its own).
#include <iostream>
#include <sstream>

#include <benchmark/benchmark.h>

#include "quillark/quillark.h"

namespace {

// A driver that has completed one round, so its document is rendered.
struct Rendered {
    Quillark dev;
    Rendered() {
        std::ostringstream quiet;
        auto* previous = std::cout.rdbuf(quiet.rdbuf());
        dev.RoundDone();
        std::cout.rdbuf(previous);
    }
};

void BM_StatusObject(benchmark::State& state) {
    Rendered rig;
    void* out = nullptr;
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            rig.dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, &out, sizeof out, size));
    }
}
BENCHMARK(BM_StatusObject);

void BM_ResultQuery(benchmark::State& state) {
    Quillark dev;
    std::int32_t out = 0;
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dev.DeviceIoControl(802, nullptr, 0, &out, 4, size));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ResultQuery);

}  // namespace
