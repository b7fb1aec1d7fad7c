// The agent's configuration: links, the units on them, the HTTP listener and
// the MQTT broker, read from one TOML file.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/standin/modbus_transport.h"

namespace quillark_agent {

// A mistake in the file, with where it is: "agent.toml:12:3: ...".
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A network, "10.0.0.0/24" or "fd00::/64"; a bare address is the one host.
struct Network {
    int family = 0;  // AF_INET or AF_INET6
    unsigned char address[16] = {};
    int bits = 0;  // the prefix's length
    std::string text;

    bool contains(int family, const void* address) const;  // an in_addr or in6_addr
};

// Throws std::invalid_argument naming what is wrong.
Network parse_network(const std::string& text);

// The link's Modbus TCP gateway: a server on `host`:`port` passing its
// clients' requests to the units on the link.
struct GatewayConfig {
    std::string host;
    int port = 0;                     // 0: no gateway
    std::vector<Network> allow_from;  // who besides loopback may connect
    bool writes = false;              // writes pass, to the registers a unit lists in `writes`
    std::string describe() const;     // "127.0.0.1:1502"
};

struct LinkConfig {
    std::string name;
    // `unit` is set per unit before each request; `retries`: resends of a
    // read that got no usable answer.
    standin::LinkSettings settings;
    GatewayConfig gateway;
};

struct UnitConfig {
    std::string name;
    std::string link;
    int unit_id = 1;
    unsigned int device_id = 1;
    double interval_s = 10.0;
    Json::Value settings;  // handed to the driver's InitSetting
    std::set<int> writes;  // registers MQTT (and the link's gateway, if it passes writes) may write
};

struct HttpConfig {
    std::string host = "127.0.0.1";
    int port = 9786;
    std::string token_file;  // bearer token for the API and /metrics; required off loopback
    std::string cert_file;   // TLS: the certificate chain and its key, together
    std::string key_file;
    std::string client_ca_file;        // TLS: clients must show a certificate this CA signed
    bool insecure_plain_http = false;  // off loopback without TLS, asked for by name
    // Where each key was written ("agent.toml:3:10"), for errors about what it names.
    std::map<std::string, std::string> where;
};

struct MqttConfig {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    bool tls = false;  // mqtts://
    std::string client_id = "quillark-agent";
    std::string prefix = "quillark";
    int qos = 1;
    std::string username;
    std::string password_file;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    // A unit's status: every round, or (by default) when a point changed by
    // more than its deadband since the last status sent, and at least every
    // heartbeat_s seconds.
    bool every_round = false;
    double heartbeat_s = 60;
    int status_qos = 1;  // status and per-point topics; the rest use qos
    // Per point, by index into the point table: how far a number may move
    // before it counts as changed (0: any change counts).
    std::vector<double> deadband;
    bool points = false;           // <prefix>/<unit>/point/<id>, one retained topic per point
    std::string discovery_prefix;  // Home Assistant's discovery topics; empty: none
};

// A [[notify]] section: a command run for the events it selects.
struct NotifyRule {
    std::vector<std::string> events;   // event kinds
    std::vector<std::string> units;    // names, '*' and '?' patterns; empty: every unit
    std::vector<std::string> points;   // point ids or keys, patterns; empty: every point
    std::vector<std::string> command;  // argument list, run without a shell
    double hold_s = 0;                 // how long an alarm or outage must last before it is told
    double repeat_s = 0;               // tell again this often while it lasts; 0: never
};

// The kinds of event the agent records.
const std::vector<std::string>& event_kinds();

struct AgentConfig {
    std::string state_dir;        // [agent] state_dir: where the event journal is kept
    bool history = true;          // [agent] history: keep each unit's trends
    double history_save_s = 300;  // [agent] history_save: seconds between saves of them
    HttpConfig http;
    MqttConfig mqtt;
    std::vector<LinkConfig> links;
    std::vector<UnitConfig> units;
    std::vector<NotifyRule> notify;
};

// Whether a reload may leave a running link or unit as it is: every setting
// the same (a link's `unit`, set per request, aside).
bool same_link(const LinkConfig& a, const LinkConfig& b);
bool same_unit(const UnitConfig& a, const UnitConfig& b);
bool same_mqtt(const MqttConfig& a, const MqttConfig& b);

// Letters, digits, '_' and '-', not empty and not "agent".
bool valid_name(const std::string& name);

// Throws ConfigError naming the file, line and column.
AgentConfig load_config(const std::string& path);
AgentConfig parse_config(const std::string& text, const std::string& source);

}  // namespace quillark_agent
