// The link under abuse from outside: a flood of writes to a unit that never
// answers, and a gateway that hangs up on every connection.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <thread>

#include "tests/tools/agent_fixtures.h"

using namespace agent_tests;

namespace {

// Results of writes to `unit`, counted by payload.
std::map<std::string, int> results(Subscriber& watch, const std::string& unit) {
    const std::string head = "quillark/" + unit + "/set/";
    std::map<std::string, int> counts;
    for (const std::string& line : watch.log()) {
        const std::size_t space = line.find(' ');
        const std::string topic = line.substr(0, space);
        if (topic.compare(0, head.size(), head) == 0 && topic.size() > 7 &&
            topic.compare(topic.size() - 7, 7, "/result") == 0)
            ++counts[line.substr(space + 1)];
    }
    return counts;
}

int total(const std::map<std::string, int>& counts) {
    int sum = 0;
    for (const auto& [text, count] : counts) sum += count;
    return sum;
}

// 1,200 writes to a unit that never answers (each one that goes out costs a
// 200 ms timeout), and 30 to a unit that does: the queues stay short, only
// the newest value of a register goes out, and the other units' rounds go on
// between the writes.
TEST_F(AgentTest, FloodOfWritesToASilentUnitLeavesTheOthersPolling) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    Sim gateway(dir, "gateway", {"--units", "1-3", "--steady"});
    std::string registers;
    for (int reg = 100; reg < 112; ++reg)
        registers += (reg > 100 ? ", " : "") + std::to_string(reg);
    // Unit id 9 is not served: it never answers. Its rounds are far apart,
    // so it is not known to be offline while the flood lasts.
    const int port = free_port();
    auto agent = run_agent(dir, "agent",
                           http(port) + mqtt(broker.port(), "row1") + link("gw", gateway.port) +
                               unit("ac01", "gw", 1, "writes = [100]\n") + unit("ac02", "gw", 2) +
                               unit("ac03", "gw", 3) +
                               "[[unit]]\nname = \"mute\"\nlink = \"gw\"\nunit_id = 9\n"
                               "interval = 600\nwrites = [" +
                               registers + "]\n");
    for (const char* name : {"ac01", "ac02", "ac03"})
        ASSERT_TRUE(watch.wait_for(std::string("quillark/") + name + "/availability", "online"))
            << name;

    const int before = rounds_complete(port, "ac02");
    constexpr int kValues = 100;
    for (int value = 1; value <= kValues; ++value) {
        for (int reg = 100; reg < 112; ++reg)
            watch.publish("quillark/mute/set/" + std::to_string(reg), std::to_string(value));
        if (value <= 30) watch.publish("quillark/ac01/set/100", std::to_string(value));
    }
    // One by one, the writes alone would hold the link for four minutes.
    ASSERT_TRUE(wait_until([&] { return total(results(watch, "mute")) == 12 * kValues; }, 60s))
        << total(results(watch, "mute")) << " results\n"
        << agent->err();
    ASSERT_TRUE(wait_until([&] { return total(results(watch, "ac01")) == 30; }, kLimit));
    const int after = rounds_complete(port, "ac02");

    std::map<std::string, int> mute = results(watch, "mute");
    const int superseded = mute["rejected: superseded"];
    const int full = mute["rejected: 8 writes already wait for this unit"];
    const int sent = mute["unanswered"];
    EXPECT_EQ(superseded + full + sent, 12 * kValues) << agent->err();
    EXPECT_GT(superseded, 0);
    EXPECT_GT(full, 0);
    EXPECT_GE(sent, 8);
    // The newest value of a register is never the one superseded.
    for (int reg = 100; reg < 112; ++reg)
        EXPECT_NE(watch.latest("quillark/mute/set/" + std::to_string(reg) + "/result"),
                  "rejected: superseded");
    // After each write the rounds then due go first; a 0.3 s interval is due
    // again after at most two writes of 0.2 s.
    EXPECT_GE(after - before, sent / 2 - 1) << sent << " writes sent";

    // Only the writes not superseded reached the answering unit, and the last
    // of them was confirmed.
    std::map<std::string, int> ac01 = results(watch, "ac01");
    EXPECT_EQ(ac01["confirmed"] + ac01["rejected: superseded"], 30);
    EXPECT_EQ(watch.latest("quillark/ac01/set/100/result"), "confirmed");
    const std::string requests = gateway.child->err();
    int reached = 0;
    for (auto at = requests.find("function 6 "); at != std::string::npos;
         at = requests.find("function 6 ", at + 1))
        ++reached;
    EXPECT_EQ(reached, ac01["confirmed"]);
}

// A loopback listener that takes every connection and closes it at once.
class HangUp {
public:
    HangUp() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 64);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 50) <= 0) continue;
                const int client = accept(fd_, nullptr, nullptr);
                if (client == -1) continue;
                ++accepted;
                close(client);
            }
        });
    }
    ~HangUp() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port = 0;
    std::atomic<int> accepted{0};

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Every round of three units at 0.3 s used to open a connection: ten a
// second. Pauses that grow with each connection lost unanswered allow a
// handful in six seconds.
TEST(AgentLink, GatewayThatHangsUpIsNotReopenedInATightLoop) {
    ScratchDir dir;
    HangUp gateway;
    auto agent = run_agent(dir, "agent",
                           http(free_port()) + link("gw", gateway.port) + unit("ac01", "gw", 1) +
                               unit("ac02", "gw", 2) + unit("ac03", "gw", 3));
    ASSERT_TRUE(wait_until([&] { return gateway.accepted >= 1; }, kLimit)) << agent->err();
    const int first = gateway.accepted;
    // A window of time is what is measured here: the count has an upper bound
    // however slow the machine.
    std::this_thread::sleep_for(6s);
    const int opened = gateway.accepted - first;
    EXPECT_LE(opened, 12) << agent->err();
    EXPECT_TRUE(wait_until([&] { return gateway.accepted >= first + 2; }, kLimit));
    EXPECT_NE(agent->err().find("link gw: lost"), std::string::npos) << agent->err();
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
}

}  // namespace
