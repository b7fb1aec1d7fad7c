#include "tools/agent/gateway/gateway_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/agent/log.h"

namespace quillark_agent::gateway {

namespace {

log::Throttle& refusals() {
    static log::Throttle throttle("gateway connections turned away");
    return throttle;
}

void signal_fd(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void drain_fd(int fd) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
}

std::string peer_text(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text,
                  sizeof text);
    return text;
}

int listen_on(const GatewayConfig& config) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, config.host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(config.port));
        length = sizeof v4;
    } else if (inet_pton(AF_INET6, config.host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(config.port));
        length = sizeof v6;
    } else {
        throw std::runtime_error("not an address: " + config.host);
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) throw std::runtime_error(std::strerror(errno));
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == -1 || listen(fd, 16) == -1) {
        const int error_number = errno;
        close(fd);
        throw std::runtime_error(std::strerror(error_number));
    }
    return fd;
}

}  // namespace

// One client: what it sent and has not been taken yet, whether its request
// waits for the link, and the answer being written.
struct Server::Client {
    int fd = -1;
    std::uint64_t id = 0;
    std::uint8_t in[kMaxFrame];
    std::size_t in_size = 0;
    bool waiting = false;
    bool half_closed = false;  // it will send nothing more
    std::chrono::steady_clock::time_point active = std::chrono::steady_clock::now();
    Frame request;
    standin::Bytes out;
    std::size_t out_sent = 0;
    ~Client() {
        if (fd != -1) close(fd);
    }
};

// Answers handed over by the link thread (or at once by the link's checks),
// by client; the server thread is woken through `fd`. Shared with every
// request still out, so an answer that comes after the server has gone
// lands here harmlessly.
struct Server::Inbox {
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, standin::Bytes>> answers;
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Inbox() {
        if (fd != -1) close(fd);
    }
};

Server::Server(LinkWorker& link, const LinkConfig& config)
    : link_(link), config_(config.gateway), name_(config.name), inbox_(std::make_shared<Inbox>()) {
    listen_fd_ = listen_on(config_);
    stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_fd_ == -1 || inbox_->fd == -1) {
        close(listen_fd_);
        if (stop_fd_ != -1) close(stop_fd_);
        throw std::runtime_error(std::strerror(errno));
    }
    thread_ = std::thread([this] { run(); });
}

Server::~Server() {
    signal_fd(stop_fd_);
    if (thread_.joinable()) thread_.join();
    clients_.clear();
    close(listen_fd_);
    close(stop_fd_);
}

std::unique_ptr<LinkCompanion> Server::for_link(LinkWorker& link) {
    const LinkConfig& config = link.config();
    if (config.gateway.port == 0) return nullptr;
    try {
        auto server = std::make_unique<Server>(link, config);
        log::info("link " + config.name + ": gateway listening on " + config.gateway.describe() +
                  (config.gateway.writes ? ", writes pass" : ", reads only"));
        return server;
    } catch (const std::runtime_error& e) {
        log::error("link " + config.name + ": gateway cannot listen on " +
                   config.gateway.describe() + ": " + e.what());
        return nullptr;
    }
}

void Server::run() {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    for (;;) {
        fds.assign({{stop_fd_, POLLIN, 0}, {inbox_->fd, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
        polled.clear();
        for (auto& [id, client] : clients_) {
            short events = client->half_closed ? 0 : POLLRDHUP;
            if (!client->waiting && client->out.empty()) events |= POLLIN;
            if (!client->out.empty()) events |= POLLOUT;
            fds.push_back({client->fd, events, 0});
            polled.push_back(client.get());
        }
        if (poll(fds.data(), fds.size(), -1) == -1 && errno != EINTR) {
            log::error("link " + name_ + ": gateway stopped: " + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) take_answers();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            const short got = fds[3 + i].revents;
            Client& client = *polled[i];
            bool keep = (got & (POLLERR | POLLNVAL | POLLHUP)) == 0;
            if (keep && (got & POLLOUT)) keep = write_to(client);
            if (keep && (got & (POLLIN | POLLRDHUP))) keep = read_from(client);
            if (!keep) clients_.erase(client.id);  // a late answer to it finds no one
        }
        // After the clients polled: making room may close one of them.
        if (fds[2].revents != 0) accept_clients();
        refusals().flush();
    }
}

void Server::accept_clients() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1) return;  // none left, or one that gave up meanwhile
        const std::string who = peer_text(peer);
        if (!admitted(&peer)) {
            close(fd);
            refusals().say(log::Priority::Warning, "link " + name_ + ": gateway turned away " +
                                                       who + ": not in allow_from");
            continue;
        }
        if (clients_.size() >= kMaxConnections && !make_room()) {
            close(fd);
            refusals().say(log::Priority::Warning,
                           "link " + name_ + ": gateway turned away " + who + ": already " +
                               std::to_string(kMaxConnections) + " connections");
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->id = next_id_++;
        clients_.emplace(client->id, std::move(client));
    }
}

// Closes the connection quiet longest, if one has been quiet long enough
// and has nothing out or on its way back.
bool Server::make_room() {
    const auto now = std::chrono::steady_clock::now();
    Client* quietest = nullptr;
    for (const auto& [id, client] : clients_) {
        if (client->waiting || !client->out.empty()) continue;
        if (quietest == nullptr || client->active < quietest->active) quietest = client.get();
    }
    if (quietest == nullptr || now - quietest->active < kQuietBeforeGivingWay) return false;
    const auto quiet_s = std::chrono::duration_cast<std::chrono::seconds>(now - quietest->active);
    refusals().say(log::Priority::Warning,
                   "link " + name_ + ": gateway closed a connection quiet for " +
                       std::to_string(quiet_s.count()) + " s to make room for a new one");
    clients_.erase(quietest->id);
    return true;
}

// Loopback always; any other address only from a network in allow_from.
bool Server::admitted(const void* address) const {
    const auto& peer = *static_cast<const sockaddr_storage*>(address);
    int family = peer.ss_family;
    const unsigned char* bytes = nullptr;
    if (family == AF_INET) {
        bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
    } else if (family == AF_INET6) {
        bytes = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr.s6_addr;
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(bytes, kMapped, 12) == 0) {
            family = AF_INET;  // an IPv4 peer on a dual-stack socket
            bytes += 12;
        }
    } else {
        return false;
    }
    if (family == AF_INET && bytes[0] == 127) return true;
    // Compared byte by byte: the address need not be aligned for in6_addr on ARM.
    if (family == AF_INET6 && std::memcmp(bytes, &in6addr_loopback, sizeof in6addr_loopback) == 0)
        return true;
    for (const Network& network : config_.allow_from)
        if (network.contains(family, bytes)) return true;
    return false;
}

// False when the client is to be closed: it hung up, or sent what is not Modbus TCP.
bool Server::read_from(Client& client) {
    if (client.waiting || !client.out.empty()) {
        // Only a hang-up is looked for while its request is out: a client
        // that sent its last request still gets the answer.
        client.half_closed = true;
        return true;
    }
    const ssize_t n = recv(client.fd, client.in + client.in_size, sizeof client.in - client.in_size,
                           MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    client.in_size += static_cast<std::size_t>(n);
    client.active = std::chrono::steady_clock::now();
    next_request(client);
    return client.fd != -1;
}

// Hands the client's next whole request, if it has sent one, to the link.
void Server::next_request(Client& client) {
    const long used = take_frame(client.in, client.in_size, client.request);
    if (used == 0) return;
    if (used < 0) {
        refusals().say(log::Priority::Warning,
                       "link " + name_ + ": gateway closed a connection that is not Modbus TCP");
        close(client.fd);
        client.fd = -1;
        return;
    }
    client.in_size -= static_cast<std::size_t>(used);
    std::memmove(client.in, client.in + used, client.in_size);
    client.waiting = true;
    GatewayRequest request;
    request.unit = client.request.unit;
    request.pdu = client.request.pdu;
    request.answer = [inbox = inbox_, id = client.id](standin::Bytes answer) {
        {
            std::lock_guard<std::mutex> lock(inbox->mutex);
            inbox->answers.emplace_back(id, std::move(answer));
        }
        signal_fd(inbox->fd);
    };
    link_.gateway_request(std::move(request));
}

bool Server::write_to(Client& client) {
    while (client.out_sent < client.out.size()) {
        const ssize_t n = send(client.fd, client.out.data() + client.out_sent,
                               client.out.size() - client.out_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        client.out_sent += static_cast<std::size_t>(n);
    }
    client.out.clear();
    client.out_sent = 0;
    client.active = std::chrono::steady_clock::now();
    // A request it sent behind the last one is taken now, in order.
    next_request(client);
    return client.fd != -1 && (client.waiting || !client.half_closed);
}

void Server::take_answers() {
    drain_fd(inbox_->fd);
    std::vector<std::pair<std::uint64_t, standin::Bytes>> answers;
    {
        std::lock_guard<std::mutex> lock(inbox_->mutex);
        answers.swap(inbox_->answers);
    }
    for (auto& [id, pdu] : answers) {
        const auto found = clients_.find(id);
        if (found == clients_.end()) continue;  // it hung up meanwhile
        Client& client = *found->second;
        client.waiting = false;
        client.out = answer_frame(client.request.transaction, client.request.unit, pdu);
        client.out_sent = 0;
    }
}

}  // namespace quillark_agent::gateway
