#include "tools/agent/publish/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace quillark_agent {
namespace {

void address_of(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in.sin6_addr, text, sizeof text);
        port = ntohs(in.sin6_port);
    }
    ip = text;
}

}  // namespace

Connection::Connection(int fd, SSL* ssl, std::atomic<std::size_t>& open)
    : since(Clock::now()), fd_(fd), ssl_(ssl), handshaken_(ssl == nullptr), open_(open) {
    ++open_;
}

Connection::~Connection() {
    if (ssl_ != nullptr) {
        if (handshaken_) {
            ERR_clear_error();
            SSL_shutdown(ssl_);
        }
        SSL_free(ssl_);
        ERR_clear_error();
    }
    ::close(fd_);
    --open_;
}

Connection::Pull Connection::pull(std::size_t limit) {
    want_write_ = false;
    if (!handshaken_) {
        ERR_clear_error();
        const int r = SSL_accept(ssl_);
        if (r != 1) {
            const int e = SSL_get_error(ssl_, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return Pull::Closed;
            want_write_ = e == SSL_ERROR_WANT_WRITE;
            return Pull::Wait;
        }
        handshaken_ = true;
    }
    bool read = false;
    char chunk[4096];
    while (in.size() < limit) {
        const std::size_t room = std::min(sizeof chunk, limit - in.size());
        ssize_t n;
        if (ssl_ != nullptr) {
            ERR_clear_error();
            n = SSL_read(ssl_, chunk, static_cast<int>(room));
            if (n <= 0) {
                const int e = SSL_get_error(ssl_, static_cast<int>(n));
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                    want_write_ = e == SSL_ERROR_WANT_WRITE;
                    break;
                }
                peer_done = true;
                break;
            }
        } else {
            n = ::recv(fd_, chunk, room, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
            if (n <= 0) {
                peer_done = true;
                break;
            }
        }
        in.append(chunk, static_cast<std::size_t>(n));
        read = true;
    }
    if (read) return Pull::Read;
    return peer_done ? Pull::Closed : Pull::Wait;
}

void Connection::say(const std::string& text) {
    if (ssl_ == nullptr) {
        (void)::send(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (handshaken_) {
        ERR_clear_error();
        (void)SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
    }
}

bool ConnectionStream::wait(short events) const {
    while (!stopping_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) return false;
        // In slices, so that a stopping agent is not kept by a slow client.
        pollfd p{c_.fd_, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 200)));
        if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

bool ConnectionStream::is_readable() const {
    if (used_ < c_.in.size()) return true;
    if (c_.ssl_ != nullptr && SSL_pending(c_.ssl_) > 0) return true;
    return wait(POLLIN);
}

bool ConnectionStream::is_writable() const { return !stopping_ && Clock::now() < deadline_; }

ssize_t ConnectionStream::read(char* ptr, std::size_t size) {
    if (used_ < c_.in.size()) {
        const std::size_t n = std::min(size, c_.in.size() - used_);
        std::memcpy(ptr, c_.in.data() + used_, n);
        used_ += n;
        return static_cast<ssize_t>(n);
    }
    // Past what was read whole: more than the framing promised. Read on into
    // `in`, so that the count of bytes used stays true.
    while (true) {
        char chunk[4096];
        const std::size_t room = std::min(size, sizeof chunk);
        ssize_t n;
        short events = POLLIN;
        if (c_.ssl_ != nullptr) {
            ERR_clear_error();
            n = SSL_read(c_.ssl_, chunk, static_cast<int>(room));
            if (n <= 0) {
                const int e = SSL_get_error(c_.ssl_, static_cast<int>(n));
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;
                events = e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
            }
        } else {
            n = ::recv(c_.fd_, chunk, room, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return -1;
        }
        if (n > 0) {
            c_.in.append(chunk, static_cast<std::size_t>(n));
            std::memcpy(ptr, chunk, static_cast<std::size_t>(n));
            used_ += static_cast<std::size_t>(n);
            return n;
        }
        if (!wait(events)) return -1;
    }
}

ssize_t ConnectionStream::write(const char* ptr, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n;
        short events = POLLOUT;
        if (c_.ssl_ != nullptr) {
            ERR_clear_error();
            n = SSL_write(c_.ssl_, ptr + sent,
                          static_cast<int>(std::min<std::size_t>(size - sent, 1 << 20)));
            if (n <= 0) {
                const int e = SSL_get_error(c_.ssl_, static_cast<int>(n));
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;
                events = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            }
        } else {
            n = ::send(c_.fd_, ptr + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        }
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        // Never 0 to cpp-httplib: it would ask again at once, for ever.
        if (!wait(events)) return -1;
    }
    return static_cast<ssize_t>(size);
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(c_.fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        address_of(address, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(c_.fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        address_of(address, ip, port);
}

}  // namespace quillark_agent
