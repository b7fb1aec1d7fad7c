// The agent's events with real parts: a simulated unit raises an alarm, the
// event reaches the journal on disk, the API and a [[notify]] command; the
// agent killed with SIGKILL and started again keeps the alarm's "since" and
// does not tell it twice, nor after a reload that changes the unit; the unit's alarm clearing is told with how long it
// lasted; with a broker, the events on MQTT, also those of a time the broker
// was away; a notify command held back until an alarm has lasted.
#include <signal.h>

#include <thread>

#include "tests/tools/agent_fixtures.h"

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

int raised_count(int port) {
    return count_of(parse_json(get(port, "/api/units/ac01/events")), "alarm_raised");
}

// SIGHUP with ac01's interval changed; back once the changed unit has polled.
void reload_changing_ac01(Child& agent, const ScratchDir& dir, const std::string& config,
                          int port) {
    write_file(dir.file("agent.toml"),
               std::string(config).replace(config.find("interval = 0.3"), 14, "interval = 0.4"));
    agent.signal(SIGHUP);
    ASSERT_TRUE(
        wait_until([&] { return agent.err().find("1 changed") != std::string::npos; }, kLimit))
        << agent.err();
    const int rounds = rounds_complete(port, "ac01");
    ASSERT_TRUE(wait_until([&] { return rounds_complete(port, "ac01") > rounds + 2; }, kLimit));
}

// The clear is in the API with how long the alarm lasted, and told once.
void expect_cleared_told(int port, const std::string& told) {
    const Json::Value cleared = parse_json(get(port, "/api/events?kind=alarm_cleared&limit=1"));
    EXPECT_GT(cleared[0]["lasted_s"].asDouble(), 0) << cleared.toStyledString();
    EXPECT_TRUE(wait_until(
        [&] {
            return read_file(told) ==
                   "alarm_raised ac01 high pressure\nalarm_cleared ac01 high pressure\n";
        },
        kLimit))
        << read_file(told);
}

}  // namespace

TEST(AgentEvents, AlarmsReachTheJournalTheApiAndACommandAndSurviveARestart) {
    ScratchDir dir;
    Sim hot(dir, "hot",
            {"--steady", "--raise-after", "138", "--raise-bit", std::to_string(kAlarmBit)});
    const int port = free_port();
    const std::string told = dir.file("told");
    write_file(
        dir.file("notify.sh"),
        "printf '%s %s %s\\n' \"$QUILLARK_EVENT\" \"$QUILLARK_UNIT\" \"$QUILLARK_MEANING\" >> " +
            told + "\n");
    const std::string config =
        http(port) + "[agent]\nstate_dir = \"" + dir.path() + "\"\n" + link("gw", hot.port) +
        unit("ac01", "gw", 1) +
        "[[notify]]\nevents = [\"alarm_raised\", \"alarm_cleared\"]\npoints = [\"*pressure\"]\n"
        "command = [\"/bin/sh\", \"" +
        dir.file("notify.sh") + "\"]\n";
    auto agent = run_agent(dir, "agent", config);

    ASSERT_TRUE(wait_until([&] { return !alarm_since(port).empty(); }, kLimit)) << agent->err();
    const std::string since = alarm_since(port);
    ASSERT_TRUE(wait_until(
        [&] { return exists(told) && read_file(told) == "alarm_raised ac01 high pressure\n"; },
        kLimit))
        << (exists(told) ? read_file(told) : "nothing told") << agent->err();
    const Json::Value events = parse_json(get(port, "/api/events?unit=ac01&kind=alarm_raised"));
    ASSERT_EQ(events.size(), 1u) << events.toStyledString();
    EXPECT_EQ(events[0]["point"].asString(), "alarm_high_pressure");
    EXPECT_EQ(events[0]["meaning"].asString(), "high pressure");
    EXPECT_EQ(events[0]["key"].asString(), "高压告警");
    ASSERT_TRUE(wait_until(
        [&] {
            return exists(dir.file("events.jsonl")) &&
                   read_file(dir.file("events.jsonl")).find("\"alarm_raised\"") !=
                       std::string::npos;
        },
        kLimit))
        << "written within a second";

    // A power cut's worth of a stop: the journal keeps the alarm and its time.
    agent->signal(SIGKILL);
    agent->wait(kLimit);
    agent = run_agent(dir, "agent", config);
    ASSERT_TRUE(wait_until([&] { return !alarm_since(port).empty(); }, kLimit)) << agent->err();
    EXPECT_EQ(alarm_since(port), since) << "the alarm keeps its first time across the restart";
    EXPECT_EQ(raised_count(port), 1) << "raised once, not told again after the restart";

    // A reload that changes the unit gives it a fresh driver, not a fresh alarm.
    reload_changing_ac01(*agent, dir, config, port);
    EXPECT_EQ(alarm_since(port), since);
    EXPECT_EQ(raised_count(port), 1) << "not told again after the reload";

    // The unit comes back without the alarm: cleared, with how long it lasted.
    const std::string again = "127.0.0.1:" + std::to_string(hot.port);
    hot.child->signal(SIGKILL);
    hot.child->wait(kLimit);
    Child calm(tool(kSim, {"--tcp", again, "--steady"}), dir, "calm");
    ASSERT_TRUE(wait_until(
        [&] {
            return count_of(parse_json(get(port, "/api/events?kind=alarm_cleared")),
                            "alarm_cleared") == 1;
        },
        kLimit))
        << agent->err();
    expect_cleared_told(port, told);
    EXPECT_NE(get(port, "/metrics").find("quillark_notify_failures_total 0"), std::string::npos);
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    EXPECT_NE(read_file(dir.file("events.jsonl")).find("\"agent_stopped\""), std::string::npos);
}

namespace {

using AgentEventsTest = AgentTest;

// The simulator on `port` replaced by another (a unit whose alarm comes or
// goes), with `args` besides --steady.
void replace_sim(std::unique_ptr<Child>& sim, int port, const ScratchDir& dir,
                 const std::string& name, std::vector<std::string> args = {}) {
    sim->signal(SIGKILL);
    sim->wait(kLimit);
    args.insert(args.begin(), {"--tcp", "127.0.0.1:" + std::to_string(port), "--steady"});
    sim = std::make_unique<Child>(tool(kSim, args), dir, name);
}

int events_of(int port, const std::string& unit, const std::string& kind) {
    return count_of(parse_json(get(port, "/api/units/" + unit + "/events?kind=" + kind)), kind);
}

// The events a subscriber got on `topic`, in the order they came.
std::vector<Json::Value> received(Subscriber& watch, const std::string& topic) {
    std::vector<Json::Value> events;
    for (const std::string& line : watch.log())
        if (line.compare(0, topic.size() + 1, topic + " ") == 0)
            events.push_back(parse_json(line.substr(topic.size() + 1)));
    return events;
}

}  // namespace

// An alarm raised and cleared while the broker is away reaches a subscriber
// once the broker is back: both events, in order, once, as the API has them;
// what was sent before the broker went is not sent again.
TEST_F(AgentEventsTest, EventsWhileTheBrokerIsAwayAreDeliveredOnceInOrderWhenItReturns) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed("before"));
    Sim calm(dir, "calm", {"--steady"});
    const int port = free_port();
    auto agent = run_agent(
        dir, "agent",
        http(port) + mqtt(broker.port(), "row1") + link("gw", calm.port) + unit("ac01", "gw", 1));
    ASSERT_TRUE(
        wait_until([&] { return received(watch, "quillark/ac01/events").size() == 1; }, kLimit))
        << agent->err();
    EXPECT_EQ(received(watch, "quillark/ac01/events")[0]["kind"].asString(), "unit_online");

    broker.kill();
    ASSERT_TRUE(wait_until(
        [&] { return agent->err().find("mqtt: lost the broker") != std::string::npos; }, kLimit));
    // The gateway's port changes hands: a unit in alarm in place of the calm
    // one, then a calm one again.
    replace_sim(calm.child, calm.port, dir, "hot",
                {"--raise-after", "0", "--raise-bit", std::to_string(kAlarmBit)});
    ASSERT_TRUE(wait_until([&] { return events_of(port, "ac01", "alarm_raised") == 1; }, kLimit))
        << agent->err();
    replace_sim(calm.child, calm.port, dir, "calm-again");
    ASSERT_TRUE(wait_until([&] { return events_of(port, "ac01", "alarm_cleared") == 1; }, kLimit))
        << agent->err();
    const Json::Value api = parse_json(get(port, "/api/units/ac01/events?limit=1000"));

    // The agent held while the broker returns and the subscriber is back on
    // it, so the subscriber sees whatever the agent sends on reconnecting.
    agent->signal(SIGSTOP);
    broker.start();
    ASSERT_TRUE(watch.subscribed("after"));
    agent->signal(SIGCONT);
    ASSERT_TRUE(wait_until(
        [&] { return received(watch, "quillark/ac01/events").size() >= api.size(); }, 60s))
        << agent->err();
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    ASSERT_TRUE(wait_until(
        [&] {
            const auto own = received(watch, "quillark/agent/row1/events");
            return !own.empty() && own.back()["kind"].asString() == "agent_stopped";
        },
        kLimit));

    // Every event of the unit once, oldest first, each as the API gave it.
    const std::vector<Json::Value> got = received(watch, "quillark/ac01/events");
    ASSERT_EQ(got.size(), api.size()) << api.toStyledString();
    for (std::size_t i = 0; i < got.size(); ++i) {
        Json::Value expected = api[Json::ArrayIndex(api.size() - 1 - i)];
        expected.removeMember("still_raised");
        EXPECT_EQ(got[i], expected) << i;
    }
    EXPECT_EQ(count_of(api, "alarm_raised"), 1);
    EXPECT_EQ(count_of(api, "alarm_cleared"), 1);
    for (const Json::Value& own : received(watch, "quillark/agent/row1/events"))
        EXPECT_NE(own["kind"].asString(), "events_dropped") << "far below the bound";
}

// A notify command with a hold: an alarm that lasts past it is told once,
// one cleared before it never.
TEST_F(AgentEventsTest, ANotifyHoldTellsALongAlarmOnceAndAShortOneNever) {
    Sim long_alarm(dir, "long",
                   {"--steady", "--raise-after", "138", "--raise-bit", std::to_string(kAlarmBit)});
    Sim short_alarm(dir, "short",
                    {"--steady", "--raise-after", "138", "--raise-bit", std::to_string(kAlarmBit)});
    const int port = free_port();
    const std::string told = dir.file("told");
    write_file(dir.file("notify.sh"), "printf '%s\\n' \"$QUILLARK_UNIT\" >> " + told + "\n");
    auto agent =
        run_agent(dir, "agent",
                  http(port) + link("gw1", long_alarm.port) + link("gw2", short_alarm.port) +
                      unit("long", "gw1", 1) + unit("short", "gw2", 1) +
                      "[[notify]]\nevents = [\"alarm_raised\"]\nhold = 5\n"
                      "command = [\"/bin/sh\", \"" +
                      dir.file("notify.sh") + "\"]\n");
    ASSERT_TRUE(wait_until([&] { return events_of(port, "short", "alarm_raised") == 1; }, kLimit))
        << agent->err();
    std::this_thread::sleep_for(2s);  // how long the short alarm lasts
    replace_sim(short_alarm.child, short_alarm.port, dir, "short-calm");
    ASSERT_TRUE(wait_until([&] { return events_of(port, "long", "alarm_raised") == 1; }, kLimit))
        << agent->err();
    std::this_thread::sleep_for(10s);  // how long the long one lasts
    replace_sim(long_alarm.child, long_alarm.port, dir, "long-calm");
    ASSERT_TRUE(wait_until(
        [&] {
            return events_of(port, "long", "alarm_cleared") == 1 &&
                   events_of(port, "short", "alarm_cleared") == 1;
        },
        kLimit))
        << agent->err();

    // Told as the agent measured the alarms: a machine under heavy load
    // (an emulator, a sanitizer) may stretch the short one past the hold;
    // near the hold either outcome is right.
    std::string expected;
    for (const char* name : {"long", "short"}) {
        const double lasted = parse_json(get(
            port, std::string("/api/units/") + name + "/events?kind=alarm_cleared"))[0]["lasted_s"]
                                  .asDouble();
        if (lasted > 4 && lasted < 6)
            GTEST_SKIP() << name << " lasted " << lasted << " s: too near the hold to tell";
        if (lasted >= 6) expected += std::string(name) + "\n";
    }
    EXPECT_NE(expected.find("long\n"), std::string::npos);
    // Whichever was told first.
    auto units_told = [&] {
        std::string text = exists(told) ? read_file(told) : "";
        if (text == "short\nlong\n") text = "long\nshort\n";
        return text;
    };
    EXPECT_TRUE(wait_until([&] { return units_told() == expected; }, kLimit))
        << units_told() << agent->err();
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    EXPECT_EQ(units_told(), expected) << "told once, and nothing more at the end";
}
