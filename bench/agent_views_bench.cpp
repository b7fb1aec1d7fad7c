// What one page poll costs the agent: the JSON of the overview for a row of
// units, and of one unit's page. Both parse the units' last status documents.
// And what one Prometheus scrape of a large hall costs, text made and dropped.
#include <benchmark/benchmark.h>

#include <json/writer.h>

#include "quillark/points.h"
#include "tools/agent/publish/metrics.h"
#include "tools/agent/publish/views.h"

namespace {

using quillark_agent::UnitView;

// A unit after a complete round, with a status document of every point and
// three raised alarms.
UnitView unit(int i) {
    UnitView u;
    u.name = "row1-ac" + std::to_string(i);
    u.link = "gw" + std::to_string(i / 50);
    u.unit_id = 1 + i % 50;
    u.interval_s = 1;
    u.online = true;
    u.online_since_unix = u.last_round_unix = 1.8e9;
    Json::Value doc(Json::objectValue);
    for (const quillark::Point& p : quillark::kPoints)
        doc[p.key] =
            quillark::is_bit_kind(p.kind) ? Json::Value("正常") : Json::Value(23.100000381469727);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    u.status = std::make_shared<const std::string>(Json::writeString(writer, doc));
    u.record.assign(sizeof(Quillark_Data_t), 1);
    for (std::size_t a = 0; a < 3; ++a) u.alarm_since[a] = 1.8e9;
    return u;
}

void OverviewOf200Units(benchmark::State& state) {
    std::vector<UnitView> units;
    for (int i = 0; i < 200; ++i) units.push_back(unit(i));
    std::size_t bytes = 0;
    for (auto _ : state) bytes = quillark_agent::render_units(units, 1.8e9 + 5).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(OverviewOf200Units)->Unit(benchmark::kMillisecond);

void UnitPage(benchmark::State& state) {
    const UnitView u = unit(1);
    const quillark_agent::LinkView link{"gw0", 2, 1, 0.1};
    std::size_t bytes = 0;
    for (auto _ : state) bytes = quillark_agent::render_unit(u, &link, 1.8e9 + 5).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(UnitPage)->Unit(benchmark::kMicrosecond);

// The scrape as the HTTP thread makes it, without the socket: every unit's
// points and health, handed out in pieces and dropped.
void MetricsScrape(benchmark::State& state) {
    std::vector<UnitView> units;
    std::vector<quillark_agent::LinkView> links;
    for (int i = 0; i < state.range(0); ++i) units.push_back(unit(i));
    for (int l = 0; l < state.range(0) / 50; ++l)
        links.push_back({"gw" + std::to_string(l), 2, 1, 0.1});
    std::size_t bytes = 0;
    const quillark_agent::MetricsSink sink = [&bytes](const char*, std::size_t size) {
        bytes += size;
        return true;
    };
    for (auto _ : state) {
        bytes = 0;
        quillark_agent::render_metrics(units, links, sink);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(MetricsScrape)->Arg(200)->Arg(800)->Unit(benchmark::kMillisecond);

}  // namespace
