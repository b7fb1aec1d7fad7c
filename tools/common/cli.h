// Command-line pieces shared by the poller and the simulator.
#pragma once

#include <cctype>
#include <string>

#include <CLI/CLI.hpp>

#include "args.h"
#include "version.h"
#include "modbus_transport.h"

namespace quillark_tools {

// The serial line's options, straight onto the link settings both tools use.
inline void add_serial_options(CLI::App& app, standin::LinkSettings& serial,
                               const std::string& group) {
    app.add_option("--baud", serial.baud, "RTU: serial speed in bit/s")
        ->check(CLI::Range(50, 4000000))
        ->capture_default_str()
        ->group(group);
    app.add_option_function<std::string>(
           "--parity",
           [&serial](const std::string& p) {
               serial.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
           },
           "RTU: parity, N (none), E (even) or O (odd) [N]")
        ->check(CLI::IsMember({"N", "E", "O"}, CLI::ignore_case))
        ->group(group);
    app.add_option("--data-bits", serial.data_bits, "RTU: data bits, 5..8")
        ->check(CLI::Range(5, 8))
        ->capture_default_str()
        ->group(group);
    app.add_option("--stop-bits", serial.stop_bits, "RTU: stop bits, 1 or 2")
        ->check(CLI::Range(1, 2))
        ->capture_default_str()
        ->group(group);
}

inline void add_version_flag(CLI::App& app, bool& version) {
    app.add_flag("--version", version, "Print the version and exit");
}

// Runs the parser; returns -1 to go on, else the exit status: 0 after
// --help, 2 after a usage error (reported on stderr, naming the argument).
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
