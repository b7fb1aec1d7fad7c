#include "tools/poll/poll_options.h"

#include "hostkit/common/cli_options.h"

namespace quillark_poll {

namespace {

using namespace quillark_tools;

constexpr long long kMaxRounds = 2147483647;

const char* const kDescription =
    "Polls one in-row air-conditioning unit through the quillark plug-in and prints its "
    "status document (the text of command 801) on stdout, one line per complete round. "
    "Without --tcp or --rtu it polls a built-in simulated unit. Diagnostics and progress go "
    "to stderr. Register addresses are protocol addresses, counted from 0 (register number "
    "1 is address 0). Exit status: 0 every round asked for completed (--rounds 0: stopped "
    "by a signal after at least one); 1 no round completed, a write went unanswered or the "
    "output failed; 2 usage error; 3 a write answered but not confirmed; 4 some rounds "
    "failed; 130/143 a --rounds N run stopped by SIGINT/SIGTERM. The first of 2, 1, 3, "
    "130/143, 4 that applies is given.";

void add_plugin_options(CLI::App& app, PollOptions& o) {
    app.add_option("--plugin", o.plugin,
                   "The plug-in to load (default: quillark.so beside this program or one "
                   "directory up)")
        ->group("Plug-in");
    add_number(app, "--device-id", o.device_id, 0, 4294967295LL, "Device id handed to the driver")
        ->group("Plug-in");
    app.add_option("--settings", o.settings_file,
                   "JSON file with the device settings handed to the driver (a regular file "
                   "of at most 1 MiB)")
        ->group("Plug-in");
}

void add_link_options(CLI::App& app, PollOptions& o, std::string& tcp) {
    auto* tcp_option =
        app.add_option("--tcp", tcp,
                       "Poll over Modbus TCP at HOST[:PORT] (port 502 unless given; IPv6 "
                       "in brackets, [::1]:1502)")
            ->check(validator([](const std::string& s) { parse_unit_address(s); }))
            ->group("Link");
    app.add_option("--rtu", o.link.device, "Poll over Modbus RTU on this serial device")
        ->excludes(tcp_option)
        ->group("Link");
    add_serial_options(app, o.link, "Link");
    add_unit_option(app, o.link, "Unit (slave) id")->group("Link");
    add_number(app, "--timeout", o.link.timeout_ms, 1, 600000,
               "Response timeout per request, in milliseconds")
        ->group("Link");
    add_number(app, "--retries", o.link.retries, 0, 10,
               "Resends of a read that timed out or came back garbled; an exception answer "
               "is final, and a write is never sent twice (the unit may have acted on it)")
        ->group("Link");
}

void add_rs485_options(CLI::App& app, PollOptions& o) {
    auto* rs485 = app.add_flag("--rs485", o.link.rs485,
                               "RTU: the kernel's RS-485 mode (TIOCSRS485), where the serial "
                               "driver has one")
                      ->group("Link");
    auto* rts = app.add_option_function<std::string>(
                       "--rts",
                       [&o](const std::string& level) {
                           o.link.rts = std::tolower(static_cast<unsigned char>(level[0])) == 'u'
                                            ? standin::LinkSettings::Rts::Up
                                            : standin::LinkSettings::Rts::Down;
                       },
                       "RTU: libmodbus's own RTS toggling, for adapters that need it: RTS up "
                       "or down while sending")
                    ->check(CLI::IsMember({"up", "down"}, CLI::ignore_case))
                    ->excludes(rs485)
                    ->group("Link");
    add_number(app, "--rts-delay", o.link.rts_delay_us, 0, 1000000,
               "With --rts: microseconds between raising RTS and sending, and after")
        ->needs(rts)
        ->group("Link");
}

void add_run_options(CLI::App& app, PollOptions& o) {
    add_number(app, "--rounds", o.rounds, 0, kMaxRounds,
               "Poll rounds to run; 0 runs until Ctrl-C or SIGTERM")
        ->group("Polling");
    add_decimal(app, "--interval", o.interval_s, 0.0, 86400.0, "Seconds to rest between two rounds")
        ->group("Polling");
    app.add_option("--record-out", o.record_out,
                   "Write the 187-byte data record of each complete round to FILE")
        ->group("Output");
    app.add_flag("--pretty", o.pretty, "Print the document indented, with readable signal names")
        ->group("Output");
    auto* quiet = app.add_flag("--quiet", o.quiet,
                               "Errors only on stderr: no progress lines, no plug-in chatter")
                      ->group("Output");
    app.add_flag("--verbose", o.verbose,
                 "Every Modbus frame sent (>) and received (<) in hex on stderr")
        ->excludes(quiet)
        ->group("Output");
}

}  // namespace

PollCommandLine::PollCommandLine() : CommandLine(kDescription, "quillark-poll") {
    PollOptions& o = options_;
    add_plugin_options(app_, o);
    add_link_options(app_, o, tcp_);
    add_rs485_options(app_, o);
    add_run_options(app_, o);
    add_version_flag(app_, o.version);
    // Both kinds of write land in one list, in the order they were given.
    app_.add_option_function<std::string>(
            "--write", [&o](const std::string& s) { o.writes.push_back(parse_write(s)); },
            "After the rounds, write VALUE to holding register ADDR (command 206) and report "
            "whether the unit confirmed it; ADDR=VALUE, repeatable")
        ->check(validator([](const std::string& s) { parse_write(s); }))
        ->trigger_on_parse()
        ->group("Control");
    app_.add_option_function<std::string>(
            "--write-multi",
            [&o](const std::string& s) {
                o.writes.push_back(parse_write_multi(s, ModbusRequest::kMaxWriteRegisters));
            },
            "After the rounds, write V1,V2,... to consecutive holding registers from ADDR "
            "(command 210); ADDR=V1,V2,..., repeatable")
        ->check(validator(
            [](const std::string& s) { parse_write_multi(s, ModbusRequest::kMaxWriteRegisters); }))
        ->trigger_on_parse()
        ->group("Control");
}

std::string PollCommandLine::finish(PollOptions& o) {
    if (o.rounds == 0 && !o.writes.empty())
        return "--write: writes are sent after the rounds, so they need --rounds 1 or more";
    if (!o.link.device.empty()) {
        o.builtin_unit = false;
        o.link.kind = standin::LinkSettings::Kind::Rtu;
    } else if (!tcp_.empty()) {
        o.builtin_unit = false;
        const Endpoint endpoint = parse_unit_address(tcp_);
        o.link.host = endpoint.host;
        o.link.port = std::to_string(endpoint.port);
    }
    if (std::string problem = unit_problem(o.link); !problem.empty()) return problem;
    const bool serial_only = o.link.rs485 || o.link.rts != standin::LinkSettings::Rts::None;
    if (serial_only && o.link.kind != standin::LinkSettings::Kind::Rtu)
        return std::string(o.link.rs485 ? "--rs485" : "--rts") + ": only for a serial line (--rtu)";
    return o.link.check();
}

}  // namespace quillark_poll
