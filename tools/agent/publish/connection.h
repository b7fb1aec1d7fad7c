// One HTTP connection of the agent, plain or TLS: what it has read and not yet
// answered, and the reads and writes on its socket, which never wait past a
// deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include <httplib.h>

namespace quillark_agent {

using Clock = std::chrono::steady_clock;

class Connection {
public:
    // Takes the socket, which must be non-blocking; `ssl` (or null) is already
    // bound to it. `open` counts the connections alive.
    Connection(int fd, SSL* ssl, std::atomic<std::size_t>& open);
    ~Connection();  // a TLS goodbye if it goes out at once, then the socket closed
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    enum class Pull { Read, Wait, Closed };
    // Reads what the socket holds into `in`, up to `limit` bytes in all,
    // without waiting; a TLS handshake first.
    Pull pull(std::size_t limit);
    // Sends `text` if the socket takes it at once: a last word before closing.
    void say(const std::string& text);

    int fd() const { return fd_; }
    bool wants_write() const { return want_write_; }

    std::string in;              // read and not yet answered
    bool peer_done = false;      // the client sent its last byte
    std::size_t served = 0;      // answers sent
    Clock::time_point since;     // opened, or its last answer sent
    Clock::time_point deadline;  // the next request must be in by then

private:
    friend class ConnectionStream;
    int fd_;
    SSL* ssl_;
    bool handshaken_;
    bool want_write_ = false;
    std::atomic<std::size_t>& open_;
};

// The connection as cpp-httplib reads and writes it while answering: bytes
// from `in` first (a request is only answered once it is whole), the socket
// after, and nothing waits past `deadline` or once `stopping` is set.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(Connection& c, Clock::time_point deadline, const std::atomic<bool>& stopping)
        : c_(c), deadline_(deadline), stopping_(stopping) {}

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, std::size_t size) override;
    ssize_t write(const char* ptr, std::size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return c_.fd_; }

    std::size_t consumed() const { return used_; }  // bytes of `in` handed to cpp-httplib

private:
    bool wait(short events) const;
    Connection& c_;
    Clock::time_point deadline_;
    const std::atomic<bool>& stopping_;
    std::size_t used_ = 0;
};

}  // namespace quillark_agent
