// The [mqtt] section: the broker, what is published and how often.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "hostkit/common/args.h"
#include "quillark/points.h"
#include "tools/agent/config/config_reader.h"

namespace quillark_agent::config_detail {
namespace {

// A file the [mqtt] section names, read now: a missing or unreadable one is a
// mistake in the configuration, found before anything starts (or, on a
// reload, while the running configuration is kept).
std::string readable_file(const Reader& r, const char* key) {
    const std::string path = r.text(key, "");
    if (path.empty()) return path;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    char first = 0;
    if (!in || !in.get(first))
        r.fail_at(*r.get(key),
                  std::string("[mqtt]: ") + key + " " + path + ": cannot read the file" +
                      (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : ""));
    return path;
}

bool is_measurement(quillark::PointKind kind) {
    using quillark::PointKind;
    return kind == PointKind::Scaled || kind == PointKind::Raw || kind == PointKind::SupplyAirMean;
}

// The kind a deadband key names ("scaled" takes in the derived mean, shown
// in tenths like the temperatures it comes from), or false.
bool in_kind(const std::string& name, quillark::PointKind kind) {
    using quillark::PointKind;
    if (name == "scaled") return kind == PointKind::Scaled || kind == PointKind::SupplyAirMean;
    return name == "raw" && kind == PointKind::Raw;
}

// [mqtt.deadband]: `scaled` and `raw` for every point of the kind, a point id
// for one point; a point's own entry wins over its kind's.
std::vector<double> read_deadband(const std::string& source, const toml::node& node) {
    std::vector<double> deadband(quillark::kPoints.size(), 0.0);
    if (!node.is_table()) fail(source, node.source(), "[mqtt]: deadband must be a table");
    const toml::table& table = *node.as_table();
    Keys keys{"scaled", "raw"};
    for (const quillark::Point& point : quillark::kPoints)
        if (is_measurement(point.kind)) keys.insert(point.id);
    for (const auto& [key, value] : table)
        if (keys.count(std::string(key.str())) == 0)
            fail(source, key.source(),
                 "[mqtt.deadband]: '" + std::string(key.str()) +
                     "' is neither 'scaled', 'raw' nor the id of a measurement or set point");
    const Reader r(source, table, "[mqtt.deadband]", keys);
    for (const char* kind : {"scaled", "raw"}) {
        const double band = r.number(kind, 0.0, 0.0, 65535.0);
        for (std::size_t p = 0; p < deadband.size(); ++p)
            if (in_kind(kind, quillark::kPoints[p].kind)) deadband[p] = band;
    }
    for (std::size_t p = 0; p < deadband.size(); ++p)
        deadband[p] = r.number(quillark::kPoints[p].id, deadband[p], 0.0, 65535.0);
    return deadband;
}

void read_publishing(const std::string& source, const Reader& r, MqttConfig& mqtt) {
    const std::string status = r.text("status", "on-change");
    if (status != "on-change" && status != "every-round")
        r.fail_at(*r.get("status"), "[mqtt]: status must be \"on-change\" or \"every-round\"");
    mqtt.every_round = status == "every-round";
    mqtt.heartbeat_s = r.number("heartbeat", 60.0, 1.0, 86400.0);
    mqtt.status_qos = static_cast<int>(r.integer("status_qos", mqtt.qos, 0, 2));
    mqtt.deadband.assign(quillark::kPoints.size(), 0.0);
    if (const toml::node* deadband = r.get("deadband"))
        mqtt.deadband = read_deadband(source, *deadband);
    if (const toml::node* points = r.get("points")) {
        if (!points->is_boolean()) r.fail_at(*points, "[mqtt]: 'points' must be true or false");
        mqtt.points = points->as_boolean()->get();
    }
    mqtt.discovery_prefix = r.text("discovery_prefix", "");
    if (const toml::node* node = r.get("discovery_prefix");
        node != nullptr && (mqtt.discovery_prefix.empty() ||
                            mqtt.discovery_prefix.find_first_of("+#") != std::string::npos))
        r.fail_at(*node, "[mqtt]: discovery_prefix must be a topic without '+' or '#'");
}

}  // namespace

MqttConfig read_mqtt(const std::string& source, const toml::table& table) {
    Reader r(source, table, "[mqtt]",
             {"broker", "client_id", "prefix", "qos", "username", "password_file", "ca_file",
              "cert_file", "key_file", "status", "heartbeat", "status_qos", "deadband", "points",
              "discovery_prefix"});
    MqttConfig mqtt;
    mqtt.enabled = true;
    std::string broker = r.text("broker", "mqtt://127.0.0.1:1883");
    const std::size_t scheme = broker.find("://");
    const std::string kind = scheme == std::string::npos ? "mqtt" : broker.substr(0, scheme);
    if (kind != "mqtt" && kind != "mqtts")
        r.fail_at(*r.get("broker"),
                  "[mqtt]: broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    mqtt.tls = kind == "mqtts";
    std::string address = scheme == std::string::npos ? broker : broker.substr(scheme + 3);
    if (address.find(':') == std::string::npos) address += mqtt.tls ? ":8883" : ":1883";
    try {
        const auto endpoint = quillark_tools::parse_endpoint(address);
        mqtt.host = endpoint.host;
        mqtt.port = endpoint.port;
    } catch (const std::invalid_argument& e) {
        r.fail_at(*r.get("broker"), std::string("[mqtt]: broker: ") + e.what());
    }
    mqtt.client_id = r.text("client_id", mqtt.client_id);
    if (!valid_name(mqtt.client_id))
        r.fail_at(*r.get("client_id"), "[mqtt]: client_id must be letters, digits, '_' or '-'");
    mqtt.prefix = r.text("prefix", mqtt.prefix);
    if (mqtt.prefix.empty() || mqtt.prefix.find_first_of("+#") != std::string::npos)
        r.fail_at(*r.get("prefix"), "[mqtt]: prefix must be a topic without '+' or '#'");
    mqtt.qos = static_cast<int>(r.integer("qos", 1, 0, 2));
    mqtt.username = r.text("username", "");
    mqtt.password_file = readable_file(r, "password_file");
    mqtt.ca_file = readable_file(r, "ca_file");
    mqtt.cert_file = readable_file(r, "cert_file");
    mqtt.key_file = readable_file(r, "key_file");
    if (mqtt.cert_file.empty() != mqtt.key_file.empty())
        r.fail_at(*r.get(mqtt.cert_file.empty() ? "key_file" : "cert_file"),
                  "[mqtt]: cert_file and key_file go together");
    read_publishing(source, r, mqtt);
    return mqtt;
}

}  // namespace quillark_agent::config_detail
