// The agent as a Modbus TCP gateway to the units on its links, with real
// clients (mbpoll and pymodbus) talking to real simulators over TCP and over
// a serial pseudo-terminal pair while the agent polls them.
#include <signal.h>

#include <cstdio>
#include <thread>

#include "tests/tools/agent_fixtures.h"

using namespace agent_tests;

namespace {

const std::string kClient = QUILLARK_GATEWAY_CLIENT;

// What a command printed on its standard output.
std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return "cannot run " + command;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// The pymodbus client's one line: "values ...", "written" or "exception 0x..".
std::string client(int port, const std::string& args) {
    return output_of("/usr/bin/python3 " + kClient + " " + std::to_string(port) + " " + args);
}

// Holding registers through mbpoll, zero-based addresses: "[100]: 5" lines.
std::string mbpoll_holding(int port, int unit, int address, int count) {
    return output_of("mbpoll -m tcp -p " + std::to_string(port) + " -a " + std::to_string(unit) +
                     " -t 4 -0 -r " + std::to_string(address) + " -c " + std::to_string(count) +
                     " -1 -q 127.0.0.1");
}

std::string gateway_at(int port, bool writes) {
    return "gateway = \"127.0.0.1:" + std::to_string(port) + "\"\n" +
           (writes ? "gateway_writes = true\n" : "");
}

double metric(int port, const std::string& series) {
    const std::string text = get(port, "/metrics");
    const std::size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

std::string gateway_series(const std::string& outcome) {
    return "quillark_gateway_requests_total{link=\"bus\",outcome=\"" + outcome + "\"}";
}

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("mbpoll")) GTEST_SKIP() << "mbpoll is not installed";
        if (system("/usr/bin/python3 -c 'import pymodbus' 2>/dev/null") != 0)
            GTEST_SKIP() << "python3-pymodbus is not installed";
        // Known values the units serve, the same on every unit.
        write_file(dir.file("image.json"),
                   R"({"registers": {"21": 300, "22": 301, "23": 302}, "holding": {"100": 5}})");
    }
    std::vector<std::string> sim_args(std::vector<std::string> args) const {
        args.insert(args.end(), {"--steady", "--image", dir.file("image.json")});
        return args;
    }
    bool polling(int http, const std::string& unit, int rounds) {
        return wait_until([&] { return rounds_complete(http, unit) >= rounds; }, kLimit);
    }
    ScratchDir dir;
};

}  // namespace

// Reads pass and give the unit's registers; a write passes only to a
// register the unit lists, anything else is refused before it reaches the
// bus; an unknown unit id gets 0x0B. The rounds go on undisturbed, and
// every outcome is counted.
TEST_F(GatewayTest, OverTcpReadsAndAllowedWritesPassAndTheRestIsRefused) {
    Sim sim(dir, "sim", sim_args({"--units", "1-2"}));
    const int http_port = free_port(), gateway = free_port();
    auto agent = run_agent(dir, "agent",
                           http(http_port) + link("bus", sim.port, gateway_at(gateway, true)) +
                               unit("u1", "bus", 1, "writes = [100]\n") + unit("u2", "bus", 2));
    ASSERT_TRUE(polling(http_port, "u1", 1) && polling(http_port, "u2", 1)) << agent->err();

    EXPECT_EQ(client(gateway, "read 1 4 21 3"), "values 300 301 302");
    EXPECT_EQ(client(gateway, "read 2 4 21 3"), "values 300 301 302");
    EXPECT_NE(mbpoll_holding(gateway, 1, 100, 1).find("[100]: \t5"), std::string::npos);

    EXPECT_EQ(client(gateway, "write 1 100 7"), "written");
    EXPECT_EQ(client(gateway, "read 1 3 100 1"), "values 7");
    EXPECT_EQ(client(gateway, "write 1 101 7"), "exception 0x02");  // not in u1's writes
    EXPECT_EQ(client(gateway, "write 2 100 7"), "exception 0x02");  // u2 lists none
    EXPECT_EQ(client(gateway, "read 9 4 21 3"), "exception 0x0B");  // no unit 9 on the link
    // The simulator saw the one write that passed, and nothing of the others.
    const std::string seen = sim.child->err();
    EXPECT_NE(seen.find("function 6 address 100 count 1: served"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("function 6 address 101"), std::string::npos);
    EXPECT_EQ(seen.rfind("function 6"), seen.find("function 6"));

    const Json::Value writes = parse_json(get(http_port, "/api/events?kind=write"));
    ASSERT_EQ(writes.size(), 1u) << writes.toStyledString();
    EXPECT_EQ(writes[0]["via"].asString(), "gateway");
    EXPECT_EQ(writes[0]["unit"].asString(), "u1");
    EXPECT_EQ(writes[0]["result"].asString(), "confirmed");

    EXPECT_GE(metric(http_port, gateway_series("answered")), 5);
    EXPECT_EQ(metric(http_port, gateway_series("refused")), 2);
    EXPECT_EQ(metric(http_port, gateway_series("no_answer")), 1);
    EXPECT_EQ(unit_json(http_port, "u1")["rounds_failed"].asInt(), 0);
    EXPECT_EQ(unit_json(http_port, "u2")["rounds_failed"].asInt(), 0);
}

// Ten clients at once on a serial link, each reading again and again: every
// answer is the unit's registers (none goes to the wrong client, pymodbus
// checks each transaction id), and the agent's rounds go on between them.
TEST_F(GatewayTest, OverRtuTenClientsAtOnceAreServedInTurnWhileTheRoundsGoOn) {
    if (!have("socat")) GTEST_SKIP() << "socat is not installed";
    Child socat({"socat", "pty,raw,echo=0,link=" + dir.file("unit"),
                 "pty,raw,echo=0,link=" + dir.file("host")},
                dir, "socat");
    ASSERT_TRUE(
        wait_until([&] { return exists(dir.file("unit")) && exists(dir.file("host")); }, kLimit));
    Child sim(tool(kSim, sim_args({"--rtu", dir.file("unit"), "--unit", "1"})), dir, "sim");
    const int http_port = free_port(), gateway = free_port();
    auto agent = run_agent(dir, "agent",
                           http(http_port) + "[[link]]\nname = \"bus\"\nrtu = \"" +
                               dir.file("host") + "\"\ntimeout_ms = 1000\n" +
                               gateway_at(gateway, false) + unit("u1", "bus", 1));
    ASSERT_TRUE(polling(http_port, "u1", 1)) << agent->err();

    EXPECT_NE(mbpoll_holding(gateway, 1, 100, 1).find("[100]: \t5"), std::string::npos);
    const int before = rounds_complete(http_port, "u1");
    EXPECT_EQ(client(gateway, "many 10 20 1 21 3"), "200 times: values 300 301 302");
    EXPECT_EQ(client(gateway, "write 1 100 7"), "exception 0x01");  // writes do not pass here
    // The rounds went on meanwhile, every one complete.
    EXPECT_TRUE(polling(http_port, "u1", before + 2));
    EXPECT_EQ(unit_json(http_port, "u1")["rounds_failed"].asInt(), 0);
    EXPECT_EQ(metric(http_port, gateway_series("answered")), 201);
    EXPECT_EQ(metric(http_port, gateway_series("busy")), 0);
}

// A unit whose simulator is killed: the gateway answers 0x0A (path
// unavailable) or 0x0B, the link recovers as it always has once the unit is
// back, and the gateway passes reads again.
TEST_F(GatewayTest, AKilledSimulatorGetsExceptionsAndTheLinkRecoversAsBefore) {
    const int sim_port = free_port();
    auto start_sim = [&](const std::string& name) {
        auto sim = std::make_unique<Child>(
            tool(kSim, sim_args({"--tcp", "127.0.0.1:" + std::to_string(sim_port)})), dir, name);
        wait_until([&] { return sim->out().find("listening") != std::string::npos; }, kLimit);
        return sim;
    };
    auto sim = start_sim("sim");
    const int http_port = free_port(), gateway = free_port();
    auto agent = run_agent(
        dir, "agent",
        http(http_port) + link("bus", sim_port, gateway_at(gateway, false)) + unit("u1", "bus", 1));
    ASSERT_TRUE(polling(http_port, "u1", 1)) << agent->err();
    EXPECT_EQ(client(gateway, "read 1 4 21 3"), "values 300 301 302");

    sim->signal(SIGKILL);
    sim->wait(kLimit);
    const std::string lost = client(gateway, "read 1 4 21 3");
    EXPECT_TRUE(lost == "exception 0x0A" || lost == "exception 0x0B") << lost;
    EXPECT_TRUE(
        wait_until([&] { return client(gateway, "read 1 4 21 3") == "exception 0x0A"; }, kLimit));
    EXPECT_TRUE(wait_until([&] { return !unit_json(http_port, "u1")["online"].asBool(); }, kLimit));

    sim = start_sim("sim2");
    EXPECT_TRUE(wait_until([&] { return unit_json(http_port, "u1")["online"].asBool(); }, kLimit))
        << agent->err();
    EXPECT_EQ(client(gateway, "read 1 4 21 3"), "values 300 301 302");
    EXPECT_GE(metric(http_port, gateway_series("link_down")), 1);
    EXPECT_NE(agent->err().find("link bus: reopened"), std::string::npos);
}

// Twenty clients at once ask for a unit that never answers, each request
// costing the link a whole timeout: 16 wait their turn and get 0x0B, the
// rest are told the gateway is busy (6) at once, and the unit that does
// answer goes on completing its rounds meanwhile.
TEST_F(GatewayTest, AFloodToASilentUnitIsBoundedAndTheOtherUnitKeepsPolling) {
    Sim sim(dir, "sim", sim_args({"--units", "1-1"}));  // unit id 2 is never answered
    const int http_port = free_port(), gateway = free_port();
    auto agent = run_agent(dir, "agent",
                           http(http_port) + "[[link]]\nname = \"bus\"\ntcp = \"127.0.0.1:" +
                               std::to_string(sim.port) + "\"\ntimeout_ms = 700\nretries = 0\n" +
                               gateway_at(gateway, false) + unit("u1", "bus", 1) +
                               "[[unit]]\nname = \"mute\"\nlink = \"bus\"\nunit_id = 2\n"
                               "interval = 600\n");
    ASSERT_TRUE(polling(http_port, "u1", 1)) << agent->err();
    const int before = rounds_complete(http_port, "u1");

    const std::string answers = client(gateway, "many 20 1 2 21 3");
    const auto times = [&](const std::string& answer) {
        const std::size_t at = answers.find(" times: " + answer);
        if (at == std::string::npos) return 0;
        const std::size_t line = answers.rfind('\n', at);
        return std::stoi(answers.substr(line == std::string::npos ? 0 : line + 1));
    };
    const int busy = times("exception 0x06"), silent = times("exception 0x0B");
    EXPECT_EQ(busy + silent, 20) << answers;
    EXPECT_GE(busy, 1) << answers;
    EXPECT_LE(silent, 17) << answers;  // 16 waiting and the one on the line
    EXPECT_EQ(metric(http_port, gateway_series("busy")), busy);
    EXPECT_GT(rounds_complete(http_port, "u1"), before + 1);
    EXPECT_EQ(unit_json(http_port, "u1")["rounds_failed"].asInt(), 0);

    // Every place taken by connections that say nothing: once they have
    // been quiet a while, a new client still gets in.
    std::vector<int> quiet;
    for (int i = 0; i < 32; ++i) quiet.push_back(connect_to(gateway));
    std::this_thread::sleep_for(6s);
    EXPECT_EQ(client(gateway, "read 1 4 21 3"), "values 300 301 302");
    for (const int fd : quiet) close(fd);
}
