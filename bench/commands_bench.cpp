// The command interface's hot paths: the status text (with and without a
// rebuild of the document first) and the result query.
#include <iostream>
#include <sstream>
#include <vector>

#include <benchmark/benchmark.h>

#include "quillark.h"

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

void BM_StatusText(benchmark::State& state) {
    Rendered rig;
    std::vector<char> out(1 << 16);
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.dev.DeviceIoControl(IoGetStatusText, nullptr, 0, out.data(),
                                                         static_cast<int>(out.size()), size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["text_bytes"] = size;
}
BENCHMARK(BM_StatusText);

// Every request finds a newer round and rebuilds the document first.
void BM_StatusTextAfterNewRound(benchmark::State& state) {
    Rendered rig;
    std::vector<char> out(1 << 16);
    int size = 0;
    for (auto _ : state) {
        rig.dev.last_data_time += boost::posix_time::seconds(1);
        benchmark::DoNotOptimize(rig.dev.DeviceIoControl(IoGetStatusText, nullptr, 0, out.data(),
                                                         static_cast<int>(out.size()), size));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_StatusTextAfterNewRound);

void BM_StatusObject(benchmark::State& state) {
    Rendered rig;
    void* out = nullptr;
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rig.dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, &out,
                                                         sizeof out, size));
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
