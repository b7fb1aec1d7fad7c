// quillark-sim: a Modbus server that behaves like the in-row air-conditioning
// unit, for trying the driver and the poller without the real unit.
#include <signal.h>

#include <atomic>
#include <iostream>

#include "cli.h"
#include "files.h"
#include "server.h"

namespace {

std::atomic<quillark_sim::Server*> g_server{nullptr};

extern "C" void on_stop_signal(int) {
    if (quillark_sim::Server* server = g_server.load()) server->stop();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillark_tools;
    CLI::App app{"Simulated in-row air-conditioning unit: a Modbus server with the unit's input "
                 "bits, input registers and writable holding registers " +
                     std::to_string(quillark_sim::kFirstHolding) + ".." +
                     std::to_string(quillark_sim::kFirstHolding + quillark_sim::kHoldingCount - 1) +
                     ". Stops on Ctrl-C or SIGTERM.",
                 "quillark-sim"};
    std::string tcp;
    standin::LinkSettings link;
    std::string image_file;
    bool steady = false;
    std::string port_file;
    bool verbose = false;
    quillark_sim::FaultPlan faults;
    std::vector<int> fail_addresses;

    auto* tcp_opt = app.add_option("--tcp", tcp,
                                   "Serve Modbus TCP on [HOST:]PORT; HOST defaults to 127.0.0.1, "
                                   "PORT 0 picks a free port (default 127.0.0.1:1502)")
                        ->check(validator([](const std::string& s) {
                            parse_endpoint(s, "127.0.0.1", true);
                        }))
                        ->group("Link");
    app.add_option("--rtu", link.device, "Serve Modbus RTU on this serial device instead")
        ->excludes(tcp_opt)
        ->group("Link");
    add_serial_options(app, link, "Link");
    app.add_option("--unit", link.unit, "Unit (slave) id to answer as")
        ->check(CLI::Range(1, 247))
        ->capture_default_str()
        ->group("Link");
    app.add_option("--port-file", port_file,
                   "TCP: write the port listened on to FILE once the server is ready")
        ->group("Link");
    app.add_option("--image", image_file,
                   "JSON file of values to serve: {\"bits\": {\"181\": 1}, \"registers\": "
                   "{\"21\": 300}, \"holding\": {\"100\": 5}}; keys are decimal addresses, "
                   "registers named here do not drift")
        ->check(CLI::ExistingFile)
        ->group("Values");
    app.add_flag("--steady", steady, "No drift: every value stays as set")->group("Values");
    app.add_option("--mute-after", faults.mute_after,
                   "Answer N requests, then stop answering")
        ->check(CLI::NonNegativeNumber)
        ->group("Faults");
    app.add_option("--mute-for", faults.mute_for,
                   "With --mute-after: stay silent for N requests, then answer again "
                   "(default: silent for good)")
        ->check(CLI::NonNegativeNumber)
        ->group("Faults");
    app.add_option("--delay-ms", faults.delay_ms, "Hold every answer back MS milliseconds")
        ->check(CLI::Range(0, 60000))
        ->group("Faults");
    app.add_option("--delay-count", faults.delay_count,
                   "With --delay-ms: hold back only the first N answers")
        ->check(CLI::NonNegativeNumber)
        ->group("Faults");
    app.add_option("--fail-address", fail_addresses,
                   "Answer any request touching address A with exception 2 (illegal data "
                   "address); repeatable")
        ->check(CLI::Range(0, 65535))
        ->group("Faults");
    app.add_flag("--verbose", verbose, "One line per request on stderr");
    bool version = false;
    add_version_flag(app, version);

    if (const int status = parse_command_line(app, argc, argv); status >= 0) return status;
    if (version) {
        std::cout << version_line("quillark-sim") << std::endl;
        return 0;
    }
    faults.fail_addresses.insert(fail_addresses.begin(), fail_addresses.end());

    quillark_sim::Image image = quillark_sim::Image::standard();
    if (!image_file.empty()) {
        try {
            image.apply_file(image_file);
        } catch (const quillark_sim::ImageError& e) {
            std::cerr << "quillark-sim: --image: " << e.what() << "\n";
            return 2;
        }
    }

    const bool serial = !link.device.empty();
    if (serial) {
        link.kind = standin::LinkSettings::Kind::Rtu;
    } else {
        const Endpoint endpoint = parse_endpoint(tcp.empty() ? "1502" : tcp, "127.0.0.1", true);
        link.host = endpoint.host;
        link.port = std::to_string(endpoint.port);
    }
    quillark_sim::ServerSettings settings;
    settings.link = link;
    settings.verbose = verbose;

    signal(SIGPIPE, SIG_IGN);
    try {
        quillark_sim::SimulatedUnit simulated(image, steady, faults);
        quillark_sim::Server server(simulated, settings);
        g_server = &server;
        on_stop_signals(on_stop_signal);

        // Written beside and renamed, so a reader never sees half a number.
        if (!port_file.empty() && !serial)
            save_beside(port_file, std::to_string(server.port()) + "\n");
        std::cout << "quillark-sim: unit " << link.unit << " listening on "
                  << (serial ? "rtu " : "tcp ") << server.where() << std::endl;
        server.run();
        g_server = nullptr;
        std::cerr << "quillark-sim: stopped after " << simulated.requests() << " requests\n";
    } catch (const std::exception& e) {
        g_server = nullptr;
        std::cerr << "quillark-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
