// The link's side of its Modbus TCP gateway: the requests that wait for the
// link, what may pass to a unit, and the turns they take with the agent's
// own requests. The server that takes them from the network lives elsewhere
// and is attached to the link as a companion; the fleet knows it by that
// interface alone.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

#include "host/standin/master.h"
#include "host/standin/modbus_relay.h"

namespace quillark_agent {

// One request from a gateway client.
struct GatewayRequest {
    int unit = 0;        // the unit id it is addressed to
    standin::Bytes pdu;  // function code and data, as the client sent them
    // Called once with the answer PDU (the unit's, or an exception), from the
    // thread that decided it; it must not block.
    std::function<void(standin::Bytes)> answer;
};

// 0 when the request may go to a unit whose writable registers are
// `writable`, else the exception code it gets: 1 for a function not passed
// (a write while writes do not pass), 2 for a write to an address not
// listed, 3 for a malformed request. Coils (5, 15) and holding registers
// (6, 16) alike are written only at the addresses listed.
int gateway_refusal(const standin::Bytes& pdu, bool writes_pass, const std::set<int>& writable);

// Functions 5, 6, 15 and 16.
bool is_gateway_write(std::uint8_t function);

// Something that lives beside a running link and uses it, such as its
// gateway's server: made once the link runs, gone before the link stops.
class LinkCompanion {
public:
    virtual ~LinkCompanion() = default;
};

// The transport the link's master talks to: before each of the agent's own
// requests it lets the gateway's waiting requests go (`between`), so a
// gateway request waits for the one request in flight and not for a round.
class GatewayTurns : public standin::Transport {
public:
    GatewayTurns(standin::Transport& link, std::function<void()> between)
        : link_(link), between_(std::move(between)) {}
    standin::Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                             std::uint16_t* words) override {
        between_();
        return link_.execute(request, bits, words);
    }
    void count_retry() override { link_.count_retry(); }

private:
    standin::Transport& link_;
    std::function<void()> between_;
};

}  // namespace quillark_agent
