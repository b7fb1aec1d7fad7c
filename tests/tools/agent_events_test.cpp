// The agent's events with real parts: a simulated unit raises an alarm, the
// event reaches the journal on disk, the API and a [[notify]] command; the
// agent killed with SIGKILL and started again keeps the alarm's "since" and
// does not tell it twice; the unit's alarm clearing is told with how long it
// lasted.
#include <signal.h>

#include "agent_fixtures.h"

using namespace agent_tests;

namespace {

constexpr int kAlarmBit = 182;  // high pressure

int count_of(const Json::Value& events, const std::string& kind) {
    int n = 0;
    for (const Json::Value& e : events) n += e["kind"].asString() == kind;
    return n;
}

std::string alarm_since(int port) {
    const Json::Value unit = parse_json(get(port, "/api/units/ac01"));
    for (const Json::Value& alarm : unit["alarms"])
        if (alarm["id"].asString() == "alarm_high_pressure") return alarm["since"].asString();
    return "";
}

}  // namespace

TEST(AgentEvents, AlarmsReachTheJournalTheApiAndACommandAndSurviveARestart) {
    ScratchDir dir;
    Sim hot(dir, "hot", {"--steady", "--raise-after", "138", "--raise-bit", std::to_string(kAlarmBit)});
    const int port = free_port();
    const std::string told = dir.file("told");
    write_file(dir.file("notify.sh"),
               "printf '%s %s %s\\n' \"$QUILLARK_EVENT\" \"$QUILLARK_UNIT\" \"$QUILLARK_MEANING\" >> " + told + "\n");
    const std::string config =
        http(port) + "[agent]\nstate_dir = \"" + dir.path() + "\"\n" + link("gw", hot.port) +
        unit("ac01", "gw", 1) +
        "[[notify]]\nevents = [\"alarm_raised\", \"alarm_cleared\"]\npoints = [\"*pressure\"]\n"
        "command = [\"/bin/sh\", \"" + dir.file("notify.sh") + "\"]\n";
    auto agent = run_agent(dir, "agent", config);

    ASSERT_TRUE(wait_until([&] { return !alarm_since(port).empty(); }, kLimit)) << agent->err();
    const std::string since = alarm_since(port);
    ASSERT_TRUE(wait_until([&] { return exists(told) && read_file(told) == "alarm_raised ac01 high pressure\n"; },
                           kLimit))
        << (exists(told) ? read_file(told) : "nothing told") << agent->err();
    const Json::Value events = parse_json(get(port, "/api/events?unit=ac01&kind=alarm_raised"));
    ASSERT_EQ(events.size(), 1u) << events.toStyledString();
    EXPECT_EQ(events[0]["point"].asString(), "alarm_high_pressure");
    EXPECT_EQ(events[0]["meaning"].asString(), "high pressure");
    EXPECT_EQ(events[0]["key"].asString(), "高压告警");
    ASSERT_TRUE(wait_until([&] {
        return exists(dir.file("events.jsonl")) &&
               read_file(dir.file("events.jsonl")).find("\"alarm_raised\"") != std::string::npos;
    }, kLimit)) << "written within a second";

    // A power cut's worth of a stop: the journal keeps the alarm and its time.
    agent->signal(SIGKILL);
    agent->wait(kLimit);
    agent = run_agent(dir, "agent", config);
    ASSERT_TRUE(wait_until([&] { return !alarm_since(port).empty(); }, kLimit)) << agent->err();
    EXPECT_EQ(alarm_since(port), since) << "the alarm keeps its first time across the restart";
    EXPECT_EQ(count_of(parse_json(get(port, "/api/units/ac01/events")), "alarm_raised"), 1)
        << "raised once, not told again after the restart";

    // The unit comes back without the alarm: cleared, with how long it lasted.
    const std::string again = "127.0.0.1:" + std::to_string(hot.port);
    hot.child->signal(SIGKILL);
    hot.child->wait(kLimit);
    Child calm(tool(kSim, {"--tcp", again, "--steady"}), dir, "calm");
    ASSERT_TRUE(wait_until([&] {
        return count_of(parse_json(get(port, "/api/events?kind=alarm_cleared")), "alarm_cleared") == 1;
    }, kLimit)) << agent->err();
    const Json::Value cleared = parse_json(get(port, "/api/events?kind=alarm_cleared&limit=1"));
    EXPECT_GT(cleared[0]["lasted_s"].asDouble(), 0) << cleared.toStyledString();
    EXPECT_TRUE(wait_until([&] {
        return read_file(told) == "alarm_raised ac01 high pressure\nalarm_cleared ac01 high pressure\n";
    }, kLimit)) << read_file(told);
    EXPECT_NE(get(port, "/metrics").find("quillark_notify_failures_total 0"), std::string::npos);
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    EXPECT_NE(read_file(dir.file("events.jsonl")).find("\"agent_stopped\""), std::string::npos);
}
