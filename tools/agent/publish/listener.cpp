#include "tools/agent/publish/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "tools/agent/publish/connection.h"
#include "tools/agent/publish/router.h"

namespace quillark_agent {

using Limits = HttpLimits;

// Accepted sockets go to the gate from the accepting thread at once.
class InlineQueue : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

class Gate {
public:
    // Answers what the connection holds; true if it may carry another request.
    using Answer = std::function<bool(Connection&, const std::atomic<bool>& stopping)>;
    Gate(Answer answer, SecuritySource security);
    ~Gate();
    void take(int fd);

private:
    void run();
    void work();
    void admit();
    void evict();
    void judge(std::unique_ptr<Connection>& c);
    // A full pipe already holds a wake-up; nothing is lost when this one fails.
    void wake() {
        if (::write(wake_[1], "", 1) < 0) return;
    }
    int next_timeout() const;

    Answer answer_;
    SecuritySource security_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> open_{0};
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable ready_cv_;
    std::vector<std::unique_ptr<Connection>> intake_;   // new, and back from a worker
    std::deque<std::unique_ptr<Connection>> ready_;     // a whole request each
    std::vector<std::unique_ptr<Connection>> waiting_;  // the gate thread's own
    std::thread gate_;
    std::vector<std::thread> workers_;
};

Gate::Gate(Answer answer, SecuritySource security)
    : answer_(std::move(answer)), security_(std::move(security)) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("http: no pipe for the listener");
    gate_ = std::thread([this] { run(); });
    for (std::size_t i = 0; i < Limits::kWorkers; ++i) workers_.emplace_back([this] { work(); });
}

Gate::~Gate() {
    stopping_ = true;
    wake();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_cv_.notify_all();
    }
    gate_.join();
    for (std::thread& w : workers_) w.join();
    intake_.clear();
    ready_.clear();
    waiting_.clear();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

// From the accepting thread. At kSockets the socket is closed at once;
// within it, the gate makes room by closing the connection that waited longest.
void Gate::take(int fd) {
    if (stopping_ || open_ >= Limits::kSockets) {
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    SSL* ssl = nullptr;
    if (const auto security = security_(); security && security->tls) {
        ssl = SSL_new(security->tls.get());
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
            SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    auto c = std::make_unique<Connection>(fd, ssl, open_);
    c->deadline = c->since + Limits::kRequestTime;
    std::lock_guard<std::mutex> lock(mutex_);
    intake_.push_back(std::move(c));
    wake();
}

void Gate::judge(std::unique_ptr<Connection>& c) {
    const Framing f = frame_request(c->in.data(), c->in.size(), Limits::kRequestBytes);
    if (f.kind == Framing::Complete) {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.push_back(std::move(c));
        ready_cv_.notify_one();
    } else if (f.kind == Framing::TooLarge) {
        c->say(
            "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        c.reset();
    } else if (f.kind == Framing::Bad) {
        c->say("HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        c.reset();
    } else if (c->peer_done) {
        c.reset();
    }
}

void Gate::admit() {
    std::vector<std::unique_ptr<Connection>> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(intake_);
    }
    // A client's request often came with its connection: read it before
    // anything is evicted, so that a flood of new connections does not push
    // out the one that asked.
    for (auto& c : taken) {
        const Connection::Pull pulled = c->pull(Limits::kRequestBytes);
        if (pulled == Connection::Pull::Closed && c->in.empty()) c.reset();
        else if (!c->in.empty()) judge(c);
        if (c) waiting_.push_back(std::move(c));
    }
    evict();
}

// Over the bound: the idle connection that waited longest goes first, then
// the one that has been sending its request longest.
void Gate::evict() {
    while (open_ > Limits::kConnections && !waiting_.empty()) {
        auto oldest = waiting_.begin();
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            const bool idle = (*it)->in.empty();
            const bool oldest_idle = (*oldest)->in.empty();
            if ((idle && !oldest_idle) || (idle == oldest_idle && (*it)->since < (*oldest)->since))
                oldest = it;
        }
        waiting_.erase(oldest);
    }
}

int Gate::next_timeout() const {
    if (waiting_.empty()) return -1;
    Clock::time_point first = waiting_.front()->deadline;
    for (const auto& c : waiting_) first = std::min(first, c->deadline);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

void Gate::run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        admit();
        const Clock::time_point now = Clock::now();
        waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                      [&](const auto& c) { return c->deadline <= now; }),
                       waiting_.end());
        fds.assign(1, pollfd{wake_[0], POLLIN, 0});
        for (const auto& c : waiting_)
            fds.push_back(
                pollfd{c->fd(), static_cast<short>(c->wants_write() ? POLLOUT : POLLIN), 0});
        if (::poll(fds.data(), fds.size(), next_timeout()) < 0) continue;
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        for (std::size_t i = 0; i < waiting_.size(); ++i) {
            if (fds[i + 1].revents == 0) continue;
            auto& c = waiting_[i];
            const Connection::Pull pulled = c->pull(Limits::kRequestBytes);
            if (pulled == Connection::Pull::Closed) c.reset();
            else if (pulled == Connection::Pull::Read) judge(c);
        }
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), nullptr), waiting_.end());
    }
}

void Gate::work() {
    while (true) {
        std::unique_ptr<Connection> c;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_cv_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
            if (stopping_) return;
            c = std::move(ready_.front());
            ready_.pop_front();
        }
        if (!answer_(*c, stopping_) || stopping_) continue;  // closed as it goes
        c->since = Clock::now();
        c->deadline = c->since + Limits::kRequestTime;
        std::lock_guard<std::mutex> lock(mutex_);
        intake_.push_back(std::move(c));
        wake();
    }
}

HttpListener::HttpListener(SecuritySource security) {
    new_task_queue = [] { return new InlineQueue; };
    // cpp-httplib writes these in its Keep-Alive header; the gate keeps them.
    set_keep_alive_max_count(Limits::kRequestsPerConnection);
    set_keep_alive_timeout(Limits::kRequestTime.count());
    gate_ = std::make_unique<Gate>(
        [this](Connection& c, const std::atomic<bool>& stopping) { return answer(c, stopping); },
        std::move(security));
}

HttpListener::~HttpListener() { gate_.reset(); }

int HttpListener::bind(const std::string& host, int port) {
    if (port == 0) port = bind_to_any_port(host);
    else if (!bind_to_port(host, port)) port = -1;
    // cpp-httplib's backlog of 5 would drop new clients' first tries in a
    // burst of connections; the gate takes them off the queue at once.
    if (port > 0) ::listen(svr_sock_, 64);
    return port;
}

bool HttpListener::process_and_close_socket(socket_t sock) {
    gate_->take(sock);
    return true;
}

// Answers every whole request the connection holds, in order.
bool HttpListener::answer(Connection& c, const std::atomic<bool>& stopping) {
    while (true) {
        const Framing f = frame_request(c.in.data(), c.in.size(), Limits::kRequestBytes);
        if (f.kind != Framing::Complete) return f.kind == Framing::Incomplete && !c.peer_done;
        ConnectionStream stream(c, Clock::now() + Limits::kAnswerTime, stopping);
        const bool last = ++c.served >= Limits::kRequestsPerConnection;
        bool closed = false;
        if (!process_request(stream, last, closed, nullptr)) return false;
        // cpp-httplib read the request otherwise than it was framed: there is
        // no telling where the next one starts.
        if (stream.consumed() != f.length) return false;
        c.in.erase(0, f.length);
        if (closed || last) return false;
    }
}

}  // namespace quillark_agent
