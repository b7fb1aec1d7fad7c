// SIGHUP with a real broker and a real simulator: only what changed stops.
#include <fstream>
#include <set>
#include <sstream>

#include <json/value.h>

#include "tests/tools/agent_fixtures.h"

using namespace agent_tests;

namespace {

// The local ports of this machine's established IPv4 connections to `port`.
std::set<int> connections_to(int port) {
    std::ifstream table("/proc/net/tcp");
    std::set<int> ports;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        auto port_of = [](const std::string& a) {
            return std::stoi(a.substr(a.find(':') + 1), nullptr, 16);
        };
        if (state == "01" && port_of(remote) == port) ports.insert(port_of(local));
    }
    return ports;
}

std::string names(int port) {
    std::string all;
    for (const Json::Value& u : parse_json(get(port, "/api/units")))
        all += u["name"].asString() + " ";
    return all;
}

// The unchanged unit counts on and its link was never reopened; the
// changed one started afresh.
void expect_only_what_changed_restarted(int port, Subscriber& watch, int gateway_port,
                                        const std::set<int>& connection, int before) {
    const Json::Value keep = unit_json(port, "keep");
    EXPECT_GE(keep["rounds_complete"].asInt(), before);
    EXPECT_TRUE(keep["online"].asBool());
    EXPECT_EQ(keep["reconnects"].asInt(), 0);
    EXPECT_EQ(connections_to(gateway_port), connection);
    EXPECT_LT(unit_json(port, "change")["rounds_complete"].asInt(),
              keep["rounds_complete"].asInt());
    EXPECT_EQ(watch.latest("quillark/keep/availability"), "online");
    const std::string metrics = get(port, "/metrics");
    EXPECT_EQ(metrics.find("unit=\"gone\""), std::string::npos);
    EXPECT_NE(metrics.find("quillark_up{unit=\"fresh\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("quillark_link_reconnects_total{link=\"gw\"} 0\n"), std::string::npos);
}

// One unit unchanged, one changed, one removed, one added; then a broken file.
TEST_F(AgentTest, ReloadRestartsOnlyWhatChanged) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    Sim gateway(dir, "gateway", {"--units", "1-4", "--steady"});
    const int port = free_port();
    const std::string head = http(port) + mqtt(broker.port(), "row1") + link("gw", gateway.port);
    auto agent =
        run_agent(dir, "agent",
                  head + unit("keep", "gw", 1) + unit("change", "gw", 2) + unit("gone", "gw", 3));
    EXPECT_TRUE(watch.wait_for("quillark/gone/availability", "online"));
    EXPECT_TRUE(watch.wait_for("quillark/change/availability", "online"));
    ASSERT_TRUE(wait_until([&] { return unit_json(port, "keep")["rounds_complete"].asInt() >= 3; },
                           kLimit));

    write_file(dir.file("agent.toml"), head + unit("keep", "gw", 1) +
                                           unit("change", "gw", 2, "device_id = 7\n") +
                                           unit("fresh", "gw", 4));
    const int before = unit_json(port, "keep")["rounds_complete"].asInt();
    const std::set<int> connection = connections_to(gateway.port);
    ASSERT_EQ(connection.size(), 1u);
    agent->signal(SIGHUP);
    const std::string said =
        "SIGHUP: units: 1 added, 1 removed, 1 changed, 1 unchanged; "
        "links: 0 added, 0 removed, 0 changed, 1 unchanged";
    ASSERT_TRUE(wait_until([&] { return agent->err().find(said) != std::string::npos; }, kLimit))
        << agent->err();
    EXPECT_TRUE(watch.wait_for("quillark/gone/status", ""));
    EXPECT_TRUE(watch.wait_for("quillark/gone/availability", ""));
    EXPECT_TRUE(watch.wait_for("quillark/fresh/availability", "online"));
    EXPECT_EQ(names(port), "keep change fresh ");

    expect_only_what_changed_restarted(port, watch, gateway.port, connection, before);

    // Another broker: the units go on, the new client starts with their
    // retained topics, and the old broker's are emptied.
    Broker other(dir);
    Subscriber watch_other(other.port());
    const std::string units = link("gw", gateway.port) + unit("keep", "gw", 1) +
                              unit("change", "gw", 2, "device_id = 7\n") + unit("fresh", "gw", 4);
    write_file(dir.file("agent.toml"), http(port) + mqtt(other.port(), "row1") + units);
    agent->signal(SIGHUP);
    EXPECT_TRUE(watch_other.wait_for("quillark/keep/availability", "online")) << agent->err();
    EXPECT_TRUE(watch_other.wait_for("quillark/agent/row1/availability", "online"));
    EXPECT_TRUE(watch.wait_for("quillark/keep/availability", ""));
    EXPECT_TRUE(watch.wait_for("quillark/agent/row1/availability", "offline"));
    EXPECT_NE(
        agent->err().find("units: 0 added, 0 removed, 0 changed, 3 unchanged; links: 0 added, "
                          "0 removed, 0 changed, 1 unchanged; MQTT client started anew"),
        std::string::npos)
        << agent->err();
    EXPECT_EQ(connections_to(gateway.port), connection);

    // A broken file changes nothing.
    write_file(dir.file("agent.toml"), head + unit("keep", "gw", 1) + "colour = 1\n");
    const int kept = unit_json(port, "keep")["rounds_complete"].asInt();
    agent->signal(SIGHUP);
    EXPECT_TRUE(wait_until(
        [&] { return agent->err().find("keeping the running configuration") != std::string::npos; },
        kLimit));
    EXPECT_TRUE(wait_until(
        [&] { return unit_json(port, "keep")["rounds_complete"].asInt() > kept + 2; }, kLimit));
    EXPECT_EQ(names(port), "keep change fresh ");
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(1500ms), 0) << agent->err();
}

}  // namespace
