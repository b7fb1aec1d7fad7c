#include "poller.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include <json/reader.h>

#include "commands.h"
#include "files.h"
#include "master.h"
#include "server.h"
#include "wakeup.h"

namespace quillark_poll {

namespace {

using Clock = std::chrono::steady_clock;
using quillark_tools::RegisterWrite;

constexpr int kResultQuery = 802;  // any code outside the command table reads the result

std::atomic<bool> g_stop{false};
// Ends the link's waits and the rest between rounds at once on a stop signal.
standin::Wakeup g_wakeup;

// Sleeps up to `seconds`; a stop signal ends the wait at once.
void rest(double seconds) {
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    g_wakeup.wait_until(until);
}

std::string format_ms(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms",
                  std::chrono::duration<double, std::milli>(d).count());
    return text;
}

std::string describe(const RegisterWrite& write) {
    std::string text = write.kind == RegisterWrite::Kind::Multiple ? "write-multi " : "write ";
    text += std::to_string(write.address) + "=";
    for (std::size_t i = 0; i < write.values.size(); ++i)
        text += (i ? "," : "") + std::to_string(write.values[i]);
    return text;
}

// A run's end that is not a plain failure: the exit status to give.
struct Stop {
    int status;
};

std::optional<Json::Value> read_settings(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read";
        return std::nullopt;
    }
    Json::CharReaderBuilder builder;
    Json::Value settings;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &settings, &errors)) {
        error = path + ": not valid JSON: " + errors;
        return std::nullopt;
    }
    return settings;
}

std::unique_ptr<Plugin> load_plugin(const std::string& named) {
    if (!named.empty()) {
        try {
            return std::make_unique<Plugin>(named);
        } catch (const PluginError& e) {
            say("--plugin: cannot load " + named + ": " + e.what());
            throw Stop{kExitUsage};
        }
    }
    std::string tried;
    for (const std::string& path : default_plugin_paths()) {
        if (access(path.c_str(), F_OK) != 0) {
            tried += (tried.empty() ? "" : ", ") + path;
            continue;
        }
        try {
            return std::make_unique<Plugin>(path);
        } catch (const PluginError& e) {
            say("cannot load " + path + ": " + e.what());
            throw Stop{kExitFailed};
        }
    }
    say("no quillark.so found (looked for " + tried + "); name one with --plugin");
    throw Stop{kExitFailed};
}

class Poller {
public:
    explicit Poller(const PollOptions& options) : o_(options) {}
    ~Poller() { device_.reset(); }  // the driver's code lives in the plug-in
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    int run();

private:
    void start_builtin_unit();
    bool load_driver(const Json::Value& settings);
    int poll_rounds();  // complete rounds
    void publish();     // after a complete round
    void print_document();
    int send(const RegisterWrite& write);  // the driver's verdict (quillark::WriteOutcome)

    const PollOptions& o_;
    DocumentOut documents_;
    standin::LinkSettings link_ = o_.link;
    std::unique_ptr<quillark_sim::SimulatedUnit> builtin_unit_;
    std::unique_ptr<quillark_sim::Server> builtin_server_;
    std::unique_ptr<standin::ModbusTransport> transport_;
    std::unique_ptr<standin::Master> master_;
    std::unique_ptr<Plugin> plugin_;
    std::shared_ptr<Host> host_ = std::make_shared<Host>();
    std::unique_ptr<TesselSPDevice> device_;
    SPModbus* driver_ = nullptr;
    bool record_failed_ = false;
};

int Poller::run() {
    Json::Value settings;
    if (!o_.settings_file.empty()) {
        std::string error;
        auto parsed = read_settings(o_.settings_file, error);
        if (!parsed) {
            say("--settings: " + error);
            return kExitUsage;
        }
        settings = std::move(*parsed);
    }
    plugin_ = load_plugin(o_.plugin);
    if (o_.builtin_unit) start_builtin_unit();
    transport_ = std::make_unique<standin::ModbusTransport>(link_);
    transport_->set_wakeup(&g_wakeup);
    master_ = std::make_unique<standin::Master>(*transport_, link_.retries);
    if (!load_driver(settings)) return kExitFailed;

    const int complete = poll_rounds();
    std::vector<int> results;
    for (std::size_t i = 0; i < o_.writes.size() && !g_stop; ++i)
        results.push_back(send(o_.writes[i]));

    int status = exit_status(true, complete, results);
    if (status == kExitOk && record_failed_) status = kExitFailed;
    return status;
}

void Poller::start_builtin_unit() {
    builtin_unit_ = std::make_unique<quillark_sim::SimulatedUnit>(
        quillark_sim::Image::standard(), false, quillark_sim::FaultPlan{});
    quillark_sim::ServerSettings server_settings;
    server_settings.link.unit = link_.unit;
    builtin_server_ = std::make_unique<quillark_sim::Server>(*builtin_unit_, server_settings);
    builtin_server_->start();
    link_.kind = standin::LinkSettings::Kind::Tcp;
    link_.host = "127.0.0.1";
    link_.port = std::to_string(builtin_server_->port());
    say("no --tcp or --rtu given: polling the built-in simulated unit on " +
        builtin_server_->where());
}

bool Poller::load_driver(const Json::Value& settings) {
    device_.reset(plugin_->create());
    driver_ = dynamic_cast<SPModbus*>(device_.get());
    if (driver_ == nullptr) {
        say(plugin_->path() + ": the plug-in's device does not speak Modbus");
        return false;
    }
    driver_->Init(host_, o_.device_id, settings);
    say("loaded " + plugin_->path() + " with dlopen; driver \"" + driver_->DeviceType() +
        "\", device id " + std::to_string(o_.device_id) + "; polling " + link_.describe());
    return true;
}

int Poller::poll_rounds() {
    const bool continuous = o_.rounds == 0;
    int complete = 0;
    for (long round = 1; (continuous || round <= o_.rounds) && !g_stop; ++round) {
        if (round > 1) rest(o_.interval_s);
        if (g_stop) break;
        const int published_before = host_->published;
        const auto start = Clock::now();
        const standin::PumpResult result = master_->run_round(*driver_);
        const auto took = Clock::now() - start;
        const bool ok = host_->published > published_before;
        std::string line = "round " + std::to_string(round) + ": ";
        if (ok) {
            ++complete;
            line += "ok, " + std::to_string(result.requests) + " requests in " + format_ms(took);
        } else {
            line += "failed after " + std::to_string(result.requests) + " requests in " +
                    format_ms(took) + ": " + standin::to_string(result.outcome.status);
            if (!result.outcome.error.empty()) line += " (" + result.outcome.error + ")";
        }
        say(line);
        if (!ok) continue;
        publish();
        if (continuous) print_document();
    }
    if (!continuous && complete > 0) print_document();
    return complete;
}

void Poller::publish() {
    if (o_.record_out.empty()) return;
    const auto& record = host_->last_record;
    try {
        quillark_tools::save_beside(o_.record_out, std::string(record.begin(), record.end()));
    } catch (const std::runtime_error& e) {
        say(std::string("--record-out: cannot write ") + e.what());
        record_failed_ = true;
    }
}

void Poller::print_document() {
    std::vector<char> buffer(64 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        int size = 0;
        const int rc = driver_->DeviceIoControl(IoGetStatusText, nullptr, 0, buffer.data(),
                                                static_cast<int>(buffer.size()), size);
        if (rc == 0 && size >= 0 && static_cast<std::size_t>(size) <= buffer.size()) {
            const std::string text(buffer.data(), static_cast<std::size_t>(size));
            documents_.write(o_.pretty ? pretty_document(text) : text);
            return;
        }
        if (size <= 0) break;
        buffer.resize(static_cast<std::size_t>(size) + 1024);
    }
    throw std::runtime_error("the driver gave no status document");
}

int Poller::send(const RegisterWrite& write) {
    std::vector<std::uint16_t> words;
    words.push_back(static_cast<std::uint16_t>(write.address));
    words.insert(words.end(), write.values.begin(), write.values.end());
    int unused = 0;
    const int code = write.kind == RegisterWrite::Kind::Multiple ? IoWriteRegisters : IoWriteRegister;
    driver_->DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2), nullptr, 0,
                             unused);
    const standin::PumpResult sent = master_->pump(*driver_);
    // The master waits for the answer (or the timeout), so the result query
    // finds the driver's verdict already in place.
    std::int32_t verdict = quillark::Pending;
    int size = 0;
    driver_->DeviceIoControl(kResultQuery, nullptr, 0, &verdict, sizeof verdict, size);
    if (size != sizeof verdict) verdict = quillark::Pending;

    std::string line = describe(write) + ": ";
    if (verdict == quillark::Confirmed) line += "confirmed by the unit";
    else if (verdict == quillark::NotConfirmed) line += "answered but not confirmed";
    else line += "no answer";
    if (verdict != quillark::Confirmed && sent.requests > 0) {
        line += " (" + std::string(standin::to_string(sent.outcome.status));
        if (!sent.outcome.error.empty()) line += ": " + sent.outcome.error;
        line += ")";
    }
    say(line);
    return verdict;
}

}  // namespace

int exit_status(bool polled, int complete_rounds, const std::vector<int>& write_results) {
    if (polled && complete_rounds == 0) return kExitFailed;
    int status = kExitOk;
    for (int result : write_results) {
        if (result == quillark::Confirmed) continue;
        if (result == quillark::NotConfirmed)
            status = status == kExitOk ? kExitNotConfirmed : status;
        else status = kExitFailed;  // no answer outweighs a refusal
    }
    return status;
}

int run_poller(const PollOptions& options) {
    try {
        Poller poller(options);
        return poller.run();
    } catch (const Stop& stop) {
        return stop.status;
    }
}

void stop_poller() noexcept {
    g_stop = true;
    g_wakeup.notify();
}

}  // namespace quillark_poll
