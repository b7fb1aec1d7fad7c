// The agent's TOML configuration file: arbitrary bytes. A file is either
// refused with a ConfigError that names its place ("file:line:col: ..."),
// or read into settings the agent can run with; nothing else may escape.
#include <cmath>
#include <map>
#include <string>

#include "tools/agent/config/config.h"
#include "fuzz/fuzz_io.h"

using quillark_agent::AgentConfig;

namespace {

void check_config(const AgentConfig& config) {
    std::map<std::string, const quillark_agent::LinkConfig*> links;
    for (const auto& link : config.links) {
        FUZZ_CHECK(quillark_agent::valid_name(link.name));
        FUZZ_CHECK(links.emplace(link.name, &link).second);
        FUZZ_CHECK(link.settings.timeout_ms >= 1 && link.settings.timeout_ms <= 600000);
        FUZZ_CHECK(link.settings.retries >= 0 && link.settings.retries <= 10);
    }
    std::map<std::string, int> units;
    for (const auto& unit : config.units) {
        FUZZ_CHECK(quillark_agent::valid_name(unit.name));
        FUZZ_CHECK(units.emplace(unit.name, unit.unit_id).second);
        FUZZ_CHECK(links.count(unit.link) == 1);
        FUZZ_CHECK(unit.unit_id >= 0 && unit.unit_id <= 255);
        FUZZ_CHECK(std::isfinite(unit.interval_s) && unit.interval_s > 0);
        for (const int reg : unit.writes) FUZZ_CHECK(reg >= 0 && reg <= 65535);
    }
    for (const auto& rule : config.notify) {
        FUZZ_CHECK(!rule.events.empty() && !rule.command.empty() && !rule.command.front().empty());
        FUZZ_CHECK(rule.hold_s >= 0 && rule.repeat_s >= 0);
    }
    FUZZ_CHECK(config.http.port >= 0 && config.http.port <= 65535);
    FUZZ_CHECK(config.mqtt.port >= 0 && config.mqtt.port <= 65535);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    AgentConfig config;
    try {
        config = quillark_agent::parse_config(text, "agent.toml");
    } catch (const quillark_agent::ConfigError& e) {
        // Every refusal names the file and a place in it.
        FUZZ_CHECK(std::string(e.what()).rfind("agent.toml:", 0) == 0);
        return 0;
    }
    check_config(config);
    // The same text reads the same way again: a reload of an unchanged file
    // changes no link and no unit.
    const AgentConfig again = quillark_agent::parse_config(text, "agent.toml");
    FUZZ_CHECK(again.links.size() == config.links.size() &&
               again.units.size() == config.units.size());
    for (std::size_t i = 0; i < config.links.size(); ++i)
        FUZZ_CHECK(quillark_agent::same_link(config.links[i], again.links[i]));
    for (std::size_t i = 0; i < config.units.size(); ++i)
        FUZZ_CHECK(quillark_agent::same_unit(config.units[i], again.units[i]));
    return 0;
}
