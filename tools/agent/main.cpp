// quillark-agent: one process for a row of units. Loads the plug-in once,
// makes one driver per unit, polls each link in its own thread and publishes
// to MQTT and over HTTP (Prometheus metrics and the units as JSON). Under
// systemd it says when it is ready, reloading and stopping, and feeds the
// watchdog while no link thread is hung.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "tools/agent/agent.h"
#include "tools/agent/log.h"
#include "tools/agent/service.h"
#include "hostkit/common/cli_options.h"
#include "hostkit/builtin_units.h"

namespace {

using namespace quillark_agent;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitConfig = 2;

struct Options {
    std::string config_file;
    std::string plugin;
    std::string tcp;
    int unit = 1;
    double interval_s = 10;
    std::string listen;
    std::string mqtt;
    std::string driver_output;  // "": the driver's lines are discarded
    double hung_after_s = 0;    // 0: from the links' settings
    bool version = false;
};

// The built-in simulated units of the embedded default: three units on one
// simulated gateway, so `quillark-agent` alone shows everything working.
// The demo's journal lives in a directory of its own, removed at the end.
class BuiltinUnits {
public:
    static constexpr int kUnits = 3;
    int port() const { return units_.port(); }
    // The demo's journal; in memory only when no directory can be made.
    std::string state_dir() try {
        if (!state_dir_) state_dir_ = std::make_unique<ScratchStateDir>();
        return state_dir_->path();
    } catch (const std::runtime_error& e) {
        log::warning(e.what());
        return {};
    }

private:
    quillark_kit::BuiltinUnits units_{kUnits};
    std::unique_ptr<ScratchStateDir> state_dir_;  // removed after the agent stops
};

AgentConfig quick_config(const Options& o, int builtin_port) {
    AgentConfig config;
    LinkConfig link;
    link.name = builtin_port > 0 ? "sim" : "link1";
    std::string address = builtin_port > 0 ? "127.0.0.1:" + std::to_string(builtin_port) : o.tcp;
    if (address.find(':') == std::string::npos) address += ":502";
    const auto endpoint = quillark_tools::parse_endpoint(address);
    link.settings.host = endpoint.host;
    link.settings.port = std::to_string(endpoint.port);
    config.links.push_back(link);
    const int units = builtin_port > 0 ? BuiltinUnits::kUnits : 1;
    for (int i = 0; i < units; ++i) {
        UnitConfig unit;
        unit.name =
            builtin_port > 0 ? "sim-unit" + std::to_string(i + 1) : "unit" + std::to_string(o.unit);
        unit.link = link.name;
        unit.unit_id = builtin_port > 0 ? i + 1 : o.unit;
        unit.interval_s = o.interval_s;
        config.units.push_back(unit);
    }
    return config;
}

// The configuration to run: the file, or the quick start.
AgentConfig make_config(const Options& o, std::unique_ptr<BuiltinUnits>& builtin) {
    AgentConfig config;
    if (!o.config_file.empty()) {
        config = load_config(o.config_file);
    } else {
        if (o.tcp.empty()) builtin = std::make_unique<BuiltinUnits>();
        config = quick_config(o, builtin ? builtin->port() : 0);
        if (builtin && state_directory(config).empty()) config.state_dir = builtin->state_dir();
    }
    try {
        if (!o.listen.empty()) {
            const auto endpoint = quillark_tools::parse_endpoint(o.listen, "127.0.0.1", true);
            config.http.host = endpoint.host;
            config.http.port = endpoint.port;
            config.http.where["listen"] = "command line: --listen";
        }
        if (!o.mqtt.empty()) {
            config.mqtt.enabled = true;
            const auto endpoint = quillark_tools::parse_endpoint(o.mqtt, "127.0.0.1");
            config.mqtt.host = endpoint.host;
            config.mqtt.port = endpoint.port;
        }
    } catch (const std::invalid_argument& e) {
        throw ConfigError(std::string("command line: ") + e.what());
    }
    load_http_security(config.http);  // refused here, before anything starts
    return config;
}

std::unique_ptr<quillark_kit::Plugin> load_plugin(const std::string& named) {
    const quillark_kit::PluginChoice choice = quillark_kit::find_plugin(named);
    if (choice.path.empty())
        throw quillark_kit::PluginError(
            "no quillark.so beside the agent or one directory up; name one with --plugin");
    return std::make_unique<quillark_kit::Plugin>(choice.path);
}

class AgentCommandLine : public quillark_tools::CommandLine<Options> {
public:
    AgentCommandLine();
};

AgentCommandLine::AgentCommandLine()
    : CommandLine(
          "Polls a row of in-row air-conditioning units through the quillark plug-in and "
          "publishes them to MQTT and over HTTP (a live web view at /, Prometheus /metrics, "
          "/api/units). With "
          "neither --config nor --tcp it polls three built-in simulated units. SIGHUP "
          "re-reads the configuration, SIGTERM stops. Exit status: 0 stopped cleanly, "
          "1 failure, 2 a bad configuration or argument.",
          "quillark-agent") {
    Options& o = options_;
    CLI::App& app = app_;
    auto* config = app.add_option("--config", o.config_file, "TOML configuration file")
                       ->check(CLI::ExistingFile);
    app.add_option("--tcp", o.tcp, "Quick start: poll one unit over Modbus TCP at HOST[:PORT]")
        ->excludes(config);
    quillark_tools::add_number(app, "--unit", o.unit, 0, 255,
                               "Quick start: unit (slave) id, 0..255 over TCP");
    quillark_tools::add_decimal(app, "--interval", o.interval_s, 0.1, 86400.0,
                                "Quick start: seconds between a unit's rounds");
    app.add_option("--listen", o.listen,
                   "HTTP address HOST:PORT (default 127.0.0.1:9786; port 0 picks one)");
    app.add_option("--mqtt", o.mqtt, "Quick start: publish to the MQTT broker at HOST:PORT");
    app.add_option(
        "--plugin", o.plugin,
        "The plug-in to load (default: quillark.so beside this program, one directory up, or where it is installed)");
    app.add_option(
        "--driver-output", o.driver_output,
        "Append the plug-in's own lines (one per unit and round) to FILE; by default they are discarded");
    quillark_tools::add_decimal(
        app, "--hung-after", o.hung_after_s, 0, 86400,
        "Seconds a link may stay in one round or write before it counts as hung "
        "and the service watchdog goes unfed (0: twice the longest round the "
        "links' timeouts and retries allow, plus 30)");
    quillark_tools::add_version_flag(app, o.version);
}

// Runs the agent until SIGTERM or SIGINT, re-reading the configuration on
// SIGHUP and checking the links at every tick.
void serve(Agent& agent, const AgentConfig& config, const Options& options,
           std::unique_ptr<BuiltinUnits>& builtin, const sigset_t& signals) {
    service::Supervisor supervisor(options.hung_after_s);
    supervisor.applied(config, options.config_file);
    agent.start(config);
    supervisor.ready();
    auto next_check = service::Clock::now() + supervisor.tick();
    while (true) {
        const int received = service::wait_for_signal(signals, next_check);
        if (service::Clock::now() >= next_check) {
            supervisor.check(agent.hung_links(supervisor.limit()));
            log::flush_throttles();
            next_check = service::Clock::now() + supervisor.tick();
        }
        if (received == 0) continue;
        if (received != SIGHUP) break;
        if (options.config_file.empty()) {
            log::warning("SIGHUP: no configuration file to re-read");
            continue;
        }
        supervisor.reloading();
        try {
            const AgentConfig next = make_config(options, builtin);
            log::info("SIGHUP: " + agent.reload(next));
            supervisor.applied(next, options.config_file);
        } catch (const std::exception& e) {
            log::warning(std::string("SIGHUP: keeping the running configuration: ") + e.what());
        }
        supervisor.ready();
    }
    supervisor.stopping();
    agent.stop();
}

}  // namespace

int main(int argc, char** argv) {
    // One link thread per link and four HTTP workers would each get a malloc
    // arena of their own, and every arena keeps what its thread freed: two
    // keep the agent's memory flat under HTTP load (docs/agent.md, Scale).
    mallopt(M_ARENA_MAX, 2);
    AgentCommandLine command_line;
    if (const int status = command_line.parse(argc, argv, std::cout, std::cerr); status >= 0)
        return status;
    const Options& options = command_line.options();
    if (options.version) {
        std::cout << quillark_tools::version_line("quillark-agent") << std::endl;
        return kExitOk;
    }

    // The plug-in writes a line of its own to stdout after every round: that
    // would be hundreds of lines a second in the journal with a row of units.
    try {
        service::route_driver_output(options.driver_output);
    } catch (const std::exception& e) {
        log::error(e.what());
        return kExitConfig;
    }

    // Signals are taken by the main thread alone, with sigtimedwait.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<BuiltinUnits> builtin;
    AgentConfig config;
    try {
        config = make_config(options, builtin);
    } catch (const ConfigError& e) {
        log::error(e.what());
        return kExitConfig;
    }
    try {
        const auto plugin = load_plugin(options.plugin);
        log::info("loaded " + plugin->path() + "; polling " + std::to_string(config.units.size()) +
                  " units on " + std::to_string(config.links.size()) + " links" +
                  (builtin ? " (built-in simulated units)" : ""));
        Agent agent(*plugin);
        serve(agent, config, options, builtin, signals);
        log::info("stopped");
    } catch (const std::exception& e) {
        log::error(e.what());
        return kExitFailed;
    }
    return kExitOk;
}
