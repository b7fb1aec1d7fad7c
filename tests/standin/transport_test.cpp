// The Modbus transport's judgement of write answers, checked through the
// driver's own confirmation, and how libmodbus errors count.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>
#include <modbus.h>

#include "tests/standin/link_fixtures.h"
#include "host/standin/master.h"
#include "host/standin/modbus_transport.h"
#include "quillark/quillark.h"

using standin_tests::Bytes;
using standin_tests::LoopbackListener;
using standin_tests::rtu_link;
using standin_tests::SerialPair;
using standin_tests::tcp_frame;
using standin_tests::with_crc;

using standin::Status;
using standin::WriteAnswer;
using std::chrono::milliseconds;

namespace {

Bytes rtu_frame(int unit, const Bytes& pdu) {
    Bytes frame = {static_cast<std::uint8_t>(unit)};
    for (std::uint8_t byte : pdu) frame.push_back(byte);
    frame.push_back(0xAA);  // CRC, already checked by libmodbus
    frame.push_back(0x55);
    return frame;
}

// The request a driver queues for a write command.
ModbusRequest request_for(Quillark& driver, int code, std::vector<std::uint16_t> words) {
    int unused = 0;
    driver.DeviceIoControl(code, words.data(), static_cast<int>(2 * words.size()), nullptr, 0,
                           unused);
    ModbusRequest request;
    EXPECT_TRUE(standin::take_request(driver, request));
    return request;
}

}  // namespace

TEST(Transport, WriteRequestBytes) {
    Quillark driver;
    EXPECT_EQ(standin::write_request_bytes(request_for(driver, IoWriteRegister, {100, 250}), 1),
              (Bytes{1, 6, 0, 100, 0, 250}));
    EXPECT_EQ(standin::write_request_bytes(
                  request_for(driver, IoWriteRegisters, {0x1234, 1, 2, 0xABCD}), 9),
              (Bytes{9, 16, 0x12, 0x34, 0, 3, 6, 0, 1, 0, 2, 0xAB, 0xCD}));
}

TEST(Transport, WriteAnswersConfirmOnlyAGoodEcho) {
    enum Expect { Confirmed, NotConfirmed, Refused, Foreign };
    struct Case {
        const char* name;
        bool multi;  // the write: 206 of 250 to register 100, or 210 of 3 values from 10
        bool tcp;
        Bytes frame;
        Expect expect;
    };
    const Case cases[] = {
        {"echo", false, true, tcp_frame(0, 1, {6, 0, 100, 0, 250}), Confirmed},
        {"echo over rtu", false, false, rtu_frame(1, {6, 0, 100, 0, 250}), Confirmed},
        {"other value", false, true, tcp_frame(0, 1, {6, 0, 100, 0, 251}), NotConfirmed},
        {"other register", false, true, tcp_frame(0, 1, {6, 0, 101, 0, 250}), NotConfirmed},
        {"other register over rtu", false, false, rtu_frame(1, {6, 1, 100, 0, 250}), NotConfirmed},
        {"exception", false, true, tcp_frame(0, 1, {0x86, 2}), Refused},
        {"exception over rtu", false, false, rtu_frame(1, {0x86, 4}), Refused},
        {"earlier transaction", false, true, tcp_frame(7, 1, {6, 0, 100, 0, 250}), Foreign},
        {"other unit", false, true, tcp_frame(0, 2, {6, 0, 100, 0, 250}), Foreign},
        {"other unit over rtu", false, false, rtu_frame(3, {6, 0, 100, 0, 250}), Foreign},
        {"late read answer", false, false, rtu_frame(1, {2, 1, 0x3F}), Foreign},
        {"exception to another function", false, true, tcp_frame(0, 1, {0x84, 2}), Foreign},
        {"cut short", false, true, tcp_frame(0, 1, {6, 0, 100}), Foreign},
        {"multi echo", true, true, tcp_frame(0, 1, {16, 0, 10, 0, 3}), Confirmed},
        {"multi echo over rtu", true, false, rtu_frame(1, {16, 0, 10, 0, 3}), Confirmed},
        {"multi other count", true, true, tcp_frame(0, 1, {16, 0, 10, 0, 2}), NotConfirmed},
        {"multi other start", true, true, tcp_frame(0, 1, {16, 0, 11, 0, 3}), NotConfirmed},
        {"multi exception", true, false, rtu_frame(1, {0x90, 2}), Refused},
        {"single echo to a multi write", true, true, tcp_frame(0, 1, {6, 0, 10, 0, 3}), Foreign},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Quillark driver;
        const ModbusRequest request = c.multi ? request_for(driver, IoWriteRegisters, {10, 7, 8, 9})
                                              : request_for(driver, IoWriteRegister, {100, 250});
        const WriteAnswer answer = standin::judge_write_answer(request, 1, c.tcp, c.frame.data(),
                                                               static_cast<int>(c.frame.size()));
        switch (c.expect) {
            case Foreign: EXPECT_EQ(answer.verdict, WriteAnswer::Foreign); break;
            case Refused:
                EXPECT_EQ(answer.verdict, WriteAnswer::Refused);
                EXPECT_EQ(answer.exception_code, c.frame[c.tcp ? 8 : 2]);
                break;
            case Confirmed:
            case NotConfirmed:
                ASSERT_EQ(answer.verdict, WriteAnswer::Echo) << answer.detail;
                driver.reg_buf[0] = answer.words[0];
                driver.reg_buf[1] = answer.words[1];
                driver.process_payload(SPModbus::TabRegisters, 1);
                EXPECT_EQ(driver.ctrl_result,
                          c.expect == Confirmed ? quillark::Confirmed : quillark::NotConfirmed);
                break;
        }
    }
}

TEST(Transport, LibmodbusErrorsCount) {
    const std::pair<int, Status> cases[] = {
        {ETIMEDOUT, Status::NoAnswer},   {EMBBADCRC, Status::NoAnswer},
        {EMBBADDATA, Status::NoAnswer},  {EMBMDATA, Status::NoAnswer},
        {EMBBADSLAVE, Status::NoAnswer}, {EMBBADEXC, Status::NoAnswer},
        {EMBXILFUN, Status::Exception},  {EMBXILADD, Status::Exception},
        {EMBXSBUSY, Status::Exception},  {EMBXGTAR, Status::Exception},
        {ECONNRESET, Status::LinkDown},  {ECONNREFUSED, Status::LinkDown},
        {EPIPE, Status::LinkDown},       {EIO, Status::LinkDown},
        {ENOENT, Status::LinkDown},      {EBADF, Status::LinkDown},
    };
    for (const auto& [error, status] : cases)
        EXPECT_EQ(standin::status_of_error(error), status) << modbus_strerror(error);
}

// The transport on a serial line whose far end is a scripted unit: a
// pseudo-terminal, driven by a thread that answers each request with
// prepared frames.
namespace {

class LineUnit {
public:
    ~LineUnit() {
        if (thread_.joinable()) thread_.join();
    }
    const std::string& device() const { return line_.device(); }

    // Waits for one request, then sends these frames.
    void answer_next(std::vector<Bytes> frames) {
        thread_ = std::thread([this, frames = std::move(frames)] {
            const int far = line_.far();
            pollfd line{far, POLLIN, 0};
            if (poll(&line, 1, 3000) != 1) return;
            std::uint8_t request[300];
            while (poll(&line, 1, 30) == 1)  // the whole request: until the line is quiet
                if (read(far, request, sizeof request) <= 0) break;
            for (const Bytes& frame : frames)
                if (write(far, frame.data(), frame.size()) < 0) return;
        });
    }

private:
    SerialPair line_;
    std::thread thread_;
};

}  // namespace

TEST(TransportOnALine, AnswersAreJudgedAsTheUnitSentThem) {
    const Bytes echo = with_crc({1, 6, 0, 100, 0, 250});
    Bytes bad_crc = echo;
    bad_crc[bad_crc.size() - 1] ^= 0xFF;
    struct Case {
        const char* name;
        std::vector<Bytes> frames;
        int result;  // ctrl_result after the write
    };
    const Case cases[] = {
        {"echo", {echo}, 1},
        {"late read answer, then the echo", {with_crc({1, 2, 1, 0x3F}), echo}, 1},
        {"other unit's echo only", {with_crc({2, 6, 0, 100, 0, 250})}, -1},
        {"echo of another register", {with_crc({1, 6, 0, 101, 0, 250})}, 3},
        {"echo with a bad CRC", {bad_crc}, 3},
        {"exception", {with_crc({1, 0x86, 2})}, 3},
        {"nothing", {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineUnit unit;
        ASSERT_FALSE(unit.device().empty());
        standin::ModbusTransport transport(rtu_link(unit.device()));
        standin::Master master(transport);
        Quillark driver;
        unit.answer_next(c.frames);
        const std::uint16_t words[] = {100, 250};
        int unused = 0;
        driver.DeviceIoControl(IoWriteRegister, words, sizeof words, nullptr, 0, unused);
        testing::internal::CaptureStdout();
        master.pump(driver);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(driver.ctrl_result, c.result);
        EXPECT_EQ(said, c.result == -1 ? "SPModbus get error\n" : "");
    }
}

TEST(TransportOnALine, GarbledReadEndsTheRound) {
    LineUnit unit;
    ASSERT_FALSE(unit.device().empty());
    standin::ModbusTransport transport(rtu_link(unit.device()));
    standin::Master master(transport);
    Quillark driver;
    Bytes answer = with_crc({1, 2, 1, 0x3F});
    answer[3] ^= 0x01;
    unit.answer_next({answer});
    testing::internal::CaptureStdout();
    const standin::PumpResult result = master.run_round(driver);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SPModbus get error\n");
    EXPECT_EQ(result.requests, 1);
    EXPECT_EQ(result.outcome.status, Status::NoAnswer);
    EXPECT_FALSE(driver.data_ready);
}

namespace {

// A Modbus TCP peer that echoes each single-register write, holding back the
// echo of the first write on the first connection.
class EchoPeer {
public:
    explicit EchoPeer(milliseconds first_delay) : first_delay_(first_delay) {
        acceptor_ = std::thread([this] { accept_two(); });
    }
    ~EchoPeer() {
        shutdown(listener_.fd(), SHUT_RDWR);
        acceptor_.join();
    }
    int port() const { return listener_.port(); }

private:
    void accept_two() {
        const int first = accept(listener_.fd(), nullptr, nullptr);
        if (first == -1) return;
        std::thread held_back([this, first] { serve(first, first_delay_); });
        pollfd wait{listener_.fd(), POLLIN, 0};
        if (poll(&wait, 1, 2000) == 1) {
            const int second = accept(listener_.fd(), nullptr, nullptr);
            if (second != -1) serve(second, milliseconds(0));
        }
        held_back.join();
    }

    static void serve(int fd, milliseconds delay) {
        for (int request = 0; request < 2; ++request) {
            std::uint8_t frame[12];
            std::size_t got = 0;
            pollfd line{fd, POLLIN, 0};
            while (got < sizeof frame && poll(&line, 1, 1500) == 1) {
                const ssize_t n = read(fd, frame + got, sizeof frame - got);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            if (got < sizeof frame) break;
            if (request == 0) std::this_thread::sleep_for(delay);
            if (send(fd, frame, sizeof frame, MSG_NOSIGNAL) != sizeof frame) break;
        }
        close(fd);
    }

    milliseconds first_delay_;
    LoopbackListener listener_{4};
    std::thread acceptor_;
};

}  // namespace

TEST(TransportOverTcp, LateEchoIsNotTakenForTheNextWrite) {
    EchoPeer peer(milliseconds(350));
    standin::LinkSettings link;
    link.port = std::to_string(peer.port());
    link.timeout_ms = 200;
    standin::ModbusTransport transport(link);
    standin::Master master(transport);
    Quillark driver;
    int unused = 0;
    auto write = [&](std::uint16_t value) {
        const std::uint16_t words[] = {100, value};
        driver.DeviceIoControl(IoWriteRegister, words, sizeof words, nullptr, 0, unused);
        testing::internal::CaptureStdout();
        master.pump(driver);
        testing::internal::GetCapturedStdout();
        return driver.ctrl_result.load();
    };
    EXPECT_EQ(write(1), -1);  // its echo comes too late
    EXPECT_EQ(write(2), 1);   // and must not be judged as this one's
}
