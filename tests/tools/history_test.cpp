// A unit's history: what a day of minutes and an hour of rounds keep, what
// the file brings back, and the history API of a running agent across a
// restart and a kill.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <new>
#include <sstream>

#include "quillark/record.h"
#include "tests/tools/agent_fixtures.h"
#include "tools/agent/clock.h"
#include "tools/agent/history/history_file.h"
#include "tools/agent/history/history_query.h"

// The replaced allocator pairs malloc with free throughout, which the
// compiler cannot see across the inlined standard library.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
// Counts this thread's allocations while a test looks.
thread_local bool g_counting = false;
thread_local std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (g_counting) ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace agent_tests {
namespace {

using namespace quillark_agent;

constexpr std::size_t kReturnAir = 0;  // the first series: indoor return-air temperature
constexpr double kT0 = 1796779920;     // 2026-12-09T01:32:00Z, two whole minutes

std::vector<std::uint8_t> record_with(std::uint16_t return_air) {
    std::vector<std::uint8_t> record(quillark::kReadOffsets.back(), 0);
    const std::size_t at = quillark::kPointOffsets[kSeriesPoints[kReturnAir]];
    record[at] = static_cast<std::uint8_t>(return_air & 0xFF);
    record[at + 1] = static_cast<std::uint8_t>(return_air >> 8);
    return record;
}

HistoryQuery query(double from, double to, int step) {
    HistoryQuery q;
    q.series = {kReturnAir};
    q.from = from;
    q.to = to;
    q.step = step;
    return q;
}

// Minute 0: 23.0, 23.2, 23.4 and one failed round; minute 1: only failed
// rounds; minute 2: nothing polled; minute 3: 24.0 twice.
UnitHistory sample_day() {
    UnitHistory h(20);
    const std::uint16_t words[] = {230, 232, 234};
    for (int i = 0; i < 3; ++i) {
        const auto record = record_with(words[i]);
        h.add(&record, kT0 + 10 * i);
    }
    h.add(nullptr, kT0 + 40);
    h.add(nullptr, kT0 + 60);
    h.add(nullptr, kT0 + 100);
    const auto later = record_with(240);
    h.add(&later, kT0 + 180);
    h.add(&later, kT0 + 200);
    return h;
}

TEST(History, MinutesKeepMinMeanMaxOfCompleteRoundsAndGapsStayGaps) {
    const UnitHistory h = sample_day();
    HistoryTable table;
    fill_table(h, query(kT0, kT0 + 240, 60), table);
    const std::string csv = render_csv(query(kT0, kT0 + 240, 60), table);
    EXPECT_NE(csv.find("\r\n2026-12-09T01:32:00Z,true,23,23.2,23.4\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\r\n2026-12-09T01:33:00Z,false,,,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\r\n2026-12-09T01:34:00Z,,,,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\r\n2026-12-09T01:35:00Z,true,24,24,24\r\n"), std::string::npos) << csv;

    // Two minutes to a bucket: the mean weighs each minute by its rounds.
    fill_table(h, query(kT0, kT0 + 240, 120), table);
    const std::string json = render_json("ac01", query(kT0, kT0 + 240, 120), table);
    EXPECT_NE(json.find("\"online\":[true,true]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"min\":[23,24],\"mean\":[23.2,24],\"max\":[23.4,24]"), std::string::npos)
        << json;

    // Round by round: the failed rounds are offline rows, and the minute with
    // nothing polled is one gap row, which a chart does not bridge.
    fill_table(h, query(kT0, kT0 + 240, 0), table);
    ASSERT_EQ(table.times.size(), 9u);
    EXPECT_EQ(table.online[6], HistoryTable::Unknown);
    EXPECT_FALSE(table.cells[6].has);
    EXPECT_EQ(table.online[3], HistoryTable::Offline);
    EXPECT_EQ(table.cells[2].min, 234);
}

TEST(History, ARoundAllocatesNothingOnceItsMinuteIsOpen) {
    UnitHistory h(1);
    const auto record = record_with(231);
    h.add(&record, kT0);
    g_allocations = 0;
    g_counting = true;
    for (int i = 1; i < 7200; ++i) h.add(i % 5 == 0 ? nullptr : &record, kT0 + i);
    g_counting = false;
    EXPECT_EQ(g_allocations, 0u);
    EXPECT_LE(h.bytes(), 500u * 1024) << "a day of minutes and an hour of 1 s rounds";
}

TEST(History, TheFileBringsBackWhatWasSavedAndWholeRecordsOfACutShortOne) {
    ScratchDir dir;
    const std::string path = dir.file("ac01.history");
    UnitHistory h = sample_day();
    HistoryFile file(path);
    ASSERT_EQ(file.write(file.take_new(h, false)), "");
    const auto record = record_with(250);
    h.add(&record, kT0 + 245);
    ASSERT_EQ(file.write(file.take_new(h, true)), "");  // an append, the open minute too

    const auto answer = [](const UnitHistory& history, int step) {
        HistoryTable table;
        fill_table(history, query(kT0, kT0 + 300, step), table);
        return render_csv(query(kT0, kT0 + 300, step), table);
    };
    UnitHistory back(20);
    ASSERT_EQ(HistoryFile(path).load(back, kT0 + 300), "");
    EXPECT_EQ(answer(back, 60), answer(h, 60));
    EXPECT_EQ(answer(back, 0), answer(h, 0));

    // Killed mid-write: the last record is cut; what came before it stays.
    std::string bytes = read_file(path);
    write_file(path, bytes.substr(0, bytes.size() - 3));
    UnitHistory cut(20);
    ASSERT_EQ(HistoryFile(path).load(cut, kT0 + 300), "");
    EXPECT_NE(answer(cut, 60).find("2026-12-09T01:32:00Z,true,23,23.2,23.4"), std::string::npos);

    write_file(path, "not a history at all");
    UnitHistory other(20);
    EXPECT_NE(HistoryFile(path).load(other, kT0 + 300).find("left aside"), std::string::npos);
}

TEST(History, QueriesItCannotAnswerAreRefusedWithTheReason) {
    HistoryQuery q;
    const double now = kT0;
    const auto problem = [&](HistoryParams p) { return make_query(p, now, q); };
    EXPECT_EQ(problem({}), "");
    EXPECT_EQ(q.step, 0);
    EXPECT_EQ(q.series.size(), kSeries);
    EXPECT_EQ(problem({"alarm_high_pressure", "", "", ""}),
              "no history is kept of point 'alarm_high_pressure'");
    EXPECT_EQ(problem({"", "yesterday", "", ""}),
              "from and to are Unix seconds or YYYY-MM-DDTHH:MM:SSZ");
    EXPECT_EQ(problem({"", "nan", "", ""}), "from and to are Unix seconds or YYYY-MM-DDTHH:MM:SSZ");
    EXPECT_EQ(problem({"", std::to_string(now), std::to_string(now - 60), ""}),
              "from must come before to");
    EXPECT_NE(problem({"", "", "", "90"}).find("multiple of 60"), std::string::npos);
    EXPECT_NE(problem({"", "", "", "-60"}).find("multiple of 60"), std::string::npos);
    // Anything before the kept day is clamped to it, so a day of minutes is the most.
    EXPECT_EQ(problem({"", "0", "", "60"}), "");
    EXPECT_LE((q.to - q.from) / 60, 1442);
    EXPECT_EQ(problem({"", "2026-12-08T00:00:00Z", "", ""}), "");
    EXPECT_EQ(q.step, 60);
}

// The rows of a history answer as (Unix time, mean) pairs of its one point.
std::map<double, std::string> rows_of(const Json::Value& answer) {
    std::map<double, std::string> rows;
    for (Json::ArrayIndex i = 0; i < answer["unix"].size(); ++i)
        rows[answer["unix"][i].asDouble()] = answer["points"][0]["mean"][i].toStyledString();
    return rows;
}

// Whether `later` still has every row of `earlier` older than `before`.
bool keeps(const std::map<double, std::string>& earlier, const std::map<double, std::string>& later,
           double before) {
    for (const auto& [time, mean] : earlier) {
        if (time >= before) break;
        const auto it = later.find(time);
        if (it == later.end() || it->second != mean) {
            ADD_FAILURE() << "the row of " << std::fixed << time << " is lost or changed";
            return false;
        }
    }
    return true;
}

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line.substr(0, line.find('\r')));
    for (std::string cell; std::getline(in, cell, ',');) out.push_back(cell);
    if (!line.empty() && line[line.find_last_not_of("\r")] == ',') out.emplace_back();
    return out;
}

TEST(AgentHistory, KeptAcrossARestartAndAKillLosesOnlyWhatWasNotYetSaved) {
    ScratchDir dir;
    Sim sim(dir, "sim", {});
    const int port = free_port();
    const std::string toml = "[agent]\nstate_dir = \"" + dir.path() + "\"\nhistory_save = 1\n" +
                             http(port) + link("l1", sim.port) + unit("ac01", "l1", 1);
    const std::string query = "?points=indoor_return_air_temperature_measured";
    const auto history = [&] { return parse_json(get(port, "/api/units/ac01/history" + query)); };
    auto agent = run_agent(dir, "agent", toml);
    ASSERT_TRUE(wait_until([&] { return rounds_complete(port, "ac01") >= 10; }, kLimit));

    // The CSV carries the JSON's times and numbers.
    const Json::Value json = history();
    std::map<std::string, double> means;
    for (Json::ArrayIndex i = 0; i < json["unix"].size(); ++i)
        if (!json["points"][0]["mean"][i].isNull())
            means[json["time"][i].asString()] = json["points"][0]["mean"][i].asDouble();
    std::istringstream csv(get(port, "/api/units/ac01/history.csv" + query + "&from=" +
                                         json["from"].asString() + "&to=" + json["to"].asString()));
    std::string line;
    std::getline(csv, line);
    std::size_t compared = 0;
    while (std::getline(csv, line)) {
        const std::vector<std::string> row = cells(line);
        ASSERT_EQ(row.size(), 5u) << line;
        if (means.count(row[0]) == 0) continue;
        EXPECT_DOUBLE_EQ(std::stod(row[3]), means[row[0]]) << line;
        ++compared;
    }
    // All but the last second's rounds: the times given are whole seconds.
    EXPECT_GE(compared + 4, means.size());
    EXPECT_GE(compared, 4u);
    int status = 0;
    get(port, "/api/units/nobody/history", &status);
    EXPECT_EQ(status, 404);
    get(port, "/api/units/ac01/history?step=7", &status);
    EXPECT_EQ(status, 400);

    // A clean stop saves everything; the agent started again goes on from it.
    const auto stopped = rows_of(history());
    agent->signal(SIGTERM);
    ASSERT_EQ(agent->wait(kLimit), 0);
    const double stop_time = quillark_agent::unix_now();
    agent = run_agent(dir, "agent", toml);
    ASSERT_TRUE(wait_until([&] { return rounds_complete(port, "ac01") >= 6; }, kLimit));
    EXPECT_TRUE(keeps(stopped, rows_of(history()), stop_time));

    // A kill loses only what came after the last save (each second here):
    // the rounds since the restart that are older than a few seconds stay.
    wait_until([&] { return quillark_agent::unix_now() > stop_time + 9; }, kLimit);
    const auto killed = rows_of(history());
    const double kill_time = quillark_agent::unix_now();
    ASSERT_GE(std::distance(killed.upper_bound(stop_time), killed.lower_bound(kill_time - 5)), 3);
    agent->signal(SIGKILL);
    agent->wait(kLimit);
    agent = run_agent(dir, "agent", toml);
    ASSERT_TRUE(wait_until([&] { return rounds_complete(port, "ac01") >= 1; }, kLimit));
    EXPECT_TRUE(keeps(killed, rows_of(history()), kill_time - 5));
}

}  // namespace
}  // namespace agent_tests
