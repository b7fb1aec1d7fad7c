#include "hostkit/simunit/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <modbus.h>

namespace quillark_sim {

namespace {

// Enough for one poller process per unit id of a 50-unit gateway (the
// agent's scale run); a connection beyond this is closed on arrival.
constexpr int kMaxConnections = 64;
constexpr int kSerialRetryMs = 500;

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + modbus_strerror(errno));
}

int bound_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

const char* kind_name(Reply::Kind kind) {
    switch (kind) {
        case Reply::Answer: return "served";
        case Reply::Refuse: return "refused";
        case Reply::Silence: return "ignored";
    }
    return "?";
}

}  // namespace

Server::Server(SimulatedUnit& unit, ServerSettings settings)
    : Server(std::vector<SimulatedUnit*>{&unit}, std::move(settings)) {}

Server::Server(std::vector<SimulatedUnit*> units, ServerSettings settings)
    : units_(std::move(units)), settings_(std::move(settings)) {
    if (units_.empty() || settings_.link.unit + static_cast<int>(units_.size()) - 1 > 247)
        throw std::runtime_error("unit ids must lie in 1..247");
    // A serial line's framing layer drops frames for any other single unit id.
    if (units_.size() > 1 && settings_.link.kind != standin::LinkSettings::Kind::Tcp)
        throw std::runtime_error("a range of unit ids needs Modbus TCP");
    if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const standin::LinkSettings& link = settings_.link;
    if (link.kind == standin::LinkSettings::Kind::Tcp) {
        ctx_ = modbus_new_tcp_pi(link.host.c_str(), link.port.c_str());
        if (ctx_ == nullptr) throw failure("tcp " + link.host);
        listen_fd_ = modbus_tcp_pi_listen(ctx_, kMaxConnections);
        if (listen_fd_ == -1) {
            const auto error = failure("cannot listen on " + link.host + ":" + link.port);
            modbus_free(ctx_);
            ctx_ = nullptr;
            throw error;
        }
        port_ = bound_port(listen_fd_);
    } else {
        ctx_ = modbus_new_rtu(link.device.c_str(), link.baud, link.parity, link.data_bits,
                              link.stop_bits);
        if (ctx_ == nullptr) throw failure("rtu " + link.device);
        modbus_set_slave(ctx_, link.unit);
        if (!reopen_serial()) {
            const auto error = failure("cannot open " + link.device);
            modbus_free(ctx_);
            ctx_ = nullptr;
            throw error;
        }
    }
    // A request cut short must not hold the unit up for good.
    modbus_set_indication_timeout(ctx_, 1, 0);
}

Server::~Server() {
    stop();
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ != -1) close(listen_fd_);
    close_serial();
    if (ctx_ != nullptr) modbus_free(ctx_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

std::string Server::where() const {
    const standin::LinkSettings& link = settings_.link;
    if (link.kind == standin::LinkSettings::Kind::Rtu) return link.device;
    const bool ipv6 = link.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + link.host + "]" : link.host) + ":" + std::to_string(port_);
}

void Server::start() {
    thread_ = std::thread([this] { run(); });
}

void Server::stop() {
    const char byte = 1;
    // The pipe is never drained: once written, it stays readable.
    [[maybe_unused]] const ssize_t n = write(stop_pipe_[1], &byte, 1);
}

bool Server::pause(int ms) {
    pollfd stop{stop_pipe_[0], POLLIN, 0};
    while (true) {
        const int n = poll(&stop, 1, ms);
        if (n == -1 && errno == EINTR) continue;
        return n == 0;
    }
}

bool Server::reopen_serial() {
    if (modbus_connect(ctx_) == -1) return false;
    serial_fd_ = modbus_get_socket(ctx_);
    return true;
}

void Server::close_serial() {
    if (serial_fd_ == -1) return;
    modbus_close(ctx_);
    serial_fd_ = -1;
}

// Receives one request on `fd` and answers it. False when the connection or
// line is gone.
bool Server::serve_one(int fd) {
    modbus_set_socket(ctx_, fd);
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    const int rc = modbus_receive(ctx_, query);
    if (rc == -1) {
        const int error = errno;
        if (settings_.link.kind == standin::LinkSettings::Kind::Rtu &&
            (error == ETIMEDOUT || error == EMBBADCRC || error == EMBBADDATA)) {
            modbus_flush(ctx_);  // noise on the line: resynchronise on the next frame
            return true;
        }
        return false;
    }
    if (rc == 0) return true;  // a frame for another unit on the line
    const int header = modbus_get_header_length(ctx_);
    const int index = query[header - 1] - settings_.link.unit;
    if (index < 0 || index >= static_cast<int>(units_.size())) return true;
    SimulatedUnit& unit = *units_[static_cast<std::size_t>(index)];

    const Request request = parse_request(query + header, rc - header);
    const Reply reply = unit.decide(request);
    unit.observe(query + header, rc - header);
    if (settings_.verbose)
        std::fprintf(stderr, "quillark-sim: request %ld: function %d address %d count %d: %s%s\n",
                     unit.requests(), request.function, request.address, request.count,
                     kind_name(reply.kind),
                     reply.delay_ms > 0 && reply.kind != Reply::Silence ? " late" : "");
    if (reply.kind == Reply::Silence) return true;
    if (reply.delay_ms > 0 && !pause(reply.delay_ms)) return true;
    if (reply.kind == Reply::Refuse)
        modbus_reply_exception(ctx_, query, static_cast<unsigned>(reply.exception_code));
    else modbus_reply(ctx_, query, rc, unit.mapping());
    return true;
}

void Server::run() {
    std::vector<int> clients;
    std::vector<pollfd> fds;
    while (true) {
        fds.clear();
        fds.push_back({stop_pipe_[0], POLLIN, 0});
        const bool tcp = settings_.link.kind == standin::LinkSettings::Kind::Tcp;
        if (tcp) {
            fds.push_back({listen_fd_, POLLIN, 0});
            for (int fd : clients) fds.push_back({fd, POLLIN, 0});
        } else if (serial_fd_ != -1) {
            fds.push_back({serial_fd_, POLLIN, 0});
        }
        const int timeout = !tcp && serial_fd_ == -1 ? kSerialRetryMs : -1;
        const int n = poll(fds.data(), fds.size(), timeout);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 || fds[0].revents != 0) break;

        if (!tcp) {
            if (serial_fd_ == -1) {
                if (!reopen_serial() && settings_.verbose)
                    std::fprintf(stderr, "quillark-sim: cannot reopen %s: %s\n",
                                 settings_.link.device.c_str(), modbus_strerror(errno));
                continue;
            }
            if (fds[1].revents == 0) continue;
            const bool readable = (fds[1].revents & POLLIN) != 0;
            if (!readable || !serve_one(serial_fd_)) {
                // The line is gone (the other end hung up): reopen it shortly.
                close_serial();
                if (!pause(kSerialRetryMs)) break;
            }
            continue;
        }

        std::vector<int> gone;
        for (std::size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents != 0 && !serve_one(fds[i].fd)) gone.push_back(fds[i].fd);
        for (int fd : gone) {
            close(fd);
            clients.erase(std::find(clients.begin(), clients.end(), fd));
        }
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd != -1) {
                if (static_cast<int>(clients.size()) >= kMaxConnections) close(fd);
                else clients.push_back(fd);
            }
        }
    }
    for (int fd : clients) close(fd);
}

}  // namespace quillark_sim
