// Reading the configuration file's tables: each with the keys it may hold,
// every mistake named with its file, line and column. Shared by the readers
// of the file's sections.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "tools/agent/config/config.h"

namespace quillark_agent::config_detail {

using Keys = std::set<std::string>;

[[noreturn]] inline void fail(const std::string& source, const toml::source_region& where,
                              const std::string& what) {
    throw ConfigError(source + ":" + std::to_string(where.begin.line) + ":" +
                      std::to_string(where.begin.column) + ": " + what);
}

// Reads one table, knowing which keys it may hold.
class Reader {
public:
    Reader(const std::string& source, const toml::table& table, std::string context,
           const Keys& allowed)
        : source_(source), table_(table), context_(std::move(context)) {
        for (const auto& [key, node] : table)
            if (allowed.count(std::string(key.str())) == 0)
                fail(source_, key.source(),
                     context_ + ": unknown key '" + std::string(key.str()) + "'");
    }

    const toml::node* get(const char* key) const { return table_.get(key); }
    const toml::table& table() const { return table_; }
    [[noreturn]] void fail_at(const toml::node& node, const std::string& what) const {
        fail(source_, node.source(), what);
    }
    [[noreturn]] void fail_here(const std::string& what) const {
        fail(source_, table_.source(), context_ + ": " + what);
    }

    std::string text(const char* key, std::string fallback) const {
        const toml::node* node = get(key);
        if (node == nullptr) return fallback;
        if (!node->is_string()) fail_at(*node, context_ + ": '" + key + "' must be a string");
        return node->as_string()->get();
    }
    bool boolean(const char* key, bool fallback) const {
        const toml::node* node = get(key);
        if (node == nullptr) return fallback;
        if (!node->is_boolean()) fail_at(*node, context_ + ": '" + key + "' must be true or false");
        return node->as_boolean()->get();
    }
    long long integer(const char* key, long long fallback, long long min, long long max) const {
        const toml::node* node = get(key);
        if (node == nullptr) return fallback;
        if (!node->is_integer()) fail_at(*node, context_ + ": '" + key + "' must be an integer");
        const long long value = node->as_integer()->get();
        if (value < min || value > max)
            fail_at(*node, context_ + ": '" + key + "' must be in " + std::to_string(min) + ".." +
                               std::to_string(max));
        return value;
    }
    double number(const char* key, double fallback, double min, double max) const {
        const toml::node* node = get(key);
        if (node == nullptr) return fallback;
        double value = 0;
        if (node->is_integer()) value = static_cast<double>(node->as_integer()->get());
        else if (node->is_floating_point()) value = node->as_floating_point()->get();
        else fail_at(*node, context_ + ": '" + key + "' must be a number");
        if (!(value >= min && value <= max))
            fail_at(*node, context_ + ": '" + key + "' must be in " + std::to_string(min) + ".." +
                               std::to_string(max));
        return value;
    }
    std::string name() const {
        const toml::node* node = get("name");
        if (node == nullptr) fail_here("'name' is missing");
        const std::string value = text("name", "");
        if (!valid_name(value))
            fail_at(*node, context_ + ": name '" + value +
                               "' must be letters, digits, '_' or '-', and not 'agent'");
        return value;
    }

private:
    const std::string& source_;
    const toml::table& table_;
    std::string context_;
};

inline const toml::array* array_of_tables(const std::string& source, const toml::table& root,
                                          const char* key) {
    const toml::node* node = root.get(key);
    if (node == nullptr) return nullptr;
    const toml::array* array = node->as_array();
    if (array == nullptr || !array->is_array_of_tables())
        fail(source, node->source(), std::string("'") + key + "' must be written [[" + key + "]]");
    return array;
}

// The [mqtt] section, with its [mqtt.deadband] table.
MqttConfig read_mqtt(const std::string& source, const toml::table& table);

// A [[link]]'s gateway keys: gateway, allow_from, gateway_writes.
void read_gateway(const Reader& r, const std::string& link, GatewayConfig& gateway);

// The [agent] section and the [[notify]] sections.
void read_agent(const std::string& source, const toml::table& table, AgentConfig& config);
std::vector<NotifyRule> read_notify(const std::string& source, const toml::array& list);

}  // namespace quillark_agent::config_detail
