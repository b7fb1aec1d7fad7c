#include "tools/sim/sim_options.h"

#include <tuple>
#include <utility>
#include <vector>

#include "hostkit/common/cli_options.h"

namespace quillark_sim {

namespace {

using namespace quillark_tools;

constexpr long long kMaxCount = 2147483647;

// "FIRST-LAST", unit ids 1..247.
std::pair<int, int> parse_unit_range(const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) throw std::invalid_argument("expected FIRST-LAST, e.g. 1-50");
    const int first = static_cast<int>(parse_number(text.substr(0, dash), 1, 247));
    const int last = static_cast<int>(parse_number(text.substr(dash + 1), 1, 247));
    if (last < first) throw std::invalid_argument("the last unit id comes before the first");
    return {first, last};
}

void add_fault_options(CLI::App& app, FaultPlan& faults) {
    auto* after = add_number(app, "--mute-after", faults.mute_after, 0, kMaxCount,
                             "Answer N requests, then stop answering");
    add_number(app, "--mute-for", faults.mute_for, 0, kMaxCount,
               "With --mute-after: stay silent for N requests, then answer again "
               "(default: silent for good)")
        ->needs(after);
    auto* delay = add_number(app, "--delay-ms", faults.delay_ms, 0, 60000,
                             "Hold every answer back MS milliseconds");
    add_number(app, "--delay-count", faults.delay_count, 0, kMaxCount,
               "With --delay-ms: hold back only the first N answers")
        ->needs(delay);
    app.add_option_function<std::vector<std::string>>(
           "--fail-address",
           [&faults](const std::vector<std::string>& list) {
               for (const std::string& a : list)
                   faults.fail_addresses.insert(static_cast<int>(parse_number(a, 0, 65535)));
           },
           "Answer any request touching address A with exception 2 (illegal data "
           "address); repeatable")
        ->check(validator([](const std::string& s) { parse_number(s, 0, 65535); }));
    auto* drop = add_decimal(app, "--drop-rate", faults.drop_rate, 0.0, 1.0,
                             "Leave each request unanswered with probability P (0..1), as "
                             "a line that loses frames would");
    add_number(app, "--seed", faults.seed, 0, kMaxCount, "With --drop-rate: seed of the drops")
        ->needs(drop);
    auto* raise = add_number(app, "--raise-after", faults.raise_after, 0, kMaxCount,
                             "Answer N requests, then set the input bit of --raise-bit (an "
                             "alarm, say) for good");
    add_number(app, "--raise-bit", faults.raise_bit, 0, input_bit_span() - 1,
               "With --raise-after: the input bit to set")
        ->needs(raise);
    for (const char* name :
         {"--mute-after", "--mute-for", "--delay-ms", "--delay-count", "--fail-address",
          "--drop-rate", "--seed", "--raise-after", "--raise-bit"})
        app.get_option(name)->group("Faults");
}

}  // namespace

SimCommandLine::SimCommandLine()
    : CommandLine(
          "Simulated in-row air-conditioning unit: a Modbus server with the unit's input bits, "
          "input registers and writable holding registers " +
              std::to_string(kFirstHolding) + ".." +
              std::to_string(kFirstHolding + kHoldingCount - 1) +
              ". Addresses are protocol addresses, counted from 0. Stops on Ctrl-C or SIGTERM.",
          "quillark-sim") {
    SimOptions& o = options_;
    CLI::App& app = app_;
    std::string& tcp = tcp_;
    std::string& units = units_;
    standin::LinkSettings& link = o.server.link;
    auto* tcp_opt =
        app.add_option("--tcp", tcp,
                       "Serve Modbus TCP on [HOST:]PORT; HOST defaults to 127.0.0.1, "
                       "PORT 0 picks a free port (default 127.0.0.1:1502)")
            ->check(validator([](const std::string& s) { parse_endpoint(s, "127.0.0.1", true); }))
            ->group("Link");
    auto* rtu =
        app.add_option("--rtu", link.device, "Serve Modbus RTU on this serial device instead")
            ->excludes(tcp_opt)
            ->group("Link");
    add_serial_options(app, link, "Link");
    auto* unit_opt = add_unit_option(app, link, "Unit (slave) id to answer as")->group("Link");
    app.add_option("--units", units,
                   "TCP: answer as every unit id FIRST-LAST, each unit with its own drifting "
                   "values, as a gateway to a bus of units does")
        ->excludes(unit_opt)
        ->excludes(rtu)
        ->check(validator([](const std::string& s) { parse_unit_range(s); }))
        ->group("Link");
    app.add_option("--port-file", o.port_file,
                   "TCP: write the port listened on to FILE once the server is ready")
        ->excludes(rtu)
        ->group("Link");
    app.add_option("--image", o.image_file,
                   "JSON file of values to serve: {\"bits\": {\"181\": 1}, \"registers\": "
                   "{\"21\": 300}, \"holding\": {\"100\": 5}}; keys are decimal protocol "
                   "addresses, registers named here do not drift")
        ->group("Values");
    app.add_flag("--steady", o.steady, "No drift: every value stays as set")->group("Values");
    app.add_option("--round-log", o.round_log,
                   "Rounds mode, for checking a master: every input value is unique to its "
                   "address and its poll round (a round starts with its first read); each "
                   "round's values and every write received are appended to FILE")
        ->group("Values");
    app.add_flag("--verbose", o.server.verbose, "One line per request on stderr");
    add_fault_options(app, o.faults);
    add_version_flag(app, o.version);
}

std::string SimCommandLine::finish(SimOptions& o) {
    standin::LinkSettings& link = o.server.link;
    if (link.device.empty()) {
        const Endpoint endpoint = parse_endpoint(tcp_.empty() ? "1502" : tcp_, "127.0.0.1", true);
        link.host = endpoint.host;
        link.port = std::to_string(endpoint.port);
    } else {
        link.kind = standin::LinkSettings::Kind::Rtu;
    }
    if (!units_.empty()) std::tie(link.unit, o.last_unit) = parse_unit_range(units_);
    else o.last_unit = link.unit;
    return unit_problem(link);
}

}  // namespace quillark_sim
