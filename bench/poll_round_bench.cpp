// Cost of the polling path: handling one reply, and one whole round of 46
// reads through the stand-in host's master with an in-memory unit.
#include <iostream>
#include <memory>
#include <sstream>

#include <benchmark/benchmark.h>

#include "host/standin/master.h"
#include "quillark/quillark.h"
#include "host/tessel_controller.h"

namespace {

// Answers every read at once with a fixed pattern; no allocation.
class InstantUnit : public standin::Transport {
public:
    standin::Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                             std::uint16_t* words) override {
        for (int i = 0; i < request.count; ++i) {
            bits[i] = static_cast<std::uint8_t>((request.address + i) & 1);
            words[i] = static_cast<std::uint16_t>(request.address * 10 + i);
        }
        return {};
    }
};

// The end of a round writes the host's "rvSize is" line; keep it out of the report.
class QuietStdout {
public:
    QuietStdout() : saved_(std::cout.rdbuf(sink_.rdbuf())) {}
    ~QuietStdout() { std::cout.rdbuf(saved_); }

private:
    std::ostringstream sink_;
    std::streambuf* saved_;
};

void BM_ReplyHandling(benchmark::State& state) {
    auto controller = std::make_shared<TesselController>();
    Quillark dev;
    dev.Init(controller, 1, Json::Value());
    ModbusRequest request;
    std::int32_t step = quillark::kFirstPollStep;
    for (auto _ : state) {
        dev.poll_step = step;
        benchmark::DoNotOptimize(dev.process_payload(SPModbus::TabInputBits, 1));
        standin::take_request(dev, request);
        step = step + 1 == quillark::kLastPollStep ? quillark::kFirstPollStep : step + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReplyHandling);

void BM_WholeRound(benchmark::State& state) {
    auto controller = std::make_shared<TesselController>();
    Quillark dev;
    dev.Init(controller, 1, Json::Value());
    InstantUnit unit;
    standin::Master master(unit);
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(master.run_round(dev).requests);
    state.SetItemsProcessed(state.iterations() * 46);
}
BENCHMARK(BM_WholeRound);

}  // namespace
