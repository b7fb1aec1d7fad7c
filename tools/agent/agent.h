// The running agent: its fleet, event desk, MQTT client and HTTP listener,
// started, reloaded and stopped together.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/agent/config/config.h"
#include "tools/agent/events/events.h"
#include "tools/agent/fleet/fleet.h"
#include "tools/agent/history/history.h"
#include "tools/agent/publish/http_security.h"
#include "tools/agent/publish/listener.h"
#include "tools/agent/publish/mqtt.h"
#include "hostkit/plugin.h"

namespace quillark_agent {

class Agent {
public:
    explicit Agent(const quillark_kit::Plugin& plugin);
    ~Agent() { stop(); }

    // Starts the fleet, events, MQTT and HTTP of `config`; throws on what
    // cannot be had (the HTTP address, the state directory, a driver).
    void start(const AgentConfig& config);

    // Applies what changed and returns what that was. Whatever can fail (the
    // token and TLS files, the new listener, the new MQTT client's files, a new
    // driver) is tried before anything running is touched, so a throw leaves
    // the agent as it was.
    std::string reload(const AgentConfig& next);

    void stop();

    // Names of the links whose thread is stuck past `limit` (for the watchdog).
    std::vector<std::string> hung_links(std::chrono::steady_clock::duration limit);

private:
    std::shared_ptr<Fleet> fleet();
    Publisher& rounds_to();  // where the fleet tells its rounds
    HistoryAnswer history(const std::string& unit, const HistoryParams& params, bool csv);
    bool owns(const std::string& unit);
    // "link gw1, unit id 3", for the unit's device in Home Assistant.
    std::string describe(const std::string& unit);
    void set_descriptions(const AgentConfig& config);
    std::shared_ptr<const HttpSecurity> security();
    std::string write(const std::string& unit, int reg, std::uint16_t value);

    // A listener bound but not yet serving; throws if the address cannot be had.
    // `where` gets the line that says where it listens.
    std::unique_ptr<HttpListener> bind_http(const HttpConfig& config, bool tls, std::string& where);
    // Serves from `server` in place of the running listener.
    void switch_http(std::unique_ptr<HttpListener> server, const std::string& where);
    void stop_http();

    const quillark_kit::Plugin& plugin_;
    AgentConfig config_;
    MqttSwitch mqtt_;
    std::unique_ptr<EventDesk> events_;  // between the fleet and MQTT; outlives the fleet
    // Between the fleet and the events; none with [agent] history = false.
    std::unique_ptr<History> history_;
    std::unique_ptr<HttpListener> http_;
    std::thread http_thread_;
    std::mutex mutex_;  // guards fleet_, security_ and descriptions_
    std::shared_ptr<Fleet> fleet_;
    std::map<std::string, std::string> descriptions_;  // by unit
    std::shared_ptr<const HttpSecurity> security_;     // the token and TLS of new connections
};

}  // namespace quillark_agent
