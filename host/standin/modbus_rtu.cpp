// The serial (RTU) line: opening and checking it through libmodbus, sending
// a request, receiving one answer frame, and quieting the line after trouble
// so that a late answer is never taken for the next request's.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <modbus.h>

#include "host/standin/modbus_transport.h"
#include "host/standin/modbus_transport_internal.h"

namespace standin {

namespace {

struct Speed {
    int rate;
    speed_t code;
};

// The rates libmodbus 3.1.6 maps to a termios speed, in its order. It has no
// case for 2000000 and quietly opens such a line at 9600, so neither do we.
constexpr Speed kSpeeds[] = {
    {110, B110},         {300, B300},         {600, B600},         {1200, B1200},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

std::vector<int> supported_baud_rates() {
    std::vector<int> rates;
    for (const Speed& speed : kSpeeds) rates.push_back(speed.rate);
    return rates;
}

bool ModbusTransport::open_rtu(std::string& error) {
    const std::string& device = settings_.device;
    if (modbus_connect(ctx_) == -1) {
        error = "cannot open " + device + ": " + modbus_strerror(errno);
        return false;
    }
    fd_ = modbus_get_socket(ctx_);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    auto fail = [&](std::string why) {
        error = device + ": " + why;
        modbus_close(ctx_);
        fd_ = -1;
        return false;
    };
    // libmodbus silently falls back to 9600 for a speed it does not know.
    termios line{};
    if (tcgetattr(fd_, &line) == -1)
        return fail(std::string("not a serial line: ") + std::strerror(errno));
    for (const Speed& speed : kSpeeds)
        if (speed.rate == settings_.baud && cfgetospeed(&line) != speed.code)
            return fail("the line did not take " + std::to_string(settings_.baud) + " baud");
    if (!settings_.rs485 && settings_.rts == LinkSettings::Rts::None) return true;
    // libmodbus reports success for RTS and RS-485 set-up even where the
    // line has no modem control at all (a pseudo-terminal): ask the line.
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) == -1)
        return fail(std::string("no modem control lines for RS-485 or RTS (") +
                    std::strerror(errno) + ")");
    if (settings_.rs485 && modbus_rtu_set_serial_mode(ctx_, MODBUS_RTU_RS485) == -1)
        return fail(std::string("the serial driver has no RS-485 mode (") + modbus_strerror(errno) +
                    "); try --rts");
    if (settings_.rts != LinkSettings::Rts::None) {
        const int mode =
            settings_.rts == LinkSettings::Rts::Up ? MODBUS_RTU_RTS_UP : MODBUS_RTU_RTS_DOWN;
        if (modbus_rtu_set_rts(ctx_, mode) == -1)
            return fail(std::string("cannot toggle RTS: ") + modbus_strerror(errno));
        if (settings_.rts_delay_us >= 0 &&
            modbus_rtu_set_rts_delay(ctx_, settings_.rts_delay_us) == -1)
            return fail(std::string("cannot set the RTS delay: ") + modbus_strerror(errno));
    }
    return true;
}

bool ModbusTransport::send_rtu(const Bytes& adu, std::string& error) {
    // Unit id, function and data: libmodbus adds the CRC and toggles RTS.
    if (modbus_send_raw_request(ctx_, adu.data(), static_cast<int>(adu.size() - 2)) == -1) {
        error = std::string("cannot send: ") + modbus_strerror(errno);
        return false;
    }
    return true;
}

Received ModbusTransport::receive_rtu(Clock::time_point deadline) {
    Received got;
    const auto byte_timeout =
        std::min(std::chrono::milliseconds(settings_.timeout_ms), kByteTimeout);
    auto until = deadline;
    for (;;) {
        const int length = rtu_answer_length(got.frame.data(), got.frame.size());
        if (length < 0 || length > 256)
            return got.fail(Received::Garbled, "not a Modbus RTU answer");
        const std::size_t want =
            length == 0 ? 1 : static_cast<std::size_t>(length) - got.frame.size();
        if (want == 0) break;
        switch (wait_readable(until)) {
            case Wait::Ready: break;
            case Wait::Timeout:
                if (got.frame.empty()) return got.fail(Received::Timeout, "");
                return got.fail(Received::Garbled, "answer cut short");
            case Wait::Interrupted: return got.fail(Received::Interrupted, "interrupted");
            case Wait::Failed: return got.fail(Received::Error, std::strerror(errno));
        }
        std::uint8_t bytes[kMaxAdu];
        const int n = read_some(bytes, std::min(want, sizeof bytes));
        if (n == -2) continue;
        if (n == 0) return got.fail(Received::Closed, "connection closed by the unit");
        if (n < 0) return got.fail(Received::Error, std::strerror(errno));
        got.frame.insert(got.frame.end(), bytes, bytes + n);
        // A serial answer, once begun, comes without long gaps.
        until = std::max(deadline, Clock::now() + byte_timeout);
    }
    if (trace_) trace_(false, got.frame.data(), got.frame.size());
    got.kind = Received::Frame;
    return got;
}

void ModbusTransport::discard_buffered() {
    if (ctx_ == nullptr) return;  // TCP answers are told apart by transaction id
    // Bytes waiting before a request is sent answer none of ours: a duplicate,
    // or a late answer. The line is suspect until an answer stands again.
    std::uint8_t bytes[kMaxAdu];
    int n;
    while ((n = read_some(bytes, sizeof bytes)) > 0) {
        if (trace_) trace_(false, bytes, static_cast<std::size_t>(n));
        suspect_ = true;
    }
    tcflush(fd_, TCIFLUSH);
}

std::chrono::microseconds ModbusTransport::frame_gap() const {
    // 3.5 character times of 11 bits end a frame on the line; above 19200
    // baud the gap is held at 1.75 ms, as units time it.
    return std::max(std::chrono::microseconds(1750),
                    std::chrono::microseconds(35LL * 11 * 100000 / settings_.baud));
}

bool ModbusTransport::settle() {
    if (ctx_ == nullptr || fd_ == -1) return false;
    suspect_ = true;
    // kSettle on top of the frame gap covers a unit still busy with a
    // request we gave up on.
    const auto quiet = kSettle + frame_gap();
    const auto give_up = Clock::now() + kMaxSettle;
    auto silent_until = Clock::now() + quiet;
    bool heard = false;
    while (wait_readable(std::min(silent_until, give_up)) == Wait::Ready) {
        std::uint8_t bytes[kMaxAdu];
        const int n = read_some(bytes, sizeof bytes);
        if (n == 0 || n == -1) return true;
        if (n > 0 && trace_) trace_(false, bytes, static_cast<std::size_t>(n));
        heard = heard || n > 0;
        silent_until = Clock::now() + quiet;
        if (Clock::now() >= give_up) return true;
    }
    return heard;
}

bool ModbusTransport::answer_stands() {
    if (ctx_ == nullptr) return true;
    if (!suspect_) {
        // A frame ends only with a frame gap of silence. Anything sooner
        // means this answer has company (a duplicate, a late answer), and
        // nothing tells which of them is ours.
        if (wait_readable(Clock::now() + frame_gap()) != Wait::Ready) return true;
        settle();
        return false;
    }
    if (settle()) return false;  // more answers followed: this one may be an earlier request's
    suspect_ = false;
    return true;
}

}  // namespace standin
