// quillark-agent as systemd runs it: the notifications on a NOTIFY_SOCKET of
// the test's own, the watchdog fed while the links are well and not while
// one hangs, the driver's own lines kept out of the log, and a configuration
// that polls nothing saying so.
#include <poll.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "tests/tools/agent_fixtures.h"

using namespace agent_tests;

namespace {

// The service manager's end: a Unix datagram socket in the scratch
// directory, read all the time as systemd reads its own (a full queue would
// hold up the agent's main thread), keeping every notification in order.
class NotifySocket {
public:
    explicit NotifySocket(const ScratchDir& dir) : path_(dir.file("notify")) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        reader_ = std::thread([this] {
            pollfd in{fd_, POLLIN, 0};
            char buffer[4096];
            while (!done_) {
                if (poll(&in, 1, 50) <= 0) continue;
                const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
                std::lock_guard<std::mutex> lock(mutex_);
                if (n > 0) received_.emplace_back(buffer, static_cast<std::size_t>(n));
            }
        });
    }
    ~NotifySocket() {
        done_ = true;
        reader_.join();
        close(fd_);
    }

    // Starts `argv` with NOTIFY_SOCKET and a watchdog of `watchdog_usec`.
    std::unique_ptr<Child> start(std::vector<std::string> argv, const ScratchDir& dir,
                                 const std::string& name, const std::string& watchdog_usec) {
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdog_usec.c_str(), 1);
        auto child = std::make_unique<Child>(std::move(argv), dir, name);
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        return child;
    }
    // Every notification so far, oldest first.
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Index of the first notification from `from` on that contains `text`, or -1.
    int find(const std::string& text, std::size_t from = 0) {
        const std::vector<std::string> all = messages();
        for (std::size_t i = from; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    int wait_for(const std::string& text, std::size_t from = 0) {
        int at = -1;
        wait_until([&] { return (at = find(text, from)) >= 0; }, kLimit);
        return at;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread reader_;
};

std::string config_file(const ScratchDir& dir, const std::string& name, const std::string& toml) {
    write_file(dir.file(name + ".toml"), toml);
    return dir.file(name + ".toml");
}

// Ready once polling, the watchdog fed, reloading and ready again around a
// SIGHUP, stopping at SIGTERM; the driver's lines in the file named for them.
TEST(AgentService, NotifiesSystemdAndSendsTheDriverLinesToTheirFile) {
    ScratchDir dir;
    NotifySocket manager(dir);
    Sim sim(dir, "sim", {"--steady"});
    const std::string file =
        config_file(dir, "agent", http(free_port()) + link("gw", sim.port) + unit("ac01", "gw", 1));
    auto agent =
        manager.start(tool(kAgent, {"--config", file, "--driver-output", dir.file("driver.log")}),
                      dir, "agent", "200000");

    const int ready = manager.wait_for("READY=1");
    ASSERT_GE(ready, 0) << agent->err();
    EXPECT_NE(manager.messages()[ready].find("STATUS=polling 1 unit on 1 link"), std::string::npos)
        << manager.messages()[ready];
    // Fed again and again while the link is well.
    const int fed = manager.wait_for("WATCHDOG=1", ready + 1);
    ASSERT_GE(fed, 0);
    EXPECT_GE(manager.wait_for("WATCHDOG=1", fed + 1), 0);

    EXPECT_TRUE(wait_until(
        [&] { return agent->err().find("unit ac01 online") != std::string::npos; }, kLimit));
    EXPECT_TRUE(wait_until(
        [&] {
            return read_file(dir.file("driver.log")).find("rvSize is 0\n") != std::string::npos;
        },
        kLimit));
    EXPECT_EQ(agent->err().find("rvSize"), std::string::npos) << agent->err();
    EXPECT_EQ(agent->out(), "");

    agent->signal(SIGHUP);
    const int reloading = manager.wait_for("RELOADING=1", ready + 1);
    ASSERT_GE(reloading, 0);
    EXPECT_GE(manager.wait_for("READY=1", reloading + 1), 0);

    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    EXPECT_GE(manager.find("STOPPING=1", reloading + 1), 0);
}

// A link that stays in one round past --hung-after (a gateway that takes
// the connection and never answers, with a long timeout) is taken as hung,
// and from then on the watchdog goes unfed, so that systemd restarts the agent.
TEST(AgentService, HungLinkStopsFeedingTheWatchdog) {
    ScratchDir dir;
    NotifySocket manager(dir);
    // The kernel completes the connection in the backlog; nobody reads it.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string file =
        config_file(dir, "agent",
                    http(free_port()) + "[[link]]\nname = \"gw\"\ntcp = \"127.0.0.1:" +
                        std::to_string(ntohs(address.sin_port)) +
                        "\"\ntimeout_ms = 60000\nretries = 0\n" + unit("ac01", "gw", 1));
    auto agent = manager.start(tool(kAgent, {"--config", file, "--hung-after", "1"}), dir, "agent",
                               "200000");

    ASSERT_GE(manager.wait_for("READY=1"), 0) << agent->err();
    EXPECT_TRUE(wait_until(
        [&] {
            return agent->err().find(
                       "link gw has been busy in one round or write for longer than 1 s: taken as hung") !=
                   std::string::npos;
        },
        kLimit))
        << agent->err();
    const int hung = manager.wait_for("STATUS=hung: gw");
    ASSERT_GE(hung, 0);
    // Three watchdog intervals and more: no WATCHDOG=1 after the hang was seen.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(manager.find("WATCHDOG=1", hung + 1), -1);

    // Stopping does not wait for the answer that never comes.
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0) << agent->err();
    close(silent);
}

// The configuration the package installs is valid, polls nothing, and says
// so and how to add units. Under the journal (JOURNAL_STREAM set) each line
// carries its priority, so the warning is found with journalctl -p warning.
TEST(AgentService, InstalledConfigurationSaysItPollsNothing) {
    ScratchDir dir;
    setenv("JOURNAL_STREAM", "8:12345", 1);
    Child agent(tool(kAgent, {"--config", QUILLARK_AGENT_CONFFILE, "--listen", "127.0.0.1:0"}), dir,
                "agent");
    unsetenv("JOURNAL_STREAM");
    EXPECT_TRUE(
        wait_until([&] { return agent.err().find("live view on") != std::string::npos; }, kLimit))
        << agent.err();
    EXPECT_NE(agent.err().find("<4>quillark-agent: no units configured in " QUILLARK_AGENT_CONFFILE
                               ": polling nothing. Add a [[link]]"),
              std::string::npos)
        << agent.err();
    EXPECT_NE(agent.err().find("<6>quillark-agent: live view on"), std::string::npos)
        << agent.err();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(kLimit), 0);
}

}  // namespace
