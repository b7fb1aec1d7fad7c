// The agent's HTTP listener: cpp-httplib's server for parsing, routing and
// answering, with its connections held here instead of one worker each.
//
// A thread of its own (the gate) holds every connection that has not yet sent
// a whole request, reading what comes without waiting on anyone, and closes
// it when the request is not whole in time. Only a whole request goes to a
// worker, which answers it and every whole request behind it, in order, and
// gives the connection back to the gate. So slow or idle clients cost a
// socket and a buffer each, never a worker, and their number is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <httplib.h>

#include "tools/agent/publish/http_security.h"

namespace quillark_agent {

// docs/agent.md states these.
struct HttpLimits {
    static constexpr std::size_t kConnections = 128;  // held at once, idle ones included
    // Sockets open at once: the connections held, and those just accepted
    // while the gate closes the longest-waiting ones to make room.
    static constexpr std::size_t kSockets = 192;
    static constexpr std::size_t kWorkers = 4;  // answers made at once
    static constexpr std::size_t kRequestBytes = 16 * 1024;
    static constexpr std::size_t kRequestsPerConnection = 100;
    // A whole request, from the connection's opening or from the previous answer.
    static constexpr std::chrono::seconds kRequestTime{10};
    // Writing one answer.
    static constexpr std::chrono::seconds kAnswerTime{30};
};

// The token and TLS context in force; asked for every new connection.
using SecuritySource = std::function<std::shared_ptr<const HttpSecurity>()>;

class Connection;
class Gate;

class HttpListener : public httplib::Server {
public:
    explicit HttpListener(SecuritySource security);
    ~HttpListener() override;

    // Binds to `host`, at `port` or, for 0, any free one; the port, or -1.
    int bind(const std::string& host, int port);

private:
    bool process_and_close_socket(socket_t sock) override;  // takes each accepted socket
    // True: the connection may carry another request.
    bool answer(Connection& c, const std::atomic<bool>& stopping);

    std::unique_ptr<Gate> gate_;
};

}  // namespace quillark_agent
