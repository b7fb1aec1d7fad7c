// The sections of the configuration file about events: [agent] (where the
// event journal is kept) and [[notify]] (commands run for events).
#include <algorithm>

#include "tools/agent/config/config_reader.h"

namespace quillark_agent {

const std::vector<std::string>& event_kinds() {
    static const std::vector<std::string> kinds{
        "alarm_raised",    "alarm_cleared", "unit_offline",    "unit_online",
        "link_down",       "link_up",       "link_overloaded", "write",
        "config_reloaded", "agent_started", "agent_stopped",   "events_dropped"};
    return kinds;
}

namespace config_detail {
namespace {

// A list of strings, each checked by `valid` (which says why not, or "").
std::vector<std::string> text_list(const Reader& r, const char* key, bool required,
                                   std::string (*valid)(const std::string&)) {
    const toml::node* node = r.get(key);
    if (node == nullptr) {
        if (required) r.fail_here(std::string("'") + key + "' is missing");
        return {};
    }
    const toml::array* list = node->as_array();
    if (list == nullptr || (required && list->empty()))
        r.fail_at(*node, std::string("[[notify]]: '") + key + "' must be a list of strings" +
                             (required ? ", not empty" : ""));
    std::vector<std::string> out;
    for (const toml::node& item : *list) {
        if (!item.is_string())
            r.fail_at(item, std::string("[[notify]]: '") + key + "' holds strings only");
        out.push_back(item.as_string()->get());
        const std::string why = valid ? valid(out.back()) : std::string();
        if (!why.empty()) r.fail_at(item, std::string("[[notify]]: ") + key + ": " + why);
    }
    return out;
}

std::string known_kind(const std::string& kind) {
    const auto& kinds = event_kinds();
    if (std::find(kinds.begin(), kinds.end(), kind) != kinds.end()) return {};
    std::string all;
    for (const std::string& k : kinds) all += (all.empty() ? "" : ", ") + k;
    return "'" + kind + "' is not an event (" + all + ")";
}

std::string not_empty(const std::string& text) { return text.empty() ? "an empty string" : ""; }

}  // namespace

void read_agent(const std::string& source, const toml::table& table, AgentConfig& config) {
    Reader r(source, table, "[agent]", {"state_dir", "history", "history_save"});
    config.state_dir = r.text("state_dir", "");
    if (const toml::node* dir = r.get("state_dir"); dir != nullptr && config.state_dir.empty())
        r.fail_at(*dir, "[agent]: state_dir must name a directory");
    config.history = r.boolean("history", true);
    config.history_save_s = r.number("history_save", 300, 1, 3600);
}

std::vector<NotifyRule> read_notify(const std::string& source, const toml::array& list) {
    std::vector<NotifyRule> rules;
    for (const toml::node& node : list) {
        Reader r(source, *node.as_table(), "[[notify]]",
                 {"events", "units", "points", "command", "hold", "repeat"});
        NotifyRule rule;
        rule.events = text_list(r, "events", true, known_kind);
        rule.units = text_list(r, "units", false, not_empty);
        rule.points = text_list(r, "points", false, not_empty);
        rule.command = text_list(r, "command", true, nullptr);
        if (rule.command.front().empty())
            r.fail_at(*r.get("command"), "[[notify]]: command: no program");
        rule.hold_s = r.number("hold", 0, 0, 86400);
        rule.repeat_s = r.number("repeat", 0, 0, 86400);
        rules.push_back(std::move(rule));
    }
    return rules;
}

}  // namespace config_detail
}  // namespace quillark_agent
