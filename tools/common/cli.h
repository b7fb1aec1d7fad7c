// Command-line pieces shared by the poller and the simulator. Every number
// goes through the parsers of args.h, so both tools read numbers one way.
#pragma once

#include <cctype>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "args.h"
#include "version.h"
#include "modbus_transport.h"

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
inline CLI::Option* add_decimal(CLI::App& app, const std::string& name, double& target,
                                double min, double max, const std::string& help) {
    std::ostringstream shown;
    shown << target;
    return app
        .add_option_function<std::string>(
            name, [&target, min, max](const std::string& s) { target = parse_decimal(s, min, max); },
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
    // Over TCP the stand-in host frames requests itself, so any byte will do.
    const int u = link.unit;
    if (link.kind == standin::LinkSettings::Kind::Rtu && (u < 1 || u > 247))
        return "--unit: " + std::to_string(u) + " is no unit id on a serial line (1..247)";
    return {};
}

inline void add_version_flag(CLI::App& app, bool& version) {
    app.add_flag("--version", version, "Print the version and exit");
}

// Parses the command line: -1 to go on, else the exit status (0 after --help,
// 2 after a usage error, which is said on stderr).
inline int parse_command_line(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << app.get_name() << ": " << e.what() << "\n"
                  << "Run with --help for the options.\n";
        return 2;
    }
}

}  // namespace quillark_tools
