#include "tools/agent/agent.h"

#include <stdexcept>

#include "tools/agent/clock.h"
#include "tools/agent/gateway/gateway_server.h"
#include "tools/agent/log.h"
#include "tools/agent/publish/web.h"

namespace quillark_agent {

Agent::Agent(const quillark_kit::Plugin& plugin)
    : plugin_(plugin),
      mqtt_([this](const std::string& unit) { return owns(unit); },
            [this](const std::string& unit, int reg, std::uint16_t value) {
                return write(unit, reg, value);
            },
            [this](const std::string& unit) { return describe(unit); }) {}

void Agent::start(const AgentConfig& config) {
    security_ = load_http_security(config.http);
    const std::string state_dir = state_directory(config);
    events_ = std::make_unique<EventDesk>(state_dir, config.notify, mqtt_);
    log::info(state_dir.empty() ? std::string("no state directory: events are kept in memory only")
                                : "event journal in " + events_->journal().path());
    mqtt_.follow_events(events_->feed());
    set_descriptions(config);
    mqtt_.replace(mqtt_.prepare(config.mqtt));
    if (config.history) {
        history_ = std::make_unique<History>(state_dir.empty() ? "" : state_dir + "/history",
                                             config.history_save_s, *events_);
        history_->configure(config.units);
        history_->start();
    }
    auto fleet = std::make_shared<Fleet>(config, plugin_, rounds_to(), gateway::Server::for_link);
    fleet->restore_alarms(events_->journal().open_alarms());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fleet_ = fleet;
    }
    fleet->start();
    config_ = config;
    std::string where;
    auto listener = bind_http(config.http, security_->tls != nullptr, where);
    switch_http(std::move(listener), where);
    events_->agent_event("agent_started");
}

std::string Agent::reload(const AgentConfig& next) {
    auto security = load_http_security(next.http);
    const bool http_moved =
        next.http.host != config_.http.host || next.http.port != config_.http.port;
    std::string where;
    std::unique_ptr<HttpListener> listener =
        http_moved ? bind_http(next.http, security->tls != nullptr, where) : nullptr;
    const bool mqtt_changed = !same_mqtt(config_.mqtt, next.mqtt);
    std::unique_ptr<MqttClient> client = mqtt_changed ? mqtt_.prepare(next.mqtt) : nullptr;
    if (history_) history_->configure(next.units);
    const ReloadSummary summary = fleet()->reload(next, plugin_, rounds_to());
    set_descriptions(next);
    // Only now has every unit that went stopped publishing.
    for (const std::string& unit : summary.removed) mqtt_.clear_unit(unit);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        security_ = std::move(security);  // asked for on every connection and request
    }
    std::string said = summary.describe();
    if (listener) {
        switch_http(std::move(listener), where);
        said += "; HTTP moved to " + next.http.host + ":" + std::to_string(next.http.port);
    }
    if (mqtt_changed) {
        mqtt_.replace(std::move(client));
        said += next.mqtt.enabled ? "; MQTT client started anew" : "; MQTT off";
    }
    if (!same_rules(config_.notify, next.notify)) events_->set_rules(next.notify);
    if (state_directory(next) != state_directory(config_))
        said += "; the new state directory takes effect at the next start";
    if (next.history != config_.history || next.history_save_s != config_.history_save_s)
        said += "; the new history settings take effect at the next start";
    config_ = next;
    Json::Value extra;
    extra["summary"] = said;
    events_->agent_event("config_reloaded", extra);
    return said;
}

void Agent::stop() {
    stop_http();
    std::shared_ptr<Fleet> fleet;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fleet.swap(fleet_);
    }
    if (fleet) fleet->stop();
    fleet.reset();
    if (history_) history_->stop();  // saved, the minutes being filled too
    history_.reset();
    if (events_) events_->agent_event("agent_stopped");
    events_.reset();  // the journal written out
    mqtt_.close();    // publishes offline and disconnects
}

std::vector<std::string> Agent::hung_links(std::chrono::steady_clock::duration limit) {
    auto f = fleet();
    return f ? f->hung_links(limit) : std::vector<std::string>{};
}

std::shared_ptr<Fleet> Agent::fleet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fleet_;
}

Publisher& Agent::rounds_to() {
    if (history_) return *history_;
    return *events_;
}

HistoryAnswer Agent::history(const std::string& unit, const HistoryParams& params, bool csv) {
    if (history_) return history_->answer(unit, params, csv, unix_now());
    HistoryAnswer none;
    none.status = 404;
    none.body = "{\"error\":\"no history is kept: [agent] history = false\"}";
    return none;
}

bool Agent::owns(const std::string& unit) {
    auto f = fleet();
    return f && f->has_unit(unit);
}

std::string Agent::describe(const std::string& unit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = descriptions_.find(unit);
    return found == descriptions_.end() ? std::string() : found->second;
}

void Agent::set_descriptions(const AgentConfig& config) {
    std::map<std::string, std::string> descriptions;
    for (const UnitConfig& unit : config.units)
        descriptions[unit.name] = "link " + unit.link + ", unit id " + std::to_string(unit.unit_id);
    std::lock_guard<std::mutex> lock(mutex_);
    descriptions_.swap(descriptions);
}

std::shared_ptr<const HttpSecurity> Agent::security() {
    std::lock_guard<std::mutex> lock(mutex_);
    return security_;
}

std::string Agent::write(const std::string& unit, int reg, std::uint16_t value) {
    auto f = fleet();
    return f ? f->queue_write(unit, reg, value) : "rejected: the agent is stopping";
}

std::unique_ptr<HttpListener> Agent::bind_http(const HttpConfig& config, bool tls,
                                               std::string& where) {
    auto server = std::make_unique<HttpListener>([this] { return security(); });
    add_routes(
        *server,
        [this](std::vector<UnitView>& units, std::vector<LinkView>& links) {
            if (auto f = fleet()) f->views(units, links);
        },
        [this] { return security()->token; },
        [this](const std::string& unit, const std::string& kind, double since, std::size_t limit) {
            return render_events(events_->journal(), unit, kind, since, limit);
        },
        [this] { return notify_metrics(events_->notify_failures()); },
        [this](const std::string& unit, const HistoryParams& params, bool csv) {
            return history(unit, params, csv);
        });
    const int port = server->bind(config.host, config.port);
    if (port <= 0)
        throw std::runtime_error("http: cannot listen on " + config.host + ":" +
                                 std::to_string(config.port));
    const std::string base =
        std::string(tls ? "https://" : "http://") + config.host + ":" + std::to_string(port);
    where = "live view on " + base + "/ (metrics on " + base + "/metrics, units on " + base +
            "/api/units)";
    return server;
}

void Agent::switch_http(std::unique_ptr<HttpListener> server, const std::string& where) {
    stop_http();
    http_ = std::move(server);
    http_thread_ = std::thread([this] { http_->listen_after_bind(); });
    log::info(where);
}

void Agent::stop_http() {
    if (!http_) return;
    http_->stop();
    if (http_thread_.joinable()) http_thread_.join();
    http_.reset();
}

}  // namespace quillark_agent
