// The agent's MQTT client against real mosquitto brokers: TLS made with
// openssl, passwords made with mosquitto_passwd, brokers that go away.
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <json/value.h>

#include "tests/tools/agent_fixtures.h"
#include "tools/agent/events/journal.h"
#include "tools/agent/publish/mqtt.h"

using namespace agent_tests;

namespace {

std::string mqtts(int port, const std::string& ca) {
    return http(free_port()) + "[mqtt]\nbroker = \"mqtts://127.0.0.1:" + std::to_string(port) +
           "\"\nclient_id = \"row1\"\n" + (ca.empty() ? "" : "ca_file = \"" + ca + "\"\n");
}

bool said(const Child& agent, const std::string& text) {
    return wait_until([&] { return agent.err().find(text) != std::string::npos; }, kLimit);
}

// User and system time a process has used, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stol(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class AgentMqttTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        if (!have("openssl") || !have("mosquitto_passwd"))
            GTEST_SKIP() << "openssl or mosquitto_passwd missing";
    }
};

// A TLS handshake that fails (the broker's certificate signed by another CA)
// while the client is created and destroyed over and over: one thread works
// each client's connection, so nothing races inside the TLS library.
TEST_F(AgentMqttTest, FailedTlsHandshakesNeverCrashTheClient) {
    const Certs certs(dir);
    ASSERT_TRUE(certs.made) << read_file(dir.file("openssl.out"));
    Broker broker(dir, 0, certs.listener());
    quillark_agent::MqttConfig config;
    config.enabled = true;
    config.port = broker.port();
    config.tls = true;
    config.ca_file = certs.other_ca;
    const char* runs_text = std::getenv("QUILLARK_TLS_RUNS");  // 200 for a long run by hand
    const int runs = runs_text != nullptr ? std::atoi(runs_text) : 100;
    for (int i = 0; i < runs; ++i) {
        quillark_agent::MqttClient client(
            config, [](const std::string&) { return false; },
            [](const std::string&, int, std::uint16_t) { return std::string(); });
        client.unit_status("ac01", "{}");
        client.connect();
        // Every other client goes away in mid-handshake, the rest once it failed.
        if (i % 2 == 1) {
            ASSERT_TRUE(wait_until([&] { return client.failures() >= 1; }, kLimit));
        }
    }
}

// What goes wrong is said once, with the reason; TLS without a CA file of
// its own uses the system's store; a password is sent.
TEST_F(AgentMqttTest, ConnectionFailuresAreLoggedWithTheirReason) {
    const Certs certs(dir);
    ASSERT_TRUE(certs.made) << read_file(dir.file("openssl.out"));
    Broker tls(dir, 0, certs.listener());
    Broker plain(dir);
    Broker locked(dir, 0, password_listener(dir, "row1", "secret"));
    const std::string where = "mqtt: cannot connect to the broker 127.0.0.1:";
    const struct {
        std::string name, section, line;
    } cases[] = {
        {"wrong-ca", mqtts(tls.port(), certs.other_ca), where + std::to_string(tls.port()) + ": "},
        {"tls-to-plain", mqtts(plain.port(), certs.ca),
         where + std::to_string(plain.port()) + ": "},
        {"plain-to-tls", http(free_port()) + mqtt(tls.port(), "row1"),
         where + std::to_string(tls.port()) + ": "},
        {"down", http(free_port()) + mqtt(free_port(), "row1"), "Connection refused; trying again"},
        {"wrong-password",
         http(free_port()) + mqtt(locked.port(), "row1") +
             "username = \"row1\"\npassword_file = \"" + dir.file("wrong") + "\"\n",
         "the broker refused the connection: Not authorized"},
        {"password",
         http(free_port()) + mqtt(locked.port(), "row1") +
             "username = \"row1\"\npassword_file = \"" + dir.file("right") + "\"\n",
         "mqtt: connected to 127.0.0.1:" + std::to_string(locked.port())},
    };
    write_file(dir.file("wrong"), "guess\n");
    write_file(dir.file("right"), "secret\n");
    for (const auto& c : cases) {
        auto agent = run_agent(dir, c.name, c.section);
        EXPECT_TRUE(said(*agent, c.line)) << c.name << "\n" << agent->err();
    }
    // The TLS library's own reason is named.
    auto wrong = run_agent(dir, "wrong-ca-2", mqtts(tls.port(), certs.other_ca));
    EXPECT_TRUE(said(*wrong, "certificate verify failed")) << wrong->err();

    // mqtts:// without ca_file: the system's store, here the test's CA.
    setenv("SSL_CERT_FILE", certs.ca.c_str(), 1);
    auto system_store = run_agent(dir, "system-store", mqtts(tls.port(), ""));
    unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(said(*system_store, "mqtt: connected to 127.0.0.1:" + std::to_string(tls.port())))
        << system_store->err();

    // A running broker lost, then back.
    auto agent = run_agent(dir, "lost", http(free_port()) + mqtt(plain.port(), "row1"));
    ASSERT_TRUE(said(*agent, "mqtt: connected to"));
    plain.kill();
    EXPECT_TRUE(said(*agent, "mqtt: lost the broker 127.0.0.1:" + std::to_string(plain.port())));
    plain.start();
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string err = agent->err();
            return err.find("mqtt: connected to", err.find("lost the broker")) != std::string::npos;
        },
        60s))
        << agent->err();
    // However many attempts failed in between, they were said once.
    const std::string err = agent->err();
    const std::size_t lost = err.find("lost the broker");
    EXPECT_EQ(err.find("cannot connect", err.find("cannot connect", lost) + 1), std::string::npos)
        << err;
}

// An unreachable TLS broker costs next to nothing while the agent waits.
TEST_F(AgentMqttTest, AnUnreachableTlsBrokerCostsNoCpu) {
    const Certs certs(dir);
    ASSERT_TRUE(certs.made) << read_file(dir.file("openssl.out"));
    auto agent = run_agent(dir, "agent", mqtts(1, certs.ca));
    ASSERT_TRUE(said(*agent, "mqtt: cannot connect to the broker 127.0.0.1:1")) << agent->err();
    const double before = cpu_seconds(agent->pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);  // the window measured, not a wait for anything
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A spinning client takes the whole window; a waiting one next to none.
    EXPECT_LT(cpu_seconds(agent->pid()) - before, wall / 2) << agent->err();
}

// While the broker is away a unit's status is state, not a backlog: the
// broker gets the newest once it is back, not every round it missed.
TEST_F(AgentMqttTest, ABrokerBackGetsTheNewestStatusNotABacklog) {
    Broker broker(dir);
    Sim gateway(dir, "gateway", {"--units", "1-3", "--steady"});
    const int port = free_port();
    auto agent = run_agent(dir, "agent",
                           http(port) + mqtt(broker.port(), "row1") + link("gw", gateway.port) +
                               unit("stale01", "gw", 1) + unit("stale02", "gw", 2) +
                               unit("stale03", "gw", 3));
    {
        Subscriber watch(broker.port());
        ASSERT_TRUE(watch.wait_for("quillark/stale01/availability", "online"));
    }
    broker.kill();
    const int down = rounds_complete(port, "stale01");
    ASSERT_TRUE(wait_until([&] { return rounds_complete(port, "stale01") >= down + 15; }, 60s));
    // The agent held still while the broker comes back and a subscriber is in
    // place, so that the subscriber sees whatever the agent sends on reconnecting.
    const int before = rounds_complete(port, "stale01");
    agent->signal(SIGSTOP);
    broker.start();
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed());
    agent->signal(SIGCONT);
    ASSERT_TRUE(watch.wait_for("quillark/agent/row1/availability", "online"));
    ASSERT_TRUE(watch.wait_for_any("quillark/stale01/status"));
    const std::size_t statuses = watch.count("quillark/stale01/status");
    const int after = rounds_complete(port, "stale01");
    // The newest status, then one per round since: never the rounds missed.
    EXPECT_LE(static_cast<int>(statuses), after - before + 2)
        << "rounds " << before << ".." << after;
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
}

// A broker that returns is owed the events it missed, up to a bound: the
// newest thousand in order, then one events_dropped telling the older ones;
// the client holds a position in the journal, never the events themselves.
TEST_F(AgentMqttTest, AReturningBrokerGetsTheNewestThousandEventsThenOneDroppedNotice) {
    // A subscriber that takes its time must not lose any at the broker.
    Broker broker(dir, 0, "allow_anonymous true\nmax_queued_messages 0\n");
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed());
    auto journal = std::make_shared<quillark_agent::Journal>("");
    auto add = [&] {
        quillark_agent::Event e;
        e.kind = "write";
        e.unit = "ac01";
        e.time = 1.8e9;
        return journal->append(e);
    };
    for (int i = 1; i <= 1500; ++i) add();  // while the broker was away
    quillark_agent::MqttConfig config;
    config.enabled = true;
    config.port = broker.port();
    config.client_id = "row1";
    quillark_agent::MqttClient client(
        config, [](const std::string&) { return false; },
        [](const std::string&, int, std::uint16_t) { return std::string(); });
    client.follow_events({journal, [&](const quillark_agent::Event& e) { journal->append(e); }}, 0);
    client.connect();
    ASSERT_TRUE(wait_until([&] { return watch.count("quillark/agent/row1/events") == 1; }, 60s))
        << watch.count("quillark/ac01/events");
    client.event(add());  // connected: sent at once
    ASSERT_TRUE(wait_until([&] { return watch.count("quillark/ac01/events") == 1001; }, kLimit));

    std::vector<std::uint64_t> seqs;
    for (const std::string& line : watch.log()) {
        const std::size_t space = line.find(' ');
        if (line.compare(0, space, "quillark/agent/row1/events") == 0) {
            const Json::Value notice = parse_json(line.substr(space + 1));
            EXPECT_EQ(notice["kind"].asString(), "events_dropped");
            EXPECT_EQ(notice["count"].asUInt64(), 500u);
            EXPECT_EQ(notice["first_seq"].asUInt64(), 1u);
            EXPECT_EQ(notice["last_seq"].asUInt64(), 500u);
            seqs.push_back(notice["seq"].asUInt64());
        } else if (line.compare(0, space, "quillark/ac01/events") == 0) {
            const Json::Value event = parse_json(line.substr(space + 1));
            EXPECT_EQ(event["time"].asString(), "2027-01-15T08:00:00Z");
            seqs.push_back(event["seq"].asUInt64());
        }
    }
    ASSERT_EQ(seqs.size(), 1002u);
    for (std::size_t i = 0; i < seqs.size(); ++i)
        ASSERT_EQ(seqs[i], 501 + i) << "in order, each once";
}

// Writes come only from live messages: a retained one is refused (or, empty,
// clears its topic silently), one retained before the agent subscribed is
// never replayed to it, and a register has one spelling only.
TEST_F(AgentMqttTest, OnlyLiveMessagesWrite) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed());
    watch.publish("quillark/live01/set/100", "9", true);  // left there before the agent starts
    // At the broker before the agent subscribes: a late one would reach the
    // agent live (and be refused as retained), which is not this case.
    ASSERT_TRUE(watch.wait_for("quillark/live01/set/100", "9"));
    Sim gateway(dir, "gateway", {"--steady"});
    auto agent =
        run_agent(dir, "agent",
                  http(free_port()) + mqtt(broker.port(), "row1") + link("gw", gateway.port) +
                      unit("live01", "gw", 1, "writes = [100, 101]\n"));
    ASSERT_TRUE(watch.wait_for("quillark/live01/availability", "online"));

    watch.publish("quillark/live01/set/101", "11", true);
    EXPECT_TRUE(watch.wait_for("quillark/live01/set/101/result",
                               "rejected: a retained message is not a write"));
    watch.publish("quillark/live01/set/0100", "5");
    EXPECT_TRUE(watch.wait_for(
        "quillark/live01/set/0100/result",
        "rejected: the register is not a decimal number 0..65535 without leading zeros"));
    watch.publish("quillark/live01/set/100", "", true);  // empties the retained request
    watch.publish("quillark/live01/set/101", "7");
    EXPECT_TRUE(watch.wait_for("quillark/live01/set/101/result", "confirmed"));
    // The empty retained message got no answer; only the live write reached the unit.
    EXPECT_EQ(watch.count("quillark/live01/set/100/result"), 0u)
        << watch.latest("quillark/live01/set/100/result");
    const std::string requests = gateway.child->err();
    EXPECT_EQ(requests.find("function 6 address 100 "), std::string::npos) << requests;
    EXPECT_NE(requests.find("function 6 address 101 count 1"), std::string::npos) << requests;
    std::size_t sent = 0;
    for (auto at = requests.find("function 6 "); at != std::string::npos;
         at = requests.find("function 6 ", at + 1))
        ++sent;
    EXPECT_EQ(sent, 1u) << requests;
}

}  // namespace
