// The transport against scripted units that answer late, from another unit
// or transaction, or not at all: an answer counts only for its own request.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/standin/link_fixtures.h"
#include "host/standin/modbus_transport.h"

using standin_tests::Bytes;
using standin_tests::LoopbackListener;
using standin_tests::rtu_link;
using standin_tests::SerialPair;
using standin_tests::tcp_frame;
using standin_tests::with_crc;

using standin::Status;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

ModbusRequest read_registers(int address) {
    ModbusRequest request;
    request.function = ModbusRequest::ReadInputRegisters;
    request.address = address;
    request.count = 1;
    return request;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The far end of a link, run by a thread: for each request it reads, it
// waits and then writes what the script gives for that request; an empty
// frame hangs up.
class ScriptedPeer {
public:
    using Script = std::function<std::vector<Bytes>(int index, const Bytes& request)>;
    ~ScriptedPeer() {
        const std::uint64_t one = 1;
        if (write(stop_, &one, sizeof one) < 0) ADD_FAILURE();
        if (thread_.joinable()) thread_.join();
        close(stop_);
        if (accepted_ != -1) close(accepted_);
    }

    // A serial line; the transport opens the device named here.
    std::string serial() {
        line_ = std::make_unique<SerialPair>();
        far_ = line_->far();
        return line_->device();
    }
    // A Modbus TCP peer on a free loopback port; returns the port.
    int listen_tcp() {
        listener_ = std::make_unique<LoopbackListener>(1);
        return listener_->port();
    }

    void run(milliseconds first_delay, Script script) {
        thread_ = std::thread([this, first_delay, script] {
            if (listener_ && (!readable(listener_->fd(), 3000) ||
                              (far_ = accepted_ = accept(listener_->fd(), nullptr, nullptr)) == -1))
                return;
            for (int index = 0;; ++index) {
                if (!readable(far_, 3000)) return;
                Bytes request(300);
                std::size_t got = 0;
                while (readable(far_, 20) && got < request.size()) {  // until the line is quiet
                    const ssize_t n = read(far_, request.data() + got, request.size() - got);
                    if (n <= 0) return;
                    got += static_cast<std::size_t>(n);
                }
                request.resize(got);
                if (index == 0) std::this_thread::sleep_for(first_delay);
                for (const Bytes& frame : script(index, request)) {
                    if (frame.empty()) return (void)shutdown(far_, SHUT_RDWR);  // hangs up
                    if (write(far_, frame.data(), frame.size()) < 0) return;
                }
            }
        });
    }

private:
    bool readable(int fd, int timeout_ms) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        return poll(fds, 2, timeout_ms) > 0 && fds[1].revents == 0 && fds[0].revents != 0;
    }

    int stop_ = eventfd(0, EFD_CLOEXEC);
    std::unique_ptr<SerialPair> line_;
    std::unique_ptr<LoopbackListener> listener_;
    int far_ = -1;       // the unit's end of the line or connection
    int accepted_ = -1;  // the connection, which this peer closes
    std::thread thread_;
};

standin::LinkSettings tcp_link(int port, int timeout_ms) {
    standin::LinkSettings link;
    link.port = std::to_string(port);
    link.timeout_ms = timeout_ms;
    return link;
}

}  // namespace

// The first read is answered after its timeout, once while the line settles
// and once after the next read went out; the second read's answer differs,
// so a late answer taken for it shows in its value.
TEST(LinkChecks, LateSerialAnswerIsNotTakenForTheNextRead) {
    for (const int late_ms : {300, 450}) {
        SCOPED_TRACE(late_ms);
        ScriptedPeer unit;
        const std::string device = unit.serial();
        ASSERT_FALSE(device.empty());
        unit.run(milliseconds(late_ms), [](int index, const Bytes&) {
            return std::vector<Bytes>{index == 0 ? with_crc({1, 4, 2, 0x11, 0x11})
                                                 : with_crc({1, 4, 2, 0x22, 0x22})};
        });
        standin::ModbusTransport transport(rtu_link(device));
        std::uint8_t bits[8];
        std::uint16_t words[2] = {0, 0};
        EXPECT_EQ(transport.execute(read_registers(10), bits, words).status, Status::NoAnswer);
        standin::Outcome second = transport.execute(read_registers(20), bits, words);
        if (second.status != Status::Answered)
            second = transport.execute(read_registers(20), bits, words);
        EXPECT_EQ(second.status, Status::Answered) << second.error;
        EXPECT_EQ(words[0], 0x2222);
    }
}

// On a healthy line an answer with another right behind it is not trusted
// (which of the two is ours?); the line settles and the next read is good.
TEST(LinkChecks, SerialAnswerWithCompanyIsNotTrusted) {
    ScriptedPeer unit;
    const std::string device = unit.serial();
    ASSERT_FALSE(device.empty());
    unit.run(milliseconds(0), [](int index, const Bytes&) {
        const Bytes own = with_crc({1, 4, 2, 0, static_cast<std::uint8_t>(index)});
        return index == 1 ? std::vector<Bytes>{own, own} : std::vector<Bytes>{own};
    });
    standin::ModbusTransport transport(rtu_link(device));
    std::uint8_t bits[8];
    std::uint16_t words[2] = {0, 0};
    for (const auto& [index, status] :
         {std::pair{0, Status::Answered}, std::pair{1, Status::NoAnswer},
          std::pair{2, Status::Answered}}) {
        const standin::Outcome outcome = transport.execute(read_registers(10), bits, words);
        EXPECT_EQ(outcome.status, status) << "read " << index << ": " << outcome.error;
        if (status == Status::Answered) {
            EXPECT_EQ(words[0], index);
        }
    }
}

TEST(LinkChecks, TcpAnswerMustFitTransactionUnitAndRequest) {
    struct Case {
        const char* name;
        std::function<std::vector<Bytes>(int transaction)> answer;
        Status status;
    };
    const Bytes good{4, 2, 0x12, 0x34};
    const Case cases[] = {
        {"own answer", [&](int t) { return std::vector<Bytes>{tcp_frame(t, 1, good)}; },
         Status::Answered},
        {"another unit's", [&](int t) { return std::vector<Bytes>{tcp_frame(t, 6, good)}; },
         Status::NoAnswer},
        {"another transaction's",
         [&](int t) { return std::vector<Bytes>{tcp_frame(t + 7, 1, good)}; }, Status::NoAnswer},
        {"earlier transaction's, then own",
         [&](int t) {
             return std::vector<Bytes>{tcp_frame(t - 1, 1, {4, 2, 0xDE, 0xAD}),
                                       tcp_frame(t, 1, good)};
         },
         Status::Answered},
        // Both in one segment; the duplicate is left over for the next request to skip.
        {"own, then a duplicate",
         [&](int t) { return std::vector<Bytes>{tcp_frame(t, 1, good) + tcp_frame(t, 1, good)}; },
         Status::Answered},
        {"after a duplicate, earlier transaction's and own",
         [&](int t) {
             return std::vector<Bytes>{tcp_frame(t - 1, 1, {4, 2, 0xDE, 0xAD}) +
                                       tcp_frame(t, 1, good)};
         },
         Status::Answered},
        {"wrong byte count",
         [&](int t) {
             return std::vector<Bytes>{tcp_frame(t, 1, {4, 4, 0, 1, 0, 2})};
         },
         Status::NoAnswer},
        {"exception",
         [&](int t) {
             return std::vector<Bytes>{tcp_frame(t, 1, {0x84, 2})};
         },
         Status::Exception},
    };
    // One connection for all cases: a skipped answer must not put the stream
    // out of step, and each request carries the next transaction id. The
    // peer's thread is joined before what it writes to goes out of scope.
    std::vector<int> transactions;
    ScriptedPeer peer;
    const int port = peer.listen_tcp();
    peer.run(milliseconds(0), [&](int index, const Bytes& request) {
        const int transaction = request.size() >= 2 ? (request[0] << 8 | request[1]) : -1;
        transactions.push_back(transaction);
        return cases[index % std::size(cases)].answer(transaction);
    });
    // Long enough that a loaded machine's slow peer still answers in time.
    standin::ModbusTransport transport(tcp_link(port, 1000));
    std::vector<Bytes> sent;
    transport.set_trace([&](bool out, const std::uint8_t* adu, std::size_t length) {
        if (out) sent.emplace_back(adu, adu + length);
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t bits[8];
        std::uint16_t words[2] = {0, 0};
        const standin::Outcome outcome = transport.execute(read_registers(10), bits, words);
        EXPECT_EQ(outcome.status, c.status) << outcome.error;
        EXPECT_EQ(words[0], c.status == Status::Answered ? 0x1234 : 0);
    }
    ASSERT_EQ(transactions.size(), std::size(cases));
    for (std::size_t i = 1; i < transactions.size(); ++i)
        EXPECT_EQ(transactions[i], transactions[i - 1] + 1);
    EXPECT_EQ(transport.stats().requests, static_cast<long>(std::size(cases)));
    EXPECT_EQ(transport.stats().timeouts, 2);
    EXPECT_EQ(transport.stats().reconnects, 0);
    ASSERT_EQ(sent.size(), std::size(cases));
    EXPECT_EQ(sent[0], standin::tcp_request(read_registers(10), 1,
                                            static_cast<std::uint16_t>(transactions[0])));
}

TEST(LinkChecks, WakeupEndsTheWaitForAnAnswer) {
    ScriptedPeer peer;
    const int port = peer.listen_tcp();
    peer.run(milliseconds(0), [](int, const Bytes&) { return std::vector<Bytes>{}; });
    standin::ModbusTransport transport(tcp_link(port, 10000));
    standin::Wakeup wakeup;
    transport.set_wakeup(&wakeup);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(100));
        wakeup.notify();
    });
    const auto start = Clock::now();
    std::uint8_t bits[8];
    std::uint16_t words[2];
    EXPECT_EQ(transport.execute(read_registers(10), bits, words).status, Status::Interrupted);
    stopper.join();
    EXPECT_LT(Clock::now() - start, milliseconds(5000));  // the timeout was 10 s
    EXPECT_FALSE(wakeup.wait_until(Clock::now() + milliseconds(10000)));
}

TEST(LinkChecks, SettingsAndLinkFailuresSayWhatIsWrong) {
    auto rtu_with = [](auto change) {
        standin::LinkSettings link = rtu_link("/dev/null");
        change(link);
        return link.check();
    };
    using L = standin::LinkSettings;
    const std::pair<std::string, const char*> settings[] = {
        {tcp_link(502, 100).check(), ""},
        {rtu_with([](L& l) { l.parity = 'e'; }), ""},
        {rtu_with([](L& l) { l.baud = 14400; }), "14400 baud is not"},
        {rtu_with([](L& l) { l.baud = 1800; }), "1800 baud is not"},
        {rtu_with([](L& l) { l.parity = 'x'; }), "parity"},
        {rtu_with([](L& l) { l.unit = 0; }), "outside 1..247"},
        {[] {
             L l = tcp_link(502, 100);
             l.unit = 255;
             return l.check();
         }(),
         ""},
        {[] {
             L l = tcp_link(502, 100);
             l.unit = 256;
             return l.check();
         }(),
         "outside 0..255"},
    };
    for (const auto& [fault, says] : settings) {
        if (*says == '\0') EXPECT_EQ(fault, "");
        else EXPECT_NE(fault.find(says), std::string::npos) << fault;
    }

    // A port nobody listens on: refused, and the next request in the pause
    // before the next attempt says nothing was sent.
    const int port = LoopbackListener(1).port();  // closed again at once
    standin::ModbusTransport refused(tcp_link(port, 200));
    std::uint8_t bits[8];
    std::uint16_t words[2];
    EXPECT_EQ(refused.execute(read_registers(1), bits, words).error,
              "connection refused by 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(refused.execute(read_registers(1), bits, words).error.rfind("not connected", 0), 0u);
    EXPECT_EQ(refused.stats().requests, 0);

    ScriptedPeer hangs_up;
    standin::ModbusTransport dropped(tcp_link(hangs_up.listen_tcp(), 2000));
    hangs_up.run(milliseconds(0), [](int, const Bytes&) { return std::vector<Bytes>{Bytes{}}; });
    const standin::Outcome closed = dropped.execute(read_registers(1), bits, words);
    EXPECT_EQ(closed.status, Status::LinkDown);
    EXPECT_EQ(closed.error, "connection closed by the unit");
    // Lost before any answer came over it: a failed attempt, so the next
    // request finds the pause before the next one.
    EXPECT_EQ(dropped.execute(read_registers(1), bits, words).error.rfind("not connected", 0), 0u);

    // A pseudo-terminal has no RS-485 mode and no modem control lines.
    ScriptedPeer line;
    standin::LinkSettings rs485 = rtu_link(line.serial());
    rs485.rs485 = true;
    standin::ModbusTransport no_rs485(rs485);
    const standin::Outcome unsupported = no_rs485.execute(read_registers(1), bits, words);
    EXPECT_EQ(unsupported.status, Status::LinkDown);
    EXPECT_NE(unsupported.error.find("RS-485"), std::string::npos) << unsupported.error;
}
