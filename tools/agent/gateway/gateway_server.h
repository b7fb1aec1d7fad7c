// A link's Modbus TCP gateway: one thread per link listening on the address
// `gateway` names, at most kMaxConnections clients, each with one request at
// a time: the next one is read only once the answer to the last is sent, so
// answers go back in order and with the client's own transaction id, and a
// client that floods is held back by its own connection. Loopback clients
// always connect; others only from a network in `allow_from`.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/agent/fleet/fleet.h"
#include "tools/agent/gateway/mbap.h"

namespace quillark_agent::gateway {

class Server : public LinkCompanion {
public:
    static constexpr std::size_t kMaxConnections = 32;
    // With every place taken, a new client takes the place of the one that
    // has been quiet longest, once that one has been quiet this long: a tool
    // left connected on a forgotten laptop does not lock the others out.
    static constexpr std::chrono::seconds kQuietBeforeGivingWay{5};

    // Listens at once; throws std::runtime_error when it cannot.
    Server(LinkWorker& link, const LinkConfig& config);
    ~Server() override;  // stops the thread and closes every connection
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The companion a link with a gateway gets, or null (the failure
    // logged) when its address cannot be listened on.
    static std::unique_ptr<LinkCompanion> for_link(LinkWorker& link);

private:
    struct Client;
    struct Inbox;  // answers from the link, shared with the requests still out

    void run();
    void accept_clients();
    bool admitted(const void* peer) const;
    bool make_room();
    bool read_from(Client& client);
    void next_request(Client& client);
    bool write_to(Client& client);
    void take_answers();

    LinkWorker& link_;
    GatewayConfig config_;
    std::string name_;  // the link's
    int listen_fd_ = -1;
    int stop_fd_ = -1;  // an eventfd
    std::shared_ptr<Inbox> inbox_;
    std::map<std::uint64_t, std::unique_ptr<Client>> clients_;  // the server thread's
    std::uint64_t next_id_ = 1;
    std::thread thread_;
};

}  // namespace quillark_agent::gateway
