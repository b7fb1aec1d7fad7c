// quillark-agent as a process, with a real mosquitto broker, real simulators
// and promtool: what operators see on MQTT and HTTP.
#include <set>
#include <sstream>
#include <thread>

#include <json/reader.h>

#include "tests/tools/agent_fixtures.h"
#include "tools/agent/config/config.h"
#include "quillark/points.h"

using namespace agent_tests;

namespace {

std::string without_time(std::string status) {
    Json::Value doc = parse_json(status);
    doc.removeMember("更新时间");
    return doc.toStyledString();
}

// Config errors: each kind stops the agent with exit 2, naming file and line.
TEST(AgentConfig, MistakesAreReportedWithFileAndLineAndExit2) {
    ScratchDir dir;
    const std::string good_link = link("gw1", 1502);
    const std::string token = dir.file("token");
    write_file(token, "s3cret\n");
    const struct {
        std::string text;
        std::string line_and_what;
    } cases[] = {
        {good_link + "colour = 1\n", ":6:1: [[link]]: unknown key 'colour'"},
        {good_link + unit("u1", "gw1", 1, "writes = 5\n"),
         ":11:10: unit 'u1': writes must be a list"},
        {good_link + "name = \"again\"\n", ":6:8: "},  // toml's own: a key defined twice
        {"[[link]]\nname = \"g w\"\ntcp = \"127.0.0.1:502\"\n", ":2:8: [[link]]: name 'g w'"},
        {"[[link]]\nname = \"agent\"\ntcp = \"127.0.0.1:502\"\n", ":2:8: [[link]]: name 'agent'"},
        {good_link + unit("u1", "gw1", 1) + unit("u1", "gw1", 2),
         ":11:1: a second unit named 'u1'"},
        {good_link + unit("u1", "gw2", 1), ":8:8: unit 'u1': no link named 'gw2'"},
        {good_link + unit("u1", "gw1", 1) + unit("u2", "gw1", 1),
         ":11:1: unit 'u2': link 'gw1' already has a unit with unit_id 1"},
        // One unit-id rule, as on the command lines: 1..247 on a serial line, 0..255 over TCP.
        {"[[link]]\nname = \"bus\"\nrtu = \"/dev/ttyUSB0\"\n" + unit("u1", "bus", 248),
         ":7:11: unit 'u1': unit_id 248 is no unit id on a serial line (1..247)"},
        {good_link + unit("u1", "gw1", 256), ":9:11: [[unit]]: 'unit_id' must be in 0..255"},
        {"[[link]]\nname = \"gw1\"\ntcp = \"127.0.0.1:99999\"\n", ":3:7: link 'gw1': tcp:"},
        {"[[link]]\nname = \"bus\"\nrtu = \"/dev/ttyUSB0\"\nbaud = 9600\nparity = \"X\"\n",
         ":5:10: link 'bus': parity"},
        {"[[link]]\nname = \"bus\"\nrtu = \"/dev/ttyUSB0\"\nbaud = 0\n",
         ":4:8: [[link]]: 'baud' must be in"},
        // Modbus has no authentication: a gateway off loopback names who may connect.
        {good_link + "gateway = \"0.0.0.0:1502\"\n",
         ":6:11: link 'gw1': gateway 0.0.0.0:1502 is not on loopback: Modbus has no "
         "authentication, so name the networks that may connect with allow_from"},
        {good_link + "gateway = \"[::]:1502\"\nallow_from = [\"10.0.0.0/33\"]\n",
         ":7:15: link 'gw1': allow_from: '10.0.0.0/33': the prefix must be 0..32 bits"},
        {good_link + "gateway = \"gw.example:1502\"\n",
         ":6:11: link 'gw1': gateway: 'gw.example' is not an address"},
        {good_link + "allow_from = [\"10.0.0.0/24\"]\n",
         ":6:14: link 'gw1': allow_from is for a link with a gateway"},
        {"[http]\nlisten = 9786\n", ":2:10: [http]: 'listen' must be a string"},
        // Loopback is what the name resolves to, not how it begins.
        {"[http]\nlisten = \"127.evil.example:0\"\n",
         ":2:10: [http]: listening on 127.evil.example reaches beyond this machine and needs a token_file"},
        {"[http]\nlisten = \"0.0.0.0:0\"\ntoken_file = \"" + token + "\"\n",
         ":2:10: [http]: listening on 0.0.0.0 reaches beyond this machine and needs cert_file and key_file"},
        {"[http]\ntoken_file = \"" + dir.file("none") + "\"\n",
         ":2:14: [http]: token_file " + dir.file("none") + ": cannot read"},
        {"[http]\ncert_file = \"" + token + "\"\nkey_file = \"" + token + "\"\n",
         ":2:13: [http]: cert_file " + token + ": no PEM certificate"},
        // Files the [mqtt] section names are read before anything starts.
        {"[mqtt]\nbroker = \"mqtts://127.0.0.1\"\nca_file = \"/nonexistent/ca.pem\"\n",
         ":3:11: [mqtt]: ca_file /nonexistent/ca.pem: cannot read the file"},
        {"[mqtt]\nusername = \"row1\"\npassword_file = \"" + dir.path() + "\"\n",
         ":3:17: [mqtt]: password_file " + dir.path() + ": cannot read the file"},
        {"[mqtt]\ncert_file = \"" + dir.file("bad.toml") + "\"\n",
         ":2:13: [mqtt]: cert_file and key_file go together"},
        {"[mqtt]\nstatus = \"sometimes\"\n", ":2:10: [mqtt]: status must be \"on-change\""},
        {"[mqtt]\nheartbeat = 0\n", ":2:13: [mqtt]: 'heartbeat' must be in"},
        {"[mqtt]\n[mqtt.deadband]\nwater_leak_detector = 1\n",
         ":3:1: [mqtt.deadband]: 'water_leak_detector' is neither 'scaled', 'raw' nor the id"},
        {"[mqtt]\n[mqtt.deadband]\nscaled = -0.1\n", ":3:10: [mqtt.deadband]: 'scaled' must be in"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("bad.toml"), c.text);
        Child agent(tool(kAgent, {"--config", dir.file("bad.toml")}), dir, "bad");
        EXPECT_EQ(agent.wait(kLimit), 2) << c.text;
        EXPECT_NE(agent.err().find(dir.file("bad.toml") + c.line_and_what), std::string::npos)
            << c.text << "\n"
            << agent.err();
    }
    // Plain HTTP beyond loopback when asked for by name.
    write_file(dir.file("plain.toml"), "[http]\nlisten = \"0.0.0.0:0\"\ntoken_file = \"" + token +
                                           "\"\ninsecure_plain_http = true\n");
    Child plain(tool(kAgent, {"--config", dir.file("plain.toml")}), dir, "plain");
    EXPECT_TRUE(wait_until(
        [&] { return plain.err().find("live view on http://0.0.0.0:") != std::string::npos; },
        kLimit))
        << plain.err();
    plain.signal(SIGTERM);
    EXPECT_EQ(plain.wait(kLimit), 0);
    // The documented example is a valid configuration.
    const auto config = quillark_agent::load_config(QUILLARK_AGENT_EXAMPLE);
    EXPECT_FALSE(config.units.empty());
    EXPECT_TRUE(config.mqtt.enabled);
}

namespace {

// Writes: allowed and confirmed, allowed and refused by the unit, not
// allowed, malformed; only the two allowed ones reach the gateway.
void expect_writes_pass_as_allowed(Subscriber& watch, const Child& gateway) {
    const struct {
        std::string topic, payload, result;
    } writes[] = {
        {"quillark/ac01/set/100", "42", "confirmed"},
        {"quillark/ac01/set/101", "7", "not-confirmed"},
        {"quillark/ac02/set/100", "5", "rejected: register 100 is not writable on this unit"},
        {"quillark/ac01/set/100", "4x", "rejected: the value is not a plain decimal number"},
        {"quillark/ac01/set/100", "65536", "rejected: value out of range 0..65535"},
    };
    for (const auto& w : writes) {
        watch.publish(w.topic, w.payload);
        EXPECT_TRUE(watch.wait_for(w.topic + "/result", w.result))
            << w.topic << " " << w.payload << ": " << watch.latest(w.topic + "/result");
    }
    // Only the two allowed writes reached the gateway.
    const std::string requests = gateway.err();
    EXPECT_NE(requests.find("function 6 address 100 count 1"), std::string::npos);
    EXPECT_NE(requests.find("function 6 address 101 count 1"), std::string::npos);
    std::size_t sent = 0;
    for (auto at = requests.find("function 6 "); at != std::string::npos;
         at = requests.find("function 6 ", at + 1))
        ++sent;
    EXPECT_EQ(sent, 2u) << requests;
}

// /metrics: valid for promtool, every series once, every point of every unit.
void expect_metrics_complete(const std::string& metrics, const ScratchDir& dir) {
    write_file(dir.file("metrics.txt"), metrics);
    // promtool comes with the prometheus package that scripts/bootstrap installs.
    EXPECT_EQ(system(("promtool check metrics < " + dir.file("metrics.txt") + " > " +
                      dir.file("promtool.out") + " 2>&1")
                         .c_str()),
              0)
        << read_file(dir.file("promtool.out"));
    std::set<std::string> series;
    std::size_t point_samples = 0;
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::string key = line.substr(0, line.rfind(' '));
        EXPECT_TRUE(series.insert(key).second) << "twice: " << key;
        point_samples += key.find(",point=\"") != std::string::npos;
    }
    EXPECT_EQ(point_samples, 2 * quillark::kPoints.size());
    EXPECT_TRUE(series.count(
        "quillark_value{unit=\"ac01\",point=\"indoor_return_air_temperature_measured\"}"));
    EXPECT_NE(metrics.find("quillark_alarm{unit=\"ac01\",point=\"alarm_high_pressure\"} 1\n"),
              std::string::npos);
}

// The overview's values are the status document's, alarms counted as raised.
void expect_overview_is_the_status(int http_a) {
    const Json::Value units = parse_json(get(http_a, "/api/units"));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0]["name"].asString() + units[1]["name"].asString(), "ac01ac02");
    EXPECT_TRUE(units[1]["online"].asBool());
    const Json::Value ac01 = parse_json(get(http_a, "/api/units/ac01/status"));
    for (const char* key :
         {"机组状态", "系统当前工作模式", "室内回风温度测量值", "室内回风湿度测量值"}) {
        std::string id;
        for (const auto& point : quillark::kPoints)
            if (std::string(point.key) == key) id = point.id;
        EXPECT_EQ(units[0][id], ac01[key]) << key;
    }
    EXPECT_EQ(units[0]["indoor_return_air_temperature_measured"].asDouble(), 23.100000381469727);
    EXPECT_EQ(units[0]["alarms_raised"].asInt(), 1);
}

}  // namespace

// Two agents, one broker: status, alarms, availability, metrics, the API and
// writes, and a clean stop.
TEST_F(AgentTest, TwoAgentsPublishTheirUnitsToOneBroker) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    write_file(dir.file("image.json"), R"({"bits": {"182": 1}, "registers": {"21": 231}})");
    Sim gateway(
        dir, "gateway",
        {"--units", "1-2", "--steady", "--image", dir.file("image.json"), "--fail-address", "101"});
    Sim single(dir, "single", {"--steady"});
    const int http_a = free_port();
    auto a = run_agent(dir, "a",
                       http(http_a) + mqtt(broker.port(), "row1") + link("gw", gateway.port) +
                           unit("ac01", "gw", 1, "writes = [100, 101]\n") + unit("ac02", "gw", 2));
    auto b = run_agent(dir, "b",
                       http(free_port()) + mqtt(broker.port(), "row2") + link("gw", single.port) +
                           unit("ac03", "gw", 1));

    for (const char* name : {"ac01", "ac02", "ac03"}) {
        EXPECT_TRUE(watch.wait_for(std::string("quillark/") + name + "/availability", "online"))
            << name;
        EXPECT_TRUE(watch.wait_for_any(std::string("quillark/") + name + "/status")) << name;
    }
    EXPECT_TRUE(watch.wait_for("quillark/agent/row1/availability", "online"));
    EXPECT_TRUE(watch.wait_for("quillark/agent/row2/availability", "online"));

    // The retained status is what the poller prints for the same unit.
    Child poll(tool(kPoll, {"--tcp", "127.0.0.1:" + std::to_string(gateway.port), "--unit", "2"}),
               dir, "poll");
    ASSERT_EQ(poll.wait(kLimit), 0) << poll.err();
    EXPECT_EQ(without_time(watch.latest("quillark/ac02/status")), without_time(poll.out()));
    // Published on change: the API's latest round differs at most in its update time.
    EXPECT_EQ(without_time(get(http_a, "/api/units/ac02/status")),
              without_time(watch.latest("quillark/ac02/status")));
    const Json::Value alarms = parse_json(watch.latest("quillark/ac01/alarms"));
    EXPECT_EQ(alarms["alarms"], parse_json(R"({"alarm_high_pressure": true})"));
    EXPECT_TRUE(alarms["time"].isString());

    expect_writes_pass_as_allowed(watch, *gateway.child);
    expect_metrics_complete(get(http_a, "/metrics"), dir);
    expect_overview_is_the_status(http_a);

    // A clean stop within a second: offline as the agent's last word, exit 0.
    a->signal(SIGTERM);
    EXPECT_EQ(a->wait(1500ms), 0) << a->err();
    EXPECT_TRUE(watch.wait_for("quillark/agent/row1/availability", "offline"));
    // Its units say so too: a subscriber to one unit is not left with "online".
    EXPECT_EQ(watch.latest("quillark/ac01/availability"), "offline");
    EXPECT_EQ(watch.latest("quillark/ac02/availability"), "offline");
    EXPECT_EQ(watch.latest("quillark/agent/row2/availability"), "online");
    EXPECT_EQ(watch.latest("quillark/ac03/availability"), "online");
}

// A unit that falls silent goes offline and comes back; a write to a unit
// known to be offline is refused at once, not left to time out; a broker that goes away gets the retained topics
// again once it is back.
TEST_F(AgentTest, UnitsAndBrokerComeBack) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    // Five rounds answered, then silent for five (a failed round asks once).
    Sim quiet(dir, "quiet", {"--steady", "--mute-after", "230", "--mute-for", "5"});
    // One round answered, then silent for good.
    Sim gone(dir, "gone", {"--steady", "--mute-after", "46"});
    auto agent =
        run_agent(dir, "agent",
                  http(free_port()) + mqtt(broker.port(), "row1") + link("gw", quiet.port) +
                      unit("ac01", "gw", 1) + link("lost", gone.port) +
                      unit("ac09", "lost", 1, "writes = [100]\n"));
    EXPECT_TRUE(watch.wait_for("quillark/ac01/availability", "online"));
    EXPECT_TRUE(watch.wait_for("quillark/ac01/availability", "offline"));
    EXPECT_TRUE(watch.wait_for("quillark/ac01/availability", "online"));
    EXPECT_TRUE(watch.wait_for("quillark/ac09/availability", "offline"));
    watch.publish("quillark/ac09/set/100", "1");
    EXPECT_TRUE(watch.wait_for("quillark/ac09/set/100/result", "rejected: unit offline"));

    broker.kill();
    watch.forget();
    broker.start();  // empty: it kept nothing
    EXPECT_TRUE(watch.wait_for("quillark/agent/row1/availability", "online"));
    EXPECT_TRUE(watch.wait_for_any("quillark/ac01/status"));
    EXPECT_TRUE(watch.wait_for("quillark/ac01/availability", "online"));
}

// A broker that is not there at the start is reached once it is. SIGHUP: a
// broken file keeps the running units; a unit taken out has its retained
// topics emptied.
TEST_F(AgentTest, ReloadKeepsOrClears) {
    Sim gateway(dir, "gateway", {"--units", "1-2", "--steady"});
    // Two connections to the gateway: two links polled side by side.
    const int broker_port = free_port();
    const std::string top = http(free_port()) + mqtt(broker_port, "row1");
    const std::string links = link("gw", gateway.port) + link("gw2", gateway.port);
    const std::string head = top + links;
    auto agent = run_agent(dir, "agent", head + unit("ac01", "gw", 1) + unit("ac02", "gw2", 2));
    // The broker comes up after the agent has tried it.
    std::this_thread::sleep_for(1500ms);
    Broker broker(dir, broker_port);
    Subscriber watch(broker.port());
    EXPECT_TRUE(watch.wait_for("quillark/ac02/availability", "online"));

    write_file(dir.file("agent.toml"), head + "[[unit]]\nname = \"ac01\"\nlink = \"nowhere\"\n");
    agent->signal(SIGHUP);
    EXPECT_TRUE(wait_until(
        [&] { return agent->err().find("keeping the running configuration") != std::string::npos; },
        kLimit))
        << agent->err();
    EXPECT_NE(agent->err().find("agent.toml:19:8: unit 'ac01': no link named 'nowhere'"),
              std::string::npos);
    // So does an [mqtt] file that cannot be read, and the client keeps its connection.
    write_file(dir.file("agent.toml"), top + "password_file = \"" + dir.file("gone") + "\"\n" +
                                           links + unit("ac01", "gw", 1) + unit("ac02", "gw2", 2));
    agent->signal(SIGHUP);
    EXPECT_TRUE(wait_until(
        [&] {
            return agent->err().find("password_file " + dir.file("gone") + ": cannot read") !=
                   std::string::npos;
        },
        kLimit))
        << agent->err();
    EXPECT_EQ(watch.latest("quillark/agent/row1/availability"), "online");

    write_file(dir.file("agent.toml"), head + unit("ac01", "gw", 1));
    agent->signal(SIGHUP);
    EXPECT_TRUE(watch.wait_for("quillark/ac02/status", ""));
    EXPECT_TRUE(watch.wait_for("quillark/ac02/availability", ""));
    EXPECT_EQ(watch.latest("quillark/ac01/availability"), "online");
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(1500ms), 0);
}

}  // namespace

namespace {

// With no arguments the agent polls its built-in simulated units and says
// where to look, keeping their journal in a directory of its own for as long
// as it runs; a link whose rounds outlast the intervals says so too.
TEST(AgentRun, BuiltInUnitsAndAnOverloadedLink) {
    ScratchDir dir;
    setenv("TMPDIR", dir.path().c_str(), 1);
    Child builtin(tool(kAgent, {"--listen", "127.0.0.1:0", "--interval", "0.5"}), dir, "builtin");
    unsetenv("TMPDIR");
    EXPECT_TRUE(wait_until(
        [&] { return builtin.err().find("sim-unit3 online") != std::string::npos; }, kLimit))
        << builtin.err();
    const std::string err = builtin.err(), said = "event journal in ";
    const std::size_t start = err.find(said) + said.size();
    ASSERT_NE(err.find(said + dir.path() + "/quillark-agent-"), std::string::npos) << err;
    const std::string journal = err.substr(start, err.find('\n', start) - start);
    EXPECT_TRUE(wait_until(
        [&] {
            return exists(journal) &&
                   read_file(journal).find("\"unit_online\"") != std::string::npos;
        },
        kLimit))
        << journal;
    EXPECT_NE(builtin.err().find("metrics on http://127.0.0.1:"), std::string::npos);
    // The driver's own line after every round stays out of the agent's log.
    EXPECT_EQ(builtin.err().find("rvSize"), std::string::npos) << builtin.err();
    EXPECT_EQ(builtin.out(), "");

    // 46 answers of 15 ms each: two units need about 1.4 s per 0.3 s interval.
    Sim slow(dir, "slow", {"--units", "1-2", "--steady", "--delay-ms", "15"});
    const int port = free_port();
    auto agent = run_agent(
        dir, "agent",
        http(port) + link("bus", slow.port) + unit("ac01", "bus", 1) + unit("ac02", "bus", 2));
    EXPECT_TRUE(wait_until(
        [&] {
            return agent->err().find("link bus cannot keep its units' intervals") !=
                   std::string::npos;
        },
        kLimit))
        << agent->err();
    const std::string metrics = get(port, "/metrics");
    const std::string gauge = "quillark_link_load_ratio{link=\"bus\"} ";
    const std::size_t at = metrics.find(gauge);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::stod(metrics.substr(at + gauge.size())), 1.0);
    builtin.signal(SIGTERM);
    EXPECT_EQ(builtin.wait(1500ms), 0);
    EXPECT_FALSE(exists(journal.substr(0, journal.rfind('/')))) << "removed at stop";
}

}  // namespace
