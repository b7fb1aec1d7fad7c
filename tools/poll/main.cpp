// quillark-poll: loads the plug-in as the host does, polls one unit over
// Modbus TCP or RTU (or the built-in simulated unit), prints the unit's status
// document and sends register writes.
//
// stdout carries the status documents and nothing else; the plug-in's own
// lines, which it writes to stdout, and the progress of each round go to
// stderr.
#include <signal.h>

#include <iostream>

#include "cli.h"
#include "files.h"
#include "poller.h"

namespace {

using namespace quillark_tools;
using namespace quillark_poll;

extern "C" void on_stop_signal(int) { stop_poller(); }

void add_link_options(CLI::App& app, PollOptions& o, std::string& tcp) {
    auto* tcp_option = app.add_option("--tcp", tcp, "Poll over Modbus TCP at HOST:PORT")
                           ->check(validator([](const std::string& s) { parse_endpoint(s); }))
                           ->group("Link");
    app.add_option("--rtu", o.link.device, "Poll over Modbus RTU on this serial device")
        ->excludes(tcp_option)
        ->group("Link");
    add_serial_options(app, o.link, "Link");
    app.add_option("--unit", o.link.unit, "Unit (slave) id")
        ->check(CLI::Range(1, 247))
        ->capture_default_str()
        ->group("Link");
    app.add_option("--timeout", o.link.timeout_ms,
                   "Response timeout per request, in milliseconds")
        ->check(CLI::Range(1, 600000))
        ->capture_default_str()
        ->group("Link");
    app.add_option("--retries", o.link.retries,
                   "Resends of a read that timed out or came back garbled (never of a write)")
        ->check(CLI::Range(0, 10))
        ->capture_default_str()
        ->group("Link");
}

void add_polling_options(CLI::App& app, PollOptions& o) {
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
    app.add_flag("--pretty", o.pretty, "Print the document indented, with readable signal names")
        ->group("Output");
}

int parse(PollOptions& o, int argc, char** argv) {
    CLI::App app{"Polls one in-row air-conditioning unit through the quillark plug-in and prints "
                 "its status document (the text of command 801) on stdout. Without --tcp or "
                 "--rtu it polls a built-in simulated unit. Diagnostics and progress go to "
                 "stderr. Exit status: 0 success; 1 no complete round, or a write with no "
                 "answer; 2 usage error; 3 a write the unit answered but did not confirm.",
                 "quillark-poll"};
    std::string tcp;
    add_polling_options(app, o);
    add_link_options(app, o, tcp);

    // Both kinds of write land in one list, in the order they were given.
    std::vector<std::string> singles;
    std::vector<std::string> multis;
    auto* write = app.add_option("--write", singles,
                                 "After the rounds, write VALUE to holding register ADDR "
                                 "(command 206) and report whether the unit confirmed it; "
                                 "ADDR=VALUE, repeatable")
                      ->check(validator([](const std::string& s) { parse_write(s); }))
                      ->group("Control");
    auto* multi = app.add_option("--write-multi", multis,
                                 "After the rounds, write V1,V2,... to consecutive holding "
                                 "registers from ADDR (command 210); ADDR=V1,V2,..., repeatable")
                      ->check(validator([](const std::string& s) {
                          parse_write_multi(s, ModbusRequest::kMaxWriteRegisters);
                      }))
                      ->group("Control");

    bool version = false;
    add_version_flag(app, version);

    if (const int status = parse_command_line(app, argc, argv); status >= 0) return status;
    if (version) return print_version(std::cout, o.plugin);

    if (o.rounds == 0 && !(singles.empty() && multis.empty())) {
        std::cerr << "quillark-poll: " << (singles.empty() ? "--write-multi" : "--write")
                  << ": writes are sent after the rounds, so they need --rounds 1 or more\n";
        return kExitUsage;
    }
    std::size_t next_single = 0;
    std::size_t next_multi = 0;
    for (const CLI::Option* opt : app.parse_order()) {
        if (opt == write && next_single < singles.size())
            o.writes.push_back(parse_write(singles[next_single++]));
        else if (opt == multi && next_multi < multis.size())
            o.writes.push_back(
                parse_write_multi(multis[next_multi++], ModbusRequest::kMaxWriteRegisters));
    }
    if (!o.link.device.empty()) {
        o.builtin_unit = false;
        o.link.kind = standin::LinkSettings::Kind::Rtu;
    } else if (!tcp.empty()) {
        o.builtin_unit = false;
        const Endpoint endpoint = parse_endpoint(tcp);
        o.link.host = endpoint.host;
        o.link.port = std::to_string(endpoint.port);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    PollOptions options;
    if (const int status = parse(options, argc, argv); status >= 0) return status;

    signal(SIGPIPE, SIG_IGN);
    on_stop_signals(on_stop_signal);
    try {
        return run_poller(options);
    } catch (const std::exception& e) {
        say(e.what());
        return kExitFailed;
    }
}
