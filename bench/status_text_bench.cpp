// The status text (801) beside what the JSON library's compact writer alone
// costs on the same document: after a new round (rebuild and text), repeated
// with no new round, and once an 803 has handed out the document's address
// (the text is then written from the live document every time). Each reports
// the mallocs per call.
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

#include <benchmark/benchmark.h>
#include <json/writer.h>

#include "bench/malloc_count.h"
#include "quillark/quillark.h"

namespace {

// A driver with a rendered document of a varied record: every kind of label
// and number, none of them all zero.
class Rig {
public:
    Rig() {
        unsigned char image[187];
        for (std::size_t i = 0; i < sizeof image; ++i) image[i] = static_cast<unsigned char>(i * 7);
        std::ostringstream quiet;
        auto* previous = std::cout.rdbuf(quiet.rdbuf());
        dev.LoadFromCache(image, sizeof image);
        std::cout.rdbuf(previous);
        status_text();
    }
    int status_text() {
        return dev.DeviceIoControl(IoGetStatusText, nullptr, 0, out.data(),
                                   static_cast<int>(out.size()), size);
    }
    void new_round() { dev.last_data_time += boost::posix_time::seconds(1); }
    void hand_out_address() {
        const Json::Value* address = nullptr;
        dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, &address, sizeof address, size);
    }

    Quillark dev;
    std::vector<char> out = std::vector<char>(1 << 16);
    int size = 0;
};

void BM_FastWriterAlone(benchmark::State& state) {
    Rig rig;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    const std::uint64_t start = bench::malloc_calls();
    for (auto _ : state) benchmark::DoNotOptimize(writer.write(rig.dev.status_doc));
#pragma GCC diagnostic pop
    bench::report_mallocs(state, start);
}
BENCHMARK(BM_FastWriterAlone);

// 801 in a loop, counting mallocs: after a new round each time or as a repeat,
// with or without the document's address handed out first (the slow path).
void status_text_loop(benchmark::State& state, bool new_rounds, bool address_handed_out) {
    Rig rig;
    if (address_handed_out) rig.hand_out_address();
    const std::uint64_t start = bench::malloc_calls();
    for (auto _ : state) {
        if (new_rounds) rig.new_round();
        benchmark::DoNotOptimize(rig.status_text());
        benchmark::ClobberMemory();
    }
    bench::report_mallocs(state, start);
    state.counters["text_bytes"] = rig.size;
}

void BM_StatusTextAfterNewRound(benchmark::State& state) { status_text_loop(state, true, false); }
BENCHMARK(BM_StatusTextAfterNewRound);

void BM_StatusTextRepeat(benchmark::State& state) { status_text_loop(state, false, false); }
BENCHMARK(BM_StatusTextRepeat);

void BM_StatusTextAddressHandedOutAfterNewRound(benchmark::State& state) {
    status_text_loop(state, true, true);
}
BENCHMARK(BM_StatusTextAddressHandedOutAfterNewRound);

void BM_StatusTextAddressHandedOutRepeat(benchmark::State& state) {
    status_text_loop(state, false, true);
}
BENCHMARK(BM_StatusTextAddressHandedOutRepeat);

}  // namespace
