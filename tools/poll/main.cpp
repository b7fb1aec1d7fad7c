// quillark-poll: loads the plug-in as the host does, polls one unit over
// Modbus TCP or RTU (or the built-in simulated unit), prints the unit's status
// document and sends register writes.
//
// stdout carries the status documents and nothing else; the plug-in's own
// lines, which it writes to stdout, and the progress of each round go to
// stderr.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include <json/reader.h>

#include "cli.h"
#include "commands.h"
#include "master.h"
#include "modbus_transport.h"
#include "poller.h"
#include "server.h"

namespace {

using namespace quillark_tools;
using namespace quillark_poll;
using Clock = std::chrono::steady_clock;

constexpr int kResultQuery = 802;  // any code outside the command table reads the result

std::atomic<bool> g_stop{false};

extern "C" void on_stop_signal(int) { g_stop = true; }

struct Options {
    std::string plugin;
    unsigned int device_id = 1;
    std::string settings_file;
    std::string tcp;
    std::string rtu;
    SerialOptions serial;
    int unit = 1;
    int timeout_ms = 1000;
    long rounds = 1;
    double interval_s = 1.0;
    std::string record_out;
    bool pretty = false;
    std::vector<std::string> writes;        // ADDR=VALUE
    std::vector<std::string> write_multis;  // ADDR=V1,V2,...
    std::vector<RegisterWrite> ordered_writes;  // both, in command-line order
    std::vector<bool> ordered_multi;
};

void say(const std::string& line) { std::cerr << "quillark-poll: " << line << std::endl; }

// The status documents go to the real stdout through a private descriptor;
// descriptor 1 becomes a copy of stderr for everything else.
class DocumentOut {
public:
    DocumentOut() {
        std::cout.flush();
        std::fflush(stdout);
        fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd_ == -1 || dup2(STDERR_FILENO, STDOUT_FILENO) == -1)
            throw std::runtime_error(std::string("cannot set up stdout: ") + std::strerror(errno));
        // Lines from the plug-in and from us interleave in order on stderr.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    ~DocumentOut() {
        if (fd_ != -1) close(fd_);
    }
    DocumentOut(const DocumentOut&) = delete;
    DocumentOut& operator=(const DocumentOut&) = delete;

    bool write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n == -1 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
};

// Sleeps up to `seconds`, in short steps so that Ctrl-C ends the wait at once.
void rest(double seconds) {
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    while (!g_stop && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(20),
                                                              until - Clock::now()));
}

std::string status_text(TesselSPDevice& driver) {
    std::vector<char> buffer(64 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        int size = 0;
        const int rc = driver.DeviceIoControl(IoGetStatusText, nullptr, 0, buffer.data(),
                                              static_cast<int>(buffer.size()), size);
        if (rc == 0 && size >= 0 && static_cast<std::size_t>(size) <= buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(size));
        if (size <= 0) break;
        buffer.resize(static_cast<std::size_t>(size) + 1024);
    }
    throw std::runtime_error("the driver gave no status document");
}

std::int32_t query_result(TesselSPDevice& driver) {
    std::int32_t result = quillark::Pending;
    int size = 0;
    driver.DeviceIoControl(kResultQuery, nullptr, 0, &result, sizeof result, size);
    return size == sizeof result ? result : quillark::Pending;
}

bool save_record(const std::string& path, const std::vector<std::uint8_t>& record) {
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(record.data()),
                  static_cast<std::streamsize>(record.size()));
        if (!out.flush()) return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
}

std::string format_ms(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms",
                  std::chrono::duration<double, std::milli>(d).count());
    return text;
}

std::string describe(const RegisterWrite& write) {
    std::string text = std::to_string(write.address) + "=";
    for (std::size_t i = 0; i < write.values.size(); ++i)
        text += (i ? "," : "") + std::to_string(write.values[i]);
    return text;
}

int parse(Options& o, int argc, char** argv) {
    CLI::App app{"Polls one in-row air-conditioning unit through the quillark plug-in and prints "
                 "its status document (the text of command 801) on stdout. Without --tcp or "
                 "--rtu it polls a built-in simulated unit. Diagnostics and progress go to "
                 "stderr. Exit status: 0 success; 1 no complete round, or a write with no "
                 "answer; 2 usage error; 3 a write the unit answered but did not confirm.",
                 "quillark-poll"};
    app.add_option("--plugin", o.plugin,
                   "The plug-in to load (default: quillark.so beside this program or one "
                   "directory up)")
        ->group("Plug-in");
    app.add_option("--device-id", o.device_id, "Device id handed to the driver")
        ->capture_default_str()
        ->group("Plug-in");
    app.add_option("--settings", o.settings_file,
                   "JSON file with the device settings handed to the driver")
        ->check(CLI::ExistingFile)
        ->group("Plug-in");

    auto* tcp = app.add_option("--tcp", o.tcp, "Poll over Modbus TCP at HOST:PORT")
                    ->check(validator([](const std::string& s) { parse_endpoint(s); }))
                    ->group("Link");
    app.add_option("--rtu", o.rtu, "Poll over Modbus RTU on this serial device")
        ->excludes(tcp)
        ->group("Link");
    add_serial_options(app, o.serial, "Link");
    app.add_option("--unit", o.unit, "Unit (slave) id")
        ->check(CLI::Range(1, 247))
        ->capture_default_str()
        ->group("Link");
    app.add_option("--timeout", o.timeout_ms, "Response timeout per request, in milliseconds")
        ->check(CLI::Range(1, 600000))
        ->capture_default_str()
        ->group("Link");

    app.add_option("--rounds", o.rounds,
                   "Poll rounds to run; 0 runs until Ctrl-C or SIGTERM and prints one "
                   "document line per complete round")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->group("Polling");
    app.add_option("--interval", o.interval_s, "Seconds to rest between two rounds")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str()
        ->group("Polling");
    app.add_option("--record-out", o.record_out,
                   "Write the last published 187-byte data record to FILE")
        ->group("Output");
    app.add_flag("--pretty", o.pretty,
                 "Print the document indented, with readable signal names")
        ->group("Output");

    auto* write = app.add_option("--write", o.writes,
                                 "After the rounds, write VALUE to holding register ADDR "
                                 "(command 206) and report whether the unit confirmed it; "
                                 "ADDR=VALUE, repeatable")
                      ->check(validator([](const std::string& s) { parse_write(s); }))
                      ->group("Control");
    auto* multi =
        app.add_option("--write-multi", o.write_multis,
                       "After the rounds, write V1,V2,... to consecutive holding registers "
                       "from ADDR (command 210); ADDR=V1,V2,..., repeatable")
            ->check(validator([](const std::string& s) {
                parse_write_multi(s, ModbusRequest::kMaxWriteRegisters);
            }))
            ->group("Control");

    if (const int status = parse_command_line(app, argc, argv); status >= 0) return status;

    if (o.rounds == 0 && (write->count() > 0 || multi->count() > 0)) {
        std::cerr << "quillark-poll: " << (write->count() > 0 ? "--write" : "--write-multi")
                  << ": writes are sent after the rounds, so they need --rounds 1 or more\n";
        return kExitUsage;
    }
    // Writes go out in the order they were given, whatever their kind.
    std::size_t next_single = 0;
    std::size_t next_multi = 0;
    for (const CLI::Option* opt : app.parse_order()) {
        if (opt == write && next_single < o.writes.size()) {
            o.ordered_writes.push_back(parse_write(o.writes[next_single++]));
            o.ordered_multi.push_back(false);
        } else if (opt == multi && next_multi < o.write_multis.size()) {
            o.ordered_writes.push_back(
                parse_write_multi(o.write_multis[next_multi++], ModbusRequest::kMaxWriteRegisters));
            o.ordered_multi.push_back(true);
        }
    }
    return -1;
}

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

int run(const Options& o) {
    DocumentOut documents;
    Json::Value settings;
    if (!o.settings_file.empty()) {
        std::string error;
        auto parsed = read_settings(o.settings_file, error);
        if (!parsed) {
            say("--settings: " + error);
            return kExitUsage;
        }
        settings = std::move(*parsed);
    }

    // The plug-in.
    std::unique_ptr<Plugin> plugin;
    if (!o.plugin.empty()) {
        try {
            plugin = std::make_unique<Plugin>(o.plugin);
        } catch (const PluginError& e) {
            say(std::string("--plugin: cannot load ") + o.plugin + ": " + e.what());
            return kExitUsage;
        }
    } else {
        std::string tried;
        for (const std::string& path : default_plugin_paths()) {
            if (access(path.c_str(), F_OK) != 0) {
                tried += (tried.empty() ? "" : ", ") + path;
                continue;
            }
            try {
                plugin = std::make_unique<Plugin>(path);
                break;
            } catch (const PluginError& e) {
                say("cannot load " + path + ": " + e.what());
                return kExitFailed;
            }
        }
        if (!plugin) {
            say("no quillark.so found (looked for " + tried + "); name one with --plugin");
            return kExitFailed;
        }
    }

    // The link, or the built-in simulated unit.
    standin::LinkSettings link;
    link.unit = o.unit;
    link.timeout_ms = o.timeout_ms;
    std::unique_ptr<quillark_sim::SimulatedUnit> builtin_unit;
    std::unique_ptr<quillark_sim::Server> builtin_server;
    if (!o.rtu.empty()) {
        link.kind = standin::LinkSettings::Kind::Rtu;
        link.device = o.rtu;
        link.baud = o.serial.baud;
        link.parity = o.serial.parity[0];
        link.data_bits = o.serial.data_bits;
        link.stop_bits = o.serial.stop_bits;
    } else if (!o.tcp.empty()) {
        const Endpoint endpoint = parse_endpoint(o.tcp);
        link.host = endpoint.host;
        link.port = std::to_string(endpoint.port);
    } else {
        builtin_unit = std::make_unique<quillark_sim::SimulatedUnit>(
            quillark_sim::Image::standard(), false, quillark_sim::FaultPlan{});
        quillark_sim::ServerSettings server_settings;
        server_settings.unit = o.unit;
        builtin_server = std::make_unique<quillark_sim::Server>(*builtin_unit, server_settings);
        builtin_server->start();
        link.port = std::to_string(builtin_server->port());
        say("no --tcp or --rtu given: polling the built-in simulated unit on " +
            builtin_server->where());
    }
    standin::ModbusTransport transport(link);
    standin::Master master(transport);

    auto host = std::make_shared<Host>();
    std::unique_ptr<TesselSPDevice> device(plugin->create());
    auto* modbus_device = dynamic_cast<SPModbus*>(device.get());
    if (modbus_device == nullptr) {
        say(plugin->path() + ": the plug-in's device does not speak Modbus");
        return kExitFailed;
    }
    SPModbus& driver = *modbus_device;
    driver.Init(host, o.device_id, settings);
    say("loaded " + plugin->path() + " with dlopen; driver \"" + driver.DeviceType() +
        "\", device id " + std::to_string(o.device_id) + "; polling " + link.describe());

    const bool continuous = o.rounds == 0;
    int complete = 0;
    bool record_failed = false;
    for (long round = 1; (continuous || round <= o.rounds) && !g_stop; ++round) {
        if (round > 1) rest(o.interval_s);
        if (g_stop) break;
        const int published_before = host->published;
        const auto start = Clock::now();
        const standin::PumpResult result = master.run_round(driver);
        const auto took = Clock::now() - start;
        const bool ok = host->published > published_before;
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
        if (!o.record_out.empty() && !save_record(o.record_out, host->last_record)) {
            say("--record-out: cannot write " + o.record_out);
            record_failed = true;
        }
        if (continuous) {
            const std::string text = status_text(driver);
            documents.write(o.pretty ? pretty_document(text) : text);
        }
    }
    if (!continuous && complete > 0) {
        const std::string text = status_text(driver);
        documents.write(o.pretty ? pretty_document(text) : text);
    }

    std::vector<int> write_results;
    for (std::size_t i = 0; i < o.ordered_writes.size() && !g_stop; ++i) {
        const RegisterWrite& w = o.ordered_writes[i];
        std::vector<std::uint16_t> words;
        words.push_back(static_cast<std::uint16_t>(w.address));
        words.insert(words.end(), w.values.begin(), w.values.end());
        int unused = 0;
        const int code = o.ordered_multi[i] ? IoWriteRegisters : IoWriteRegister;
        driver.DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2), nullptr,
                                0, unused);
        const standin::PumpResult sent = master.pump(driver);
        // The master waits for the answer (or the timeout), so the result
        // query finds the driver's verdict already in place.
        const std::int32_t verdict = query_result(driver);
        write_results.push_back(verdict);
        std::string line = std::string(o.ordered_multi[i] ? "write-multi " : "write ") +
                           describe(w) + ": ";
        if (verdict == quillark::Confirmed) line += "confirmed by the unit";
        else if (verdict == quillark::NotConfirmed) line += "answered but not confirmed";
        else line += "no answer";
        if (verdict != quillark::Confirmed && sent.requests > 0) {
            line += " (" + std::string(standin::to_string(sent.outcome.status));
            if (!sent.outcome.error.empty()) line += ": " + sent.outcome.error;
            line += ")";
        }
        say(line);
    }

    device.reset();  // the driver's code lives in the plug-in
    int status = exit_status(true, complete, write_results);
    if (status == kExitOk && record_failed) status = kExitFailed;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse(options, argc, argv); status >= 0) return status;

    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        return run(options);
    } catch (const std::exception& e) {
        say(e.what());
        return kExitFailed;
    }
}
