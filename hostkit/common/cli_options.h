// The options the programs share, for the files that define a program's
// options: CLI11 itself, and numbers, serial settings and unit ids read one
// way by every program.
#pragma once

#include <cctype>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "hostkit/common/args.h"
#include "hostkit/common/cli.h"
#include "hostkit/common/version.h"
#include "host/standin/modbus_transport.h"

namespace quillark_tools {

// A whole-number option in min..max, stored into `target` once parsed.
template <typename T>
CLI::Option* add_number(CLI::App& app, const std::string& name, T& target, long long min,
                        long long max, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&target, min, max](const std::string& s) {
                target = static_cast<T>(parse_number(s, min, max));
            },
            help)
        ->check(validator([min, max](const std::string& s) { parse_number(s, min, max); }))
        ->default_str(std::to_string(target));
}

// A decimal-fraction option in min..max.
inline CLI::Option* add_decimal(CLI::App& app, const std::string& name, double& target, double min,
                                double max, const std::string& help) {
    std::ostringstream shown;
    shown << target;
    return app
        .add_option_function<std::string>(
            name,
            [&target, min, max](const std::string& s) { target = parse_decimal(s, min, max); },
            help)
        ->check(validator([min, max](const std::string& s) { parse_decimal(s, min, max); }))
        ->default_str(shown.str());
}

// The serial line's options, straight onto the link settings both tools use.
inline void add_serial_options(CLI::App& app, standin::LinkSettings& serial,
                               const std::string& group) {
    app.add_option_function<std::string>(
           "--baud", [&serial](const std::string& s) { serial.baud = parse_baud(s); },
           "RTU: serial speed in bit/s, one of those the line can be set to")
        ->check(validator([](const std::string& s) { parse_baud(s); }))
        ->default_str(std::to_string(serial.baud))
        ->group(group);
    app.add_option_function<std::string>(
           "--parity",
           [&serial](const std::string& p) {
               serial.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
           },
           "RTU: parity, N (none), E (even) or O (odd), either case")
        ->check(CLI::IsMember({"N", "E", "O"}, CLI::ignore_case))
        ->default_str(std::string(1, serial.parity))
        ->group(group);
    add_number(app, "--data-bits", serial.data_bits, 5, 8, "RTU: data bits, 5..8")->group(group);
    add_number(app, "--stop-bits", serial.stop_bits, 1, 2, "RTU: stop bits, 1 or 2")->group(group);
}

inline CLI::Option* add_unit_option(CLI::App& app, standin::LinkSettings& link,
                                    const std::string& help) {
    return add_number(app, "--unit", link.unit, 0, 255,
                      help + ": 1..247 over RTU; 0..255 over TCP, as gateways use them");
}

// The unit id fits the link kind; else a message for the user.
inline std::string unit_problem(const standin::LinkSettings& link) {
    const std::string problem =
        unit_id_problem(link.kind == standin::LinkSettings::Kind::Rtu, link.unit);
    return problem.empty() ? problem : "--unit: " + problem;
}

inline void add_version_flag(CLI::App& app, bool& version) {
    app.add_flag("--version", version, "Print the version and exit");
}

}  // namespace quillark_tools
