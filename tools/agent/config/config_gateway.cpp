// A link's Modbus TCP gateway: where it listens and who may connect. Modbus
// has no authentication, so a gateway off loopback must name the networks
// it serves.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "hostkit/common/args.h"
#include "tools/agent/config/config_reader.h"

namespace quillark_agent {

namespace {

bool on_loopback(const Network& n) {
    if (n.family == AF_INET) return n.address[0] == 127;
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(n.address, kLoopback6, 16) == 0;
}

}  // namespace

Network parse_network(const std::string& text) {
    Network n;
    n.text = text;
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), n.address) == 1) n.family = AF_INET;
    else if (inet_pton(AF_INET6, address.c_str(), n.address) == 1) n.family = AF_INET6;
    else throw std::invalid_argument("'" + text + "' is not an address or ADDRESS/BITS");
    const int most = n.family == AF_INET ? 32 : 128;
    n.bits = most;
    if (slash != std::string::npos) {
        try {
            n.bits =
                static_cast<int>(quillark_tools::parse_number(text.substr(slash + 1), 0, most));
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument("'" + text + "': the prefix must be 0.." +
                                        std::to_string(most) + " bits");
        }
    }
    return n;
}

bool Network::contains(int peer_family, const void* peer) const {
    if (peer_family != family) return false;
    const auto* bytes = static_cast<const unsigned char*>(peer);
    const int whole = bits / 8;
    if (std::memcmp(bytes, address, static_cast<std::size_t>(whole)) != 0) return false;
    const int rest = bits % 8;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == (address[whole] & mask);
}

std::string GatewayConfig::describe() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace config_detail {

void read_gateway(const Reader& r, const std::string& link, GatewayConfig& gateway) {
    const std::string head = "link '" + link + "': ";
    const toml::node* listen = r.get("gateway");
    const toml::node* allow = r.get("allow_from");
    gateway.writes = r.boolean("gateway_writes", false);
    if (listen == nullptr) {
        if (allow != nullptr) r.fail_at(*allow, head + "allow_from is for a link with a gateway");
        if (gateway.writes)
            r.fail_at(*r.get("gateway_writes"),
                      head + "gateway_writes is for a link with a gateway");
        return;
    }
    Network where;
    try {
        const auto endpoint = quillark_tools::parse_endpoint(r.text("gateway", ""), "127.0.0.1");
        where = parse_network(endpoint.host);
        gateway.host = endpoint.host;
        gateway.port = endpoint.port;
    } catch (const std::invalid_argument& e) {
        r.fail_at(*listen, head + "gateway: " + e.what());
    }
    if (allow != nullptr) {
        const toml::array* list = allow->as_array();
        if (list == nullptr || list->empty())
            r.fail_at(*allow, head + "allow_from must be a list of networks, \"10.0.0.0/24\"");
        for (const toml::node& entry : *list) {
            if (!entry.is_string())
                r.fail_at(entry, head + "allow_from: a network is written \"10.0.0.0/24\"");
            try {
                gateway.allow_from.push_back(parse_network(entry.as_string()->get()));
            } catch (const std::invalid_argument& e) {
                r.fail_at(entry, head + "allow_from: " + e.what());
            }
        }
    }
    if (!on_loopback(where) && gateway.allow_from.empty())
        r.fail_at(*listen, head + "gateway " + gateway.describe() +
                               " is not on loopback: Modbus has no authentication, so name the "
                               "networks that may connect with allow_from");
}

}  // namespace config_detail
}  // namespace quillark_agent
