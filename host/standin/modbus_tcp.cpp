// The Modbus TCP socket: connecting to the unit or its gateway, sending a
// request, and receiving answers. The stream is read in as large pieces as it
// offers, so a whole answer, header and data, usually takes one wait and one
// read. Bytes beyond the answer just taken (a late duplicate, say) wait in the
// inbox for the next receive, where they are judged like any other frame: by
// transaction, unit, function and byte count.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/standin/modbus_transport.h"
#include "host/standin/modbus_transport_internal.h"

namespace standin {

namespace {

std::string endpoint(const LinkSettings& s) {
    const bool ipv6 = s.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + s.host + "]" : s.host) + ":" + s.port;
}

std::string connect_error(const LinkSettings& s, int error_number) {
    switch (error_number) {
        case ECONNREFUSED: return "connection refused by " + endpoint(s);
        case ENETUNREACH:
        case EHOSTUNREACH:
            return endpoint(s) + " is unreachable (" + std::strerror(error_number) + ")";
        case ETIMEDOUT:
            return "no answer from " + endpoint(s) + " within " + std::to_string(s.timeout_ms) +
                   " ms (unreachable?)";
        default: return "cannot connect to " + endpoint(s) + ": " + std::strerror(error_number);
    }
}

}  // namespace

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
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
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
                if (fds[1].revents != 0 || (wakeup_ && wakeup_->notified())) error_number = EINTR;
                else if (ready <= 0) error_number = ETIMEDOUT;
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

bool ModbusTransport::send_tcp(const Bytes& adu, std::string& error) {
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

Received ModbusTransport::receive_tcp(Clock::time_point deadline) {
    Received got;
    for (;;) {
        if (inbox_size_ >= kTcpHeader) {
            const std::uint8_t* h = inbox_;
            const std::size_t length = static_cast<std::size_t>((h[4] << 8) | h[5]);
            if (h[2] != 0 || h[3] != 0 || length < 2 || length > kMaxAdu - 6) {
                // Out of step: nothing buffered can be framed again.
                got.frame.assign(inbox_, inbox_ + inbox_size_);
                inbox_size_ = 0;
                return got.fail(Received::Garbled, "not a Modbus TCP answer");
            }
            const std::size_t size = 6 + length;
            if (inbox_size_ >= size) {
                got.frame.assign(inbox_, inbox_ + size);
                inbox_size_ -= size;
                std::memmove(inbox_, inbox_ + size, inbox_size_);
                if (trace_) trace_(false, got.frame.data(), got.frame.size());
                got.kind = Received::Frame;
                return got;
            }
        }
        const Wait wait = wait_readable(deadline);
        const int error_number = errno;
        if (wait != Wait::Ready) {
            // What is buffered is part of a frame still on its way; the
            // failure carries it, so the stream is not trusted to be in step.
            got.frame.assign(inbox_, inbox_ + inbox_size_);
            switch (wait) {
                case Wait::Timeout:
                    if (inbox_size_ == 0) return got.fail(Received::Timeout, "");
                    inbox_size_ = 0;
                    return got.fail(Received::Garbled, "answer cut short");
                case Wait::Interrupted: return got.fail(Received::Interrupted, "interrupted");
                case Wait::Ready:
                case Wait::Failed: break;
            }
            return got.fail(Received::Error, std::strerror(error_number));
        }
        // The inbox starts with the frame being received, at most kMaxAdu
        // long, so there is room for the rest of it.
        const int n = read_some(inbox_ + inbox_size_, sizeof inbox_ - inbox_size_);
        if (n == -2) continue;
        if (n == 0) return got.fail(Received::Closed, "connection closed by the unit");
        if (n < 0) return got.fail(Received::Error, std::strerror(errno));
        inbox_size_ += static_cast<std::size_t>(n);
    }
}

}  // namespace standin
