// quillark-poll against quillark-sim, as separate processes on loopback TCP
// and on a pseudo-terminal pair for RTU.
#include <signal.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/tools/child.h"
#include "tests/support/fakes.h"
#include "quillark/quillark.h"
#include "quillark/record.h"
#include "hostkit/simunit/unit_image.h"

using namespace tool_tests;
using namespace std::chrono_literals;

namespace {

const std::string kPoll = QUILLARK_POLL;
const std::string kSim = QUILLARK_SIM;
constexpr milliseconds kStartLimit = 10s;
constexpr milliseconds kRunLimit = 30s;

enum class Link { Tcp, Rtu };

bool have_socat() { return system("command -v socat >/dev/null 2>&1") == 0; }

// quillark-sim serving one link; for RTU behind a socat pseudo-terminal pair.
class SimProcess {
public:
    SimProcess(Link link, const ScratchDir& dir, std::vector<std::string> args, int port = 0)
        : link_(link), dir_(dir) {
        const std::string name = "sim" + std::to_string(++starts_);
        if (link == Link::Rtu) {
            std::remove(dir.file("unit").c_str());
            std::remove(dir.file("host").c_str());
            socat_ = std::make_unique<Child>(
                std::vector<std::string>{"socat", "pty,raw,echo=0,link=" + dir.file("unit"),
                                         "pty,raw,echo=0,link=" + dir.file("host")},
                dir, name + "-socat");
            if (!wait_until([&] { return exists(dir.file("unit")) && exists(dir.file("host")); },
                            kStartLimit))
                return;
            args.insert(args.end(), {"--rtu", dir.file("unit")});
        } else {
            std::remove(dir.file("port").c_str());
            args.insert(args.end(), {"--tcp", "127.0.0.1:" + std::to_string(port), "--port-file",
                                     dir.file("port")});
        }
        sim_ = std::make_unique<Child>(tool(kSim, args), dir, name);
        ready_ =
            wait_until(
                [&] {
                    return sim_->out().find("listening") != std::string::npos || !sim_->running();
                },
                kStartLimit) &&
            sim_->running();
        if (ready_ && link == Link::Tcp) port_ = std::stoi(read_file(dir.file("port")));
    }

    bool ready() const { return ready_; }
    std::string diagnostics() const { return sim_ ? sim_->err() : "socat did not start"; }
    int port() const { return port_; }
    // Ends the server abruptly, as a crash would.
    void kill() {
        sim_->signal(SIGKILL);
        sim_->wait(kStartLimit);
    }

    std::vector<std::string> poll_args() const {
        if (link_ == Link::Rtu) return {"--rtu", dir_.file("host")};
        return {"--tcp", "127.0.0.1:" + std::to_string(port_)};
    }

private:
    static inline int starts_ = 0;
    Link link_;
    const ScratchDir& dir_;
    std::unique_ptr<Child> socat_;
    std::unique_ptr<Child> sim_;
    bool ready_ = false;
    int port_ = 0;
};

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome poll(const ScratchDir& dir, std::vector<std::string> args) {
    static int runs = 0;
    Child child(tool(kPoll, args), dir, "poll" + std::to_string(++runs));
    const int status = child.wait(kRunLimit);
    return {status, child.out(), child.err()};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Bytes 0..179 of the record a round over the unit with this image must give.
std::vector<std::uint8_t> expected_record(const Json::Value& overlay, std::uint32_t device_id) {
    quillark_sim::Image image = quillark_sim::Image::standard();
    image.apply(overlay);
    const auto registers = image.registers_at(0.0);
    std::vector<std::uint8_t> record(quillark::kReadOffsets.back(), 0);
    std::memcpy(record.data(), &device_id, 4);
    for (std::size_t i = 0; i < quillark::kPollReads.size(); ++i) {
        const auto& read = quillark::kPollReads[i];
        for (int k = 0; k < read.count; ++k) {
            const std::size_t at = quillark::kReadOffsets[i];
            if (read.kind == quillark::ReadKind::Bits) {
                record[at + k] = image.bits[read.address + k];
            } else {
                const std::uint16_t word = registers[read.address + k];
                record[at + 2 * k] = static_cast<std::uint8_t>(word & 0xFF);
                record[at + 2 * k + 1] = static_cast<std::uint8_t>(word >> 8);
            }
        }
    }
    return record;
}

// The status text the driver gives for a record, at the record's own time.
std::string document_of(const std::string& record) {
    const auto* r = reinterpret_cast<const std::uint8_t*>(record.data());
    testing_support::TestClock clock(
        testing_support::at(r[180] | (r[181] << 8), r[182], r[183], r[184], r[185], r[186]));
    Quillark driver;
    testing::internal::CaptureStdout();
    driver.LoadFromCache(r, static_cast<int>(record.size()));
    testing::internal::GetCapturedStdout();
    std::string text(64 * 1024, '\0');
    int size = 0;
    EXPECT_EQ(driver.DeviceIoControl(IoGetStatusText, nullptr, 0, text.data(),
                                     static_cast<int>(text.size()), size),
              0);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

class OverEachLink : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override {
        if (GetParam() == Link::Rtu && !have_socat()) GTEST_SKIP() << "socat is not installed";
    }
    std::unique_ptr<SimProcess> unit(std::vector<std::string> args) {
        auto u = std::make_unique<SimProcess>(GetParam(), dir, std::move(args));
        EXPECT_TRUE(u->ready()) << u->diagnostics();
        return u;
    }
    ScratchDir dir;
};

const Json::Value kImage = parse_json(
    R"({"bits": {"1": 1, "181": 1, "356": 1}, "registers": {"21": 300, "38": 48879, "631": 1500}})");

}  // namespace

TEST_P(OverEachLink, RoundGivesTheImageRecordAndTheDriversDocument) {
    write_file(dir.file("image.json"), kImage.toStyledString());
    auto sim = unit({"--steady", "--image", dir.file("image.json")});
    ASSERT_TRUE(sim->ready());
    const Outcome run = poll(
        dir, sim->poll_args() + std::vector<std::string>{"--device-id", "7", "--timeout", "200",
                                                         "--record-out", dir.file("record")});
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string record = read_file(dir.file("record"));
    ASSERT_EQ(record.size(), 187u);
    const auto expected = expected_record(kImage, 7);
    EXPECT_EQ(std::vector<std::uint8_t>(record.begin(), record.begin() + 180), expected);
    // The image's own values, where the record keeps them.
    EXPECT_EQ(record[4], 1);                       // bit 1
    EXPECT_EQ(record[54], 1);                      // bit 181
    EXPECT_EQ(record[109], 1);                     // bit 356
    EXPECT_EQ(record.substr(110, 2), "\x2c\x01");  // register 21: 300
    EXPECT_EQ(record.substr(128, 2), "\xef\xbe");  // register 38
    EXPECT_EQ(record.substr(178, 2), "\xdc\x05");  // register 631: 1500

    // stdout is the 801 text and nothing else: one line.
    EXPECT_EQ(run.out, document_of(record));
    EXPECT_EQ(count(run.out, "\n"), 1);
    EXPECT_EQ(count(run.err, "rvSize is 0"), 1);
}

TEST_P(OverEachLink, LateAnswerIsNotTakenForTheNextRequest) {
    write_file(dir.file("image.json"), kImage.toStyledString());
    // The first answer comes after the poller has given up on it, while the
    // poller rests before its next round.
    auto sim = unit(
        {"--steady", "--image", dir.file("image.json"), "--delay-ms", "400", "--delay-count", "1"});
    ASSERT_TRUE(sim->ready());
    const Outcome run =
        poll(dir, sim->poll_args() + std::vector<std::string>{"--timeout", "200", "--retries", "0",
                                                              "--rounds", "2", "--interval", "0.4",
                                                              "--record-out", dir.file("record")});
    ASSERT_EQ(run.status, 4) << run.err;  // one of two rounds failed
    EXPECT_NE(run.err.find("round 1 failed at request 1, read of input bits"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("round 2: ok"), std::string::npos) << run.err;
    const std::string record = read_file(dir.file("record"));
    ASSERT_EQ(record.size(), 187u);
    EXPECT_EQ(std::vector<std::uint8_t>(record.begin(), record.begin() + 180),
              expected_record(kImage, 1));
}

// A stop signal ends the request that waits for a slow unit, not the round.
TEST_P(OverEachLink, StopSignalEndsTheWaitingRequest) {
    auto sim = unit({"--delay-ms", "3000"});
    ASSERT_TRUE(sim->ready());
    Child poller(tool(kPoll, sim->poll_args() +
                                 std::vector<std::string>{"--timeout", "5000", "--rounds", "0"}),
                 dir, "stopped");
    ASSERT_TRUE(
        wait_until([&] { return poller.err().find("polling") != std::string::npos; }, kStartLimit));
    std::this_thread::sleep_for(300ms);  // the first request is on the line
    poller.signal(SIGTERM);
    EXPECT_NE(poller.wait(1s), -1) << poller.err();
    EXPECT_EQ(poller.out(), "");
}

TEST_P(OverEachLink, SilenceMidRoundPublishesNothing) {
    auto sim = unit({"--mute-after", "20"});
    ASSERT_TRUE(sim->ready());
    const Outcome run =
        poll(dir, sim->poll_args() + std::vector<std::string>{"--timeout", "200", "--record-out",
                                                              dir.file("record")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(count(run.err, "SPModbus get error\n"), 1) << run.err;
    EXPECT_NE(run.err.find("round 1 failed at request 21, read of input bits"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("rvSize"), std::string::npos);
    EXPECT_FALSE(exists(dir.file("record")));
}

TEST_P(OverEachLink, RoundAfterASilenceRecovers) {
    auto sim = unit({"--mute-after", "20", "--mute-for", "1"});
    ASSERT_TRUE(sim->ready());
    const Outcome run = poll(
        dir, sim->poll_args() + std::vector<std::string>{"--timeout", "200", "--retries", "0",
                                                         "--rounds", "2", "--interval", "0.1"});
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(count(run.err, "SPModbus get error\n"), 1) << run.err;
    EXPECT_NE(run.err.find("link back after"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("round 2: ok, 46 requests"), std::string::npos) << run.err;
    EXPECT_EQ(count(run.out, "\n"), 1);
}

TEST_P(OverEachLink, WritesEndAsTheUnitAnswers) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;
        std::vector<std::string> poll;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"single write", {}, {"--write", "100=250"}, 0, "write 100=250: confirmed"},
        {"multiple write", {}, {"--write-multi", "10=1,2,3"}, 0, "write-multi 10=1,2,3: confirmed"},
        {"outside the writable range",
         {},
         {"--write", "400=1"},
         3,
         "write 400=1: answered but not"},
        {"running past the writable range", {}, {"--write-multi", "299=1,2,3"}, 3, "not confirmed"},
        {"refused register", {"--fail-address", "100"}, {"--write", "100=1"}, 3, "exception"},
        {"unit silent after the round",
         {"--mute-after", "46"},
         {"--write", "100=1"},
         1,
         "write 100=1: no answer"},
        {"confirmed, then refused",
         {},
         {"--write", "100=1", "--write", "400=1"},
         3,
         "write 100=1: confirmed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sim = unit(c.sim);
        ASSERT_TRUE(sim->ready());
        const Outcome run =
            poll(dir, sim->poll_args() + std::vector<std::string>{"--timeout", "200"} + c.poll);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(count(run.out, "\n"), 1);  // the round's document comes first
    }
}

INSTANTIATE_TEST_SUITE_P(Links, OverEachLink, ::testing::Values(Link::Tcp, Link::Rtu),
                         [](const auto& link) { return link.param == Link::Tcp ? "Tcp" : "Rtu"; });

TEST(Continuous, ReconnectsAfterTheServerRestarts) {
    ScratchDir dir;
    auto sim = std::make_unique<SimProcess>(Link::Tcp, dir, std::vector<std::string>{});
    ASSERT_TRUE(sim->ready()) << sim->diagnostics();
    const int port = sim->port();
    Child poller(
        tool(kPoll, sim->poll_args() + std::vector<std::string>{"--rounds", "0", "--interval",
                                                                "0.1", "--timeout", "200"}),
        dir, "poll");
    auto lines = [&] { return count(poller.out(), "\n"); };
    ASSERT_TRUE(wait_until([&] { return lines() >= 1; }, kStartLimit)) << poller.err();

    sim->kill();
    ASSERT_TRUE(wait_until([&] { return poller.err().find("link down") != std::string::npos; },
                           kStartLimit));
    const int before = lines();
    sim = std::make_unique<SimProcess>(Link::Tcp, dir, std::vector<std::string>{}, port);
    ASSERT_TRUE(sim->ready()) << sim->diagnostics();
    EXPECT_TRUE(wait_until([&] { return lines() > before; }, 15s)) << poller.err();

    poller.signal(SIGTERM);
    EXPECT_EQ(poller.wait(kStartLimit), 0) << poller.err();
    std::istringstream out(poller.out());
    for (std::string line; std::getline(out, line);) EXPECT_TRUE(parse_json(line).isObject());
}

TEST(Continuous, StopsCleanlyOnCtrlCAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        ScratchDir dir;
        Child poller(tool(kPoll, {"--rounds", "0", "--interval", "0.05"}), dir, "poll");
        ASSERT_TRUE(wait_until([&] { return count(poller.out(), "\n") >= 2; }, kStartLimit))
            << poller.err();
        poller.signal(sig);
        EXPECT_EQ(poller.wait(kStartLimit), 0) << poller.err();
        const std::string out = poller.out();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), '\n');  // no line cut short
    }
}

TEST(Poller, ExitStatusTellsHowTheRunEnded) {
    ScratchDir dir;
    // Round 2 meets a silent unit; rounds 1 and 3 complete, each printed at once.
    SimProcess sim(Link::Tcp, dir, {"--mute-after", "46", "--mute-for", "1"});
    ASSERT_TRUE(sim.ready()) << sim.diagnostics();
    const Outcome partly =
        poll(dir, sim.poll_args() + std::vector<std::string>{"--rounds", "3", "--interval", "0",
                                                             "--timeout", "200", "--retries", "0"});
    EXPECT_EQ(partly.status, 4) << partly.err;
    EXPECT_EQ(count(partly.out, "\n"), 2);
    EXPECT_NE(partly.err.find("2 rounds complete, 1 failed"), std::string::npos) << partly.err;

    // Interrupted while resting between rounds: at once, and not a success.
    Child stopped(tool(kPoll, {"--rounds", "3", "--interval", "60"}), dir, "stopped");
    ASSERT_TRUE(wait_until([&] { return count(stopped.out(), "\n") >= 1; }, kStartLimit));
    stopped.signal(SIGINT);
    EXPECT_EQ(stopped.wait(1s), 130) << stopped.err();

    // The reader goes away: the poller ends with the pipe, by SIGPIPE.
    std::string line;
    for (const std::string& word : tool(kPoll, {"--rounds", "0", "--interval", "0.05"}))
        line += "'" + word + "' ";
    Child piped({"bash", "-c", "set -o pipefail; " + line + "| head -n1 >/dev/null"}, dir, "piped");
    EXPECT_EQ(piped.wait(kStartLimit), 128 + SIGPIPE) << piped.err();
}

TEST(Poller, WithoutALinkPollsTheBuiltInUnit) {
    ScratchDir dir;
    const Outcome run = poll(dir, {"--rounds", "2", "--interval", "0"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("built-in simulated unit"), std::string::npos);
    EXPECT_EQ(count(run.out, "\n"), 2);  // each round's document as it completes
    EXPECT_TRUE(parse_json(run.out.substr(0, run.out.find('\n'))).isObject());
}

TEST(Poller, NothingListeningIsNoCompleteRound) {
    ScratchDir dir;
    // A port that was free a moment ago.
    int port;
    {
        SimProcess sim(Link::Tcp, dir, {});
        ASSERT_TRUE(sim.ready());
        port = sim.port();
    }
    const Outcome run =
        poll(dir, {"--tcp", "127.0.0.1:" + std::to_string(port), "--timeout", "200"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("link down"), std::string::npos) << run.err;
}
