#include "tools/agent/config/config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include <toml++/toml.h>

#include "hostkit/common/args.h"
#include "tools/agent/config/config_reader.h"

namespace quillark_agent {
namespace {

using config_detail::array_of_tables;
using config_detail::fail;
using config_detail::read_mqtt;
using config_detail::Reader;

Json::Value to_json(const Reader& r, const toml::node& node) {
    if (const auto* t = node.as_table()) {
        Json::Value out(Json::objectValue);
        for (const auto& [key, value] : *t) out[std::string(key.str())] = to_json(r, value);
        return out;
    }
    if (const auto* a = node.as_array()) {
        Json::Value out(Json::arrayValue);
        for (const auto& value : *a) out.append(to_json(r, value));
        return out;
    }
    if (const auto* s = node.as_string()) return Json::Value(s->get());
    if (const auto* i = node.as_integer()) return Json::Value(static_cast<Json::Int64>(i->get()));
    if (const auto* f = node.as_floating_point()) return Json::Value(f->get());
    if (const auto* b = node.as_boolean()) return Json::Value(b->get());
    r.fail_at(node, "settings: dates and times cannot be handed to the driver");
}

HttpConfig read_http(const std::string& source, const toml::table& table) {
    Reader r(
        source, table, "[http]",
        {"listen", "token_file", "cert_file", "key_file", "client_ca_file", "insecure_plain_http"});
    HttpConfig http;
    for (const auto& [key, node] : table)
        http.where[std::string(key.str())] = source + ":" +
                                             std::to_string(node.source().begin.line) + ":" +
                                             std::to_string(node.source().begin.column);
    http.token_file = r.text("token_file", "");
    http.cert_file = r.text("cert_file", "");
    http.key_file = r.text("key_file", "");
    http.client_ca_file = r.text("client_ca_file", "");
    if (const toml::node* insecure = r.get("insecure_plain_http")) {
        if (!insecure->is_boolean())
            r.fail_at(*insecure, "[http]: 'insecure_plain_http' must be true or false");
        http.insecure_plain_http = insecure->as_boolean()->get();
    }
    const toml::node* listen = r.get("listen");
    if (listen == nullptr) return http;
    try {
        const auto endpoint =
            quillark_tools::parse_endpoint(r.text("listen", ""), "127.0.0.1", true);
        http.host = endpoint.host;
        http.port = endpoint.port;
    } catch (const std::invalid_argument& e) {
        r.fail_at(*listen, std::string("[http]: listen: ") + e.what());
    }
    return http;
}

LinkConfig read_link(const std::string& source, const toml::table& table) {
    Reader r(source, table, "[[link]]",
             {"name", "tcp", "rtu", "baud", "parity", "data_bits", "stop_bits", "timeout_ms",
              "retries", "gateway", "allow_from", "gateway_writes"});
    LinkConfig link;
    link.name = r.name();
    const toml::node* tcp = r.get("tcp");
    const toml::node* rtu = r.get("rtu");
    if ((tcp == nullptr) == (rtu == nullptr))
        r.fail_here("link '" + link.name + "' needs either tcp or rtu");
    standin::LinkSettings& s = link.settings;
    if (tcp != nullptr) {
        std::string address = r.text("tcp", "");
        if (address.find(':') == std::string::npos) address += ":502";
        try {
            const auto endpoint = quillark_tools::parse_endpoint(address);
            s.host = endpoint.host;
            s.port = std::to_string(endpoint.port);
        } catch (const std::invalid_argument& e) {
            r.fail_at(*tcp, "link '" + link.name + "': tcp: " + e.what());
        }
        for (const char* serial : {"baud", "parity", "data_bits", "stop_bits"})
            if (const toml::node* node = r.get(serial))
                r.fail_at(*node, "link '" + link.name + "': '" + serial + "' is for rtu links");
    } else {
        s.kind = standin::LinkSettings::Kind::Rtu;
        s.device = r.text("rtu", "");
        if (s.device.empty()) r.fail_at(*rtu, "link '" + link.name + "': rtu needs a device");
        s.baud = static_cast<int>(r.integer("baud", 9600, 50, 4000000));
        const std::string parity = r.text("parity", "N");
        if (parity != "N" && parity != "E" && parity != "O")
            r.fail_at(*r.get("parity"),
                      "link '" + link.name + "': parity must be \"N\", \"E\" or \"O\"");
        s.parity = parity[0];
        s.data_bits = static_cast<int>(r.integer("data_bits", 8, 5, 8));
        s.stop_bits = static_cast<int>(r.integer("stop_bits", 1, 1, 2));
    }
    s.timeout_ms = static_cast<int>(r.integer("timeout_ms", 1000, 1, 600000));
    s.retries = static_cast<int>(r.integer("retries", 1, 0, 10));
    try {
        standin::ModbusTransport check(s);  // libmodbus's own judgement; opens nothing
    } catch (const std::invalid_argument& e) {
        r.fail_here("link '" + link.name + "': " + e.what());
    }
    config_detail::read_gateway(r, link.name, link.gateway);
    return link;
}

UnitConfig read_unit(const std::string& source, const toml::table& table) {
    Reader r(source, table, "[[unit]]",
             {"name", "link", "unit_id", "device_id", "interval", "settings", "writes"});
    UnitConfig unit;
    unit.name = r.name();
    if (r.get("link") == nullptr) r.fail_here("unit '" + unit.name + "' needs a link");
    unit.link = r.text("link", "");
    unit.unit_id =
        static_cast<int>(r.integer("unit_id", 1, 0, 255));  // and as its link allows, below
    unit.device_id = static_cast<unsigned int>(r.integer("device_id", 1, 0, 0xffffffffLL));
    unit.interval_s = r.number("interval", 10.0, 0.1, 86400.0);
    if (const toml::node* settings = r.get("settings")) {
        if (!settings->is_table())
            r.fail_at(*settings, "unit '" + unit.name + "': settings must be a table");
        unit.settings = to_json(r, *settings);
    }
    if (const toml::node* writes = r.get("writes")) {
        const toml::array* list = writes->as_array();
        if (list == nullptr)
            r.fail_at(*writes, "unit '" + unit.name + "': writes must be a list of registers");
        for (const toml::node& reg : *list) {
            if (!reg.is_integer() || reg.as_integer()->get() < 0 || reg.as_integer()->get() > 65535)
                r.fail_at(reg, "unit '" + unit.name + "': writes: a register is 0..65535");
            unit.writes.insert(static_cast<int>(reg.as_integer()->get()));
        }
    }
    return unit;
}

AgentConfig read_root(const std::string& source, const toml::table& root) {
    Reader r(source, root, "top level", {"agent", "http", "mqtt", "link", "unit", "notify"});
    AgentConfig config;
    for (const char* section : {"agent", "http", "mqtt"}) {
        const toml::node* node = root.get(section);
        if (node != nullptr && !node->is_table())
            fail(source, node->source(),
                 std::string("'") + section + "' must be a table [" + section + "]");
    }
    if (const toml::node* http = root.get("http"))
        config.http = read_http(source, *http->as_table());
    if (const toml::node* mqtt = root.get("mqtt"))
        config.mqtt = read_mqtt(source, *mqtt->as_table());
    if (const toml::node* agent = root.get("agent"))
        config_detail::read_agent(source, *agent->as_table(), config);
    if (const toml::array* list = array_of_tables(source, root, "notify"))
        config.notify = config_detail::read_notify(source, *list);

    std::map<std::string, const LinkConfig*> links;
    if (const toml::array* list = array_of_tables(source, root, "link")) {
        config.links.reserve(list->size());
        for (const toml::node& node : *list) {
            config.links.push_back(read_link(source, *node.as_table()));
            if (!links.emplace(config.links.back().name, &config.links.back()).second)
                fail(source, node.source(),
                     "a second link named '" + config.links.back().name + "'");
        }
    }
    std::set<std::string> names;
    std::set<std::pair<std::string, int>> ids;
    if (const toml::array* list = array_of_tables(source, root, "unit")) {
        for (const toml::node& node : *list) {
            UnitConfig unit = read_unit(source, *node.as_table());
            const toml::node& link_node = *node.as_table()->get("link");
            const auto link = links.find(unit.link);
            if (link == links.end())
                fail(source, link_node.source(),
                     "unit '" + unit.name + "': no link named '" + unit.link + "'");
            const bool serial = link->second->settings.kind == standin::LinkSettings::Kind::Rtu;
            if (const std::string problem = quillark_tools::unit_id_problem(serial, unit.unit_id);
                !problem.empty()) {
                const toml::node* id = node.as_table()->get("unit_id");
                fail(source, (id != nullptr ? *id : node).source(),
                     "unit '" + unit.name + "': unit_id " + problem);
            }
            if (!names.insert(unit.name).second)
                fail(source, node.source(), "a second unit named '" + unit.name + "'");
            if (!ids.emplace(unit.link, unit.unit_id).second)
                fail(source, node.source(),
                     "unit '" + unit.name + "': link '" + unit.link +
                         "' already has a unit with unit_id " + std::to_string(unit.unit_id));
            config.units.push_back(std::move(unit));
        }
    }
    return config;
}

}  // namespace

bool valid_name(const std::string& name) {
    if (name.empty() || name == "agent") return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

AgentConfig parse_config(const std::string& text, const std::string& source) {
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        fail(source, e.source(), std::string(e.description()));
    }
    return read_root(source, root);
}

bool same_link(const LinkConfig& a, const LinkConfig& b) {
    auto fields = [](const LinkConfig& l) {
        const standin::LinkSettings& s = l.settings;
        return std::tie(l.name, s.kind, s.host, s.port, s.device, s.baud, s.parity, s.data_bits,
                        s.stop_bits, s.rs485, s.rts, s.rts_delay_us, s.timeout_ms, s.retries);
    };
    // A changed gateway restarts the link, and so its server, with it.
    auto gateway = [](const GatewayConfig& g) {
        std::vector<std::string> allowed;
        for (const Network& n : g.allow_from) allowed.push_back(n.text);
        return std::make_tuple(g.host, g.port, g.writes, allowed);
    };
    return fields(a) == fields(b) && gateway(a.gateway) == gateway(b.gateway);
}

bool same_unit(const UnitConfig& a, const UnitConfig& b) {
    return a.name == b.name && a.link == b.link && a.unit_id == b.unit_id &&
           a.device_id == b.device_id && a.interval_s == b.interval_s && a.settings == b.settings &&
           a.writes == b.writes;
}

bool same_mqtt(const MqttConfig& a, const MqttConfig& b) {
    return a.enabled == b.enabled && a.host == b.host && a.port == b.port && a.tls == b.tls &&
           a.client_id == b.client_id && a.prefix == b.prefix && a.qos == b.qos &&
           a.username == b.username && a.password_file == b.password_file &&
           a.ca_file == b.ca_file && a.cert_file == b.cert_file && a.key_file == b.key_file &&
           a.every_round == b.every_round && a.heartbeat_s == b.heartbeat_s &&
           a.status_qos == b.status_qos && a.deadband == b.deadband && a.points == b.points &&
           a.discovery_prefix == b.discovery_prefix;
}

AgentConfig load_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path + ":1:1: cannot read the file");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_config(text.str(), path);
}

}  // namespace quillark_agent
