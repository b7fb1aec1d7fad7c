// The byte level of the stand-in host's transport: opening the link, sending
// one request frame, receiving one answer frame, and quieting a serial line.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <modbus.h>

#include "modbus_transport.h"
#include "modbus_transport_internal.h"

namespace standin {

using Clock = std::chrono::steady_clock;

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

std::string endpoint(const LinkSettings& s) {
    const bool ipv6 = s.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + s.host + "]" : s.host) + ":" + s.port;
}

std::string connect_error(const LinkSettings& s, int error_number) {
    switch (error_number) {
        case ECONNREFUSED: return "connection refused by " + endpoint(s);
        case ENETUNREACH:
        case EHOSTUNREACH: return endpoint(s) + " is unreachable (" + std::strerror(error_number) + ")";
        case ETIMEDOUT:
            return "no answer from " + endpoint(s) + " within " + std::to_string(s.timeout_ms) +
                   " ms (unreachable?)";
        default: return "cannot connect to " + endpoint(s) + ": " + std::strerror(error_number);
    }
}

}  // namespace

std::vector<int> supported_baud_rates() {
    std::vector<int> rates;
    for (const Speed& speed : kSpeeds) rates.push_back(speed.rate);
    return rates;
}

ModbusTransport::Wait ModbusTransport::wait_readable(Clock::time_point deadline) const {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeup_ ? wakeup_->fd() : -1, POLLIN, 0}};
    for (;;) {
        if (wakeup_ && wakeup_->notified()) return Wait::Interrupted;
        const int rc = poll(fds, 2, poll_timeout_ms(deadline));
        if (rc == -1 && errno == EINTR) continue;
        if (rc == -1) return Wait::Failed;
        if (fds[1].revents != 0) return Wait::Interrupted;
        if (fds[0].revents != 0) return Wait::Ready;
        if (Clock::now() >= deadline) return Wait::Timeout;
    }
}

bool ModbusTransport::open_tcp(std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(settings_.host.c_str(), settings_.port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + endpoint(settings_) + ": " + gai_strerror(rc);
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    int last_error = ETIMEDOUT;
    for (addrinfo* a = found; a != nullptr && fd_ == -1; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              a->ai_protocol);
        if (fd == -1) {
            last_error = errno;
            continue;
        }
        fd_ = fd;
        int error_number = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == -1) {
            error_number = errno;
            if (error_number == EINPROGRESS) {
                pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeup_ ? wakeup_->fd() : -1, POLLIN, 0}};
                int ready;
                do ready = poll(fds, 2, poll_timeout_ms(deadline));
                while (ready == -1 && errno == EINTR && !(wakeup_ && wakeup_->notified()));
                socklen_t length = sizeof error_number;
                if (fds[1].revents != 0 || (wakeup_ && wakeup_->notified()))
                    error_number = EINTR;
                else if (ready <= 0)
                    error_number = ETIMEDOUT;
                else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error_number, &length) == -1)
                    error_number = errno;
            }
        }
        if (error_number != 0) {
            close(fd);
            fd_ = -1;
            last_error = error_number;
            if (error_number == EINTR) break;
        }
    }
    freeaddrinfo(found);
    if (fd_ == -1) {
        error = last_error == EINTR ? "interrupted" : connect_error(settings_, last_error);
        return false;
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
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
    if (tcgetattr(fd_, &line) == -1) return fail(std::string("not a serial line: ") + std::strerror(errno));
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
        return fail(std::string("the serial driver has no RS-485 mode (") +
                    modbus_strerror(errno) + "); try --rts");
    if (settings_.rts != LinkSettings::Rts::None) {
        const int mode = settings_.rts == LinkSettings::Rts::Up ? MODBUS_RTU_RTS_UP
                                                                 : MODBUS_RTU_RTS_DOWN;
        if (modbus_rtu_set_rts(ctx_, mode) == -1)
            return fail(std::string("cannot toggle RTS: ") + modbus_strerror(errno));
        if (settings_.rts_delay_us >= 0 &&
            modbus_rtu_set_rts_delay(ctx_, settings_.rts_delay_us) == -1)
            return fail(std::string("cannot set the RTS delay: ") + modbus_strerror(errno));
    }
    return true;
}

bool ModbusTransport::send(const Bytes& adu, std::string& error) {
    if (trace_) trace_(true, adu.data(), adu.size());
    if (ctx_ != nullptr) {
        // Unit id, function and data: libmodbus adds the CRC and toggles RTS.
        if (modbus_send_raw_request(ctx_, adu.data(), static_cast<int>(adu.size() - 2)) == -1) {
            error = std::string("cannot send: ") + modbus_strerror(errno);
            return false;
        }
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    std::size_t sent = 0;
    while (sent < adu.size()) {
        const ssize_t n = ::send(fd_, adu.data() + sent, adu.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && errno == EAGAIN) {
            pollfd out{fd_, POLLOUT, 0};
            if (poll(&out, 1, poll_timeout_ms(deadline)) > 0) continue;
            errno = ETIMEDOUT;
        }
        error = std::string("cannot send: ") +
                (errno == EPIPE ? "connection closed by the unit" : std::strerror(errno));
        return false;
    }
    return true;
}

int ModbusTransport::read_some(std::uint8_t* into, std::size_t want) {
    for (;;) {
        const ssize_t n = read(fd_, into, want);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && errno == EAGAIN) return -2;  // nothing after all; wait again
        return static_cast<int>(n);
    }
}

Received ModbusTransport::receive(Clock::time_point deadline) {
    if (ctx_ == nullptr) return receive_tcp(deadline);
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
