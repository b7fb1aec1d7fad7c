// What the units' history costs: a round's update (time and mallocs), the
// memory of 200 units with a full day kept, and the history API's answer for
// 24 hours of 10 points among them.
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

#include "bench/malloc_count.h"
#include "quillark/record.h"
#include "tools/agent/history/history.h"

namespace {

using namespace quillark_agent;

constexpr double kNow = 1796780000;
constexpr int kUnits = 200;

// A record whose words drift with the round, as a unit's readings do.
std::vector<std::uint8_t> drifting(int round) {
    std::vector<std::uint8_t> record(quillark::kReadOffsets.back(), 0);
    for (std::size_t i = 0; i + 1 < record.size(); i += 2)
        record[i] = static_cast<std::uint8_t>(200 + (round / 7 + i) % 40);
    return record;
}

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

void HistoryRound(benchmark::State& state) {
    UnitHistory history(10);
    const auto record = drifting(1);
    double t = kNow;
    history.add(&record, t);
    const std::uint64_t start = bench::malloc_calls();
    for (auto _ : state) history.add(&record, t += 10);
    bench::report_mallocs(state, start);
}
BENCHMARK(HistoryRound);

// 200 units at 10 s, a day of rounds each, in the agent's own registry.
struct Hall {
    struct Quiet : Publisher {
        void unit_status(const std::string&, const std::string&) override {}
        void unit_alarms(const std::string&, const std::vector<std::uint8_t>&, double) override {}
        void unit_availability(const std::string&, bool) override {}
        void write_result(const std::string&, int, const std::string&) override {}
    } quiet;
    std::unique_ptr<History> history;
    long kib_per_unit = 0;

    Hall() {
        const long before = resident_kib();
        history = std::make_unique<History>("", 300, quiet);
        std::vector<UnitConfig> units(kUnits);
        for (int u = 0; u < kUnits; ++u) units[u].name = "ac" + std::to_string(u);
        for (UnitConfig& unit : units) unit.interval_s = 10;
        history->configure(units);
        for (int round = 0; round < 8640; ++round) {
            const auto record = drifting(round);
            for (const UnitConfig& unit : units)
                history->unit_round(unit.name, &record, kNow - 86400 + round * 10.0);
        }
        kib_per_unit = (resident_kib() - before) / kUnits;
    }
};

void HistoryDayOf10PointsAt200Units(benchmark::State& state) {
    static Hall hall;
    HistoryParams params;
    params.points =
        "indoor_return_air_temperature_measured,indoor_return_air_humidity_measured,"
        "indoor_upper_supply_air_temperature_measured,ambient_temperature,"
        "suction_pressure_measured,discharge_temperature_measured,condensing_pressure_measured,"
        "temperature_set_point,unit_state,working_mode";
    params.from = std::to_string(kNow - 86400);
    std::size_t bytes = 0;
    int u = 0;
    for (auto _ : state) {
        const HistoryAnswer a =
            hall.history->answer("ac" + std::to_string(u++ % kUnits), params, state.range(0), kNow);
        bytes = a.body.size();
        benchmark::DoNotOptimize(a.body.data());
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
    state.counters["kept_kib_per_unit"] =
        static_cast<double>(hall.history->bytes()) / 1024 / kUnits;
    state.counters["rss_kib_per_unit"] = static_cast<double>(hall.kib_per_unit);
}
BENCHMARK(HistoryDayOf10PointsAt200Units)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("csv")
    ->Unit(benchmark::kMillisecond);

}  // namespace
