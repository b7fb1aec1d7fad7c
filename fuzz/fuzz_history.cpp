// A unit's history on arbitrary bytes: as a file the agent finds in its state
// directory at start, and as the query of a history request. Whatever comes
// in, a file loads into a bounded history, a query is refused or answers at
// most kMaxRows rows, and the answer is JSON whose arrays have a value per
// row, the same rows the CSV has.
#include <json/reader.h>
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_io.h"
#include "tools/agent/history/history_file.h"
#include "tools/agent/history/history_query.h"

namespace {

using namespace quillark_agent;

constexpr double kNow = 1796780000;

void check_answer(const UnitHistory& history, const HistoryQuery& query) {
    HistoryTable table;
    fill_table(history, query, table);
    FUZZ_CHECK(table.times.size() <= kMaxRows);
    FUZZ_CHECK(table.cells.size() == table.times.size() * query.series.size());
    const std::string json = render_json("ac01", query, table);
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    FUZZ_CHECK(reader->parse(json.data(), json.data() + json.size(), &root, nullptr));
    FUZZ_CHECK(root["unix"].size() == table.times.size());
    for (const Json::Value& point : root["points"])
        FUZZ_CHECK(point["mean"].size() == table.times.size());
    const std::string csv = render_csv(query, table);
    std::size_t lines = 0;
    for (std::size_t at = csv.find("\r\n"); at != std::string::npos; at = csv.find("\r\n", at + 2))
        ++lines;
    FUZZ_CHECK(lines == table.times.size() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    UnitHistory history(data[0] % 2 == 0 ? 10 : 0.5);
    if (data[0] < 128) {
        HistoryFile::decode(rest, history, kNow);
        FUZZ_CHECK(history.bytes() < 600 * 1024);
        const std::string two =
            "indoor_return_air_temperature_measured,middle_supply_air_temperature";
        HistoryQuery day;
        FUZZ_CHECK(make_query({two, "0", "", "600"}, kNow, day).empty());
        check_answer(history, day);
        HistoryQuery hour;
        FUZZ_CHECK(make_query({two, "", "", ""}, kNow, hour).empty());
        check_answer(history, hour);
        return 0;
    }
    // Four fields, one to a line: points, from, to, step.
    HistoryParams params;
    std::string* fields[] = {&params.points, &params.from, &params.to, &params.step};
    std::size_t field = 0;
    for (const char c : rest) {
        if (c == '\n' && field < 3) ++field;
        else fields[field]->push_back(c);
    }
    HistoryQuery query;
    if (!make_query(params, kNow, query).empty()) return 0;
    FUZZ_CHECK(query.from < query.to && !query.series.empty());
    const std::vector<std::uint8_t> record(200, 7);
    for (int i = 0; i < 300; ++i) history.add(i % 7 == 0 ? nullptr : &record, kNow - 7000 + 23 * i);
    check_answer(history, query);
    return 0;
}
